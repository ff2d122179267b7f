// The record of finished pages: what became of each recipient, kept a while.
#include "queue/history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fileio.h"
#include "common/log.h"

namespace callvane {

namespace {

// "ID TAB TIME (TAB STATE:TRIES:PAGER)..." with STATE d or f; the pager
// last in its field, so that colons in it do no harm. Queue words never
// hold tabs or newlines.
constexpr char FIELD = '\t';
constexpr char DELIVERED = 'd';
constexpr char FAILED = 'f';

bool sync_current_directory() {
  unique_fd dir(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() >= 0 && fsync(dir.get()) == 0;
}

// Starts a new record when the current one is full; the one before goes.
bool rotate_if_full() {
  struct stat st;
  if (stat(HISTORY_FILE, &st) != 0 || st.st_size < HISTORY_FILE_BYTES) return true;
  if (rename(HISTORY_FILE, HISTORY_OLD_FILE) != 0) return false;
  return sync_current_directory();
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find(FIELD, start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.size() < 19 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The latest record of `id` in one file.
std::optional<finished_page> find_in(const char* name, const std::string& id) {
  FILE* f = fopen(name, "re");
  if (f == nullptr) return std::nullopt;
  std::optional<finished_page> found;
  const std::string prefix = id + FIELD;
  char* buffer = nullptr;
  size_t size = 0;
  ssize_t n;
  // The file is bounded by rotation; a line is as long as its recipients.
  while ((n = getline(&buffer, &size, f)) > 0) {
    std::string line(buffer, static_cast<size_t>(n));
    if (line.back() == '\n') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    if (auto p = parse_history_line(line)) found = std::move(p);
  }
  free(buffer);
  fclose(f);
  return found;
}

}  // namespace

std::string history_line(const page& p, int64_t when) {
  if (!p.messageid || p.messageid->empty()) return "";
  std::string line = *p.messageid + FIELD + std::to_string(when);
  for (const rcpt& r : p.rcpts) {
    line += FIELD;
    line += (r.flags & F_SENT) ? DELIVERED : FAILED;
    line += ':' + std::to_string(r.tries) + ':' + r.pager;
  }
  return line + '\n';
}

bool append_history(const std::string& lines) {
  if (lines.empty()) return true;
  if (!rotate_if_full()) {
    logmsg(LOG_WARNING, "cannot start a new %s: %s", HISTORY_FILE, strerror(errno));
    return false;
  }
  unique_fd fd(open(HISTORY_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  bool ok = fd.get() >= 0 && write_all(fd.get(), lines) && fdatasync(fd.get()) == 0;
  if (!ok) logmsg(LOG_WARNING, "cannot record finished pages: %s", strerror(errno));
  return ok;
}

std::optional<finished_page> find_finished(const std::string& id) {
  if (id.empty() || id.find(FIELD) != std::string::npos) return std::nullopt;
  // The current file holds the later records.
  if (auto p = find_in(HISTORY_FILE, id)) return p;
  return find_in(HISTORY_OLD_FILE, id);
}

std::optional<finished_page> parse_history_line(const std::string& line) {
  std::vector<std::string> fields = split_fields(line);
  if (fields.size() < 2 || fields[0].empty() || !all_digits(fields[1])) return std::nullopt;
  finished_page p;
  p.id = fields[0];
  p.finished = std::stoll(fields[1]);
  for (size_t i = 2; i < fields.size(); i++) {
    const std::string& f = fields[i];
    size_t colon = f.find(':', 2);
    if (f.size() < 5 || f[1] != ':' || (f[0] != DELIVERED && f[0] != FAILED) ||
        colon == std::string::npos || colon + 1 == f.size() || !all_digits(f.substr(2, colon - 2)))
      return std::nullopt;
    long long tries = std::stoll(f.substr(2, colon - 2));
    p.recipients.push_back({f.substr(colon + 1), f[0] == DELIVERED,
                            static_cast<int32_t>(tries > INT32_MAX ? INT32_MAX : tries)});
  }
  return p;
}

}  // namespace callvane
