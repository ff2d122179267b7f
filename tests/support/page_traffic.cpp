// Pages submitted over SNPP and the spool they land in, for stress tests.
#include "support/page_traffic.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "support/daemon_run.h"
#include "support/support.h"

namespace testsupport {

namespace {

const char QUEUED_PREFIX[] = "250 Message ";
const char QUEUED_SUFFIX[] = " queued for processing";
const char GREETING_CODE[] = "220 ";
const char REFUSAL_CODE[] = "421 ";

}  // namespace

submission submit_page(const std::string& pager, const std::string& text, int port,
                       std::chrono::milliseconds limit, std::chrono::milliseconds linger) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto left = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return ms.count() < 1 ? std::chrono::milliseconds(1) : ms;
  };
  submission s;
  snpp_connection c(port);
  auto first = c.line(left());
  if (!first) return s;
  s.turned_away = first->rfind(REFUSAL_CODE, 0) == 0;
  s.greeted = first->rfind(GREETING_CODE, 0) == 0;
  if (!s.greeted) return s;
  if (linger.count() > 0) {
    if (!c.send("PAGE " + pager + "\r\nMESS " + text + "\r\n", left())) return s;
    for (int i = 0; i < 2; i++)
      if (!c.line(left())) return s;
    std::this_thread::sleep_for(linger);
    if (!c.send("SEND\r\nQUIT\r\n", left())) return s;
  } else if (!c.send("PAGE " + pager + "\r\nMESS " + text + "\r\nSEND\r\nQUIT\r\n", left())) {
    return s;
  } else {
    // Replies to PAGE and MESS come before the one that matters.
    for (int i = 0; i < 2; i++)
      if (!c.line(left())) return s;
  }
  auto reply = c.line(left());
  if (!reply) return s;
  s.reply = *reply;
  s.queued = s.reply.rfind(QUEUED_PREFIX, 0) == 0 && s.reply.ends_with(QUEUED_SUFFIX);
  return s;
}

std::string repeated(const std::string& piece, size_t times) {
  std::string s;
  s.reserve(piece.size() * times);
  for (size_t i = 0; i < times; i++) s += piece;
  return s;
}

std::map<std::string, std::string> snapshot(const std::string& dir, const std::string& prefix) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name.compare(0, prefix.size(), prefix) != 0) continue;
    int fd = open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // gone meanwhile
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    files[name] = text;
  }
  closedir(d);
  return files;
}

std::optional<std::string> message_line(const std::string& file_text) {
  const std::string key = "\nMessage: ";
  size_t at = file_text.find(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  size_t end = file_text.find('\n', at);
  if (end == std::string::npos) return std::nullopt;
  return file_text.substr(at, end - at);
}

long env_number(const char* name, long fallback) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long n = strtol(text, &end, 10);
  return (*end != '\0' || n < 0) ? fallback : n;
}

unsigned env_seed(const char* name) {
  long given = env_number(name, -1);
  unsigned seed =
      given >= 0
          ? static_cast<unsigned>(given)
          : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::cout << name << "=" << seed << "\n";
  return seed;
}

long rss_kb(pid_t pid) {
  std::string value = proc_status(pid, "VmRSS");
  char* end = nullptr;
  long kb = strtol(value.c_str(), &end, 10);
  return end == value.c_str() ? -1 : kb;
}

bool lock_free(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  bool free = fcntl(fd, F_SETLK, &fl) == 0;
  close(fd);  // releases it
  return free;
}

}  // namespace testsupport
