// Queue files: writing and locking the one file of each page.
#include "queue/queuefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/fileio.h"
#include "common/instream.h"
#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"

namespace callvane {

namespace {

// The Bytes line counts the "Message: " keyword, the newline and a NUL.
constexpr long MESSAGE_LINE_OVERHEAD = 11;
// Attempt numbers 000 to 999: as many new pages a second as the three
// digits of a queue name can tell apart.
constexpr unsigned NAME_ATTEMPTS = 1000;
constexpr int TEMP_ATTEMPTS = 100;

// In ascending bit order, as the Flags line lists them.
const char* const FLAG_NAMES[] = {
    "F_SENT",    "F_FAILED", "F_BUSY",   "F_NOCARRIER", "F_NOMODEM",  "F_FORCED",   "F_NOPROMPT",
    "F_UNKNOWN", "F_REJECT", "F_RAWPID", "F_SENDMAIL",  "F_SENTMAIL", "F_SENTADMIN"};

// ---- building the file ----

void append_format(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append_format(std::string& out, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  if (n > 0) {
    size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, ap2);
    out.resize(old + static_cast<size_t>(n));
  }
  va_end(ap2);
}

void append_time(std::string& out, const char* keyword, int64_t when) {
  const char* text = time_text(when);
  append_format(out, "%s: %lu %s\n", keyword, static_cast<unsigned long>(when),
                text != nullptr ? text : "");
}

void append_text(std::string& out, const char* keyword, const std::string& value) {
  out += keyword;
  out += ": ";
  out += value;
  out += '\n';
}

void append_recipient(std::string& out, const rcpt& r) {
  if (r.coverage) append_text(out, "Coverage", *r.coverage);
  if (r.holduntil != 0) append_time(out, "Holduntil", r.holduntil);
  if (r.lasttry != 0) append_time(out, "Lasttry", r.lasttry);
  append_format(out, "Tries: %d\n", r.tries);
  if (r.goodtries != 0) append_format(out, "Goodtries: %d\n", r.goodtries);
  if (r.servicelevel != 1) append_format(out, "Servicelevel: %d\n", r.servicelevel);
  if (r.flags != 0) {
    append_format(out, "Flags: %u (", r.flags);
    for (size_t bit = 0; bit < std::size(FLAG_NAMES); ++bit) {
      if (r.flags & (1u << bit)) {
        out += ' ';
        out += FLAG_NAMES[bit];
      }
    }
    out += " )\n";
  }
  append_text(out, "Pager", r.pager);
}

std::string page_content(const page& p) {
  std::string out;
  const std::string message = p.message.value_or("");
  out.reserve(message.size() + 512 + 128 * p.rcpts.size());
  append_format(out, "Version: %d\n", QUEUE_VERSION);
  for (const rcpt& r : p.rcpts) append_recipient(out, r);
  out += "-\n";
  if (p.from) append_text(out, "From", *p.from);
  if (p.ident) append_text(out, "Ident", *p.ident);
  if (p.hostname) append_text(out, "Hostname", *p.hostname);
  append_format(out, "Bytes: %ld\n", static_cast<long>(message.size()) + MESSAGE_LINE_OVERHEAD);
  append_text(out, "Message", message);
  append_time(out, "Created", p.created);
  // A page without an id reads back as "[none]" either way.
  if (p.messageid) append_text(out, "UniqueID", *p.messageid);
  return out;
}

// ---- what the file format can carry ----

// Why a one-word value would read back as something else, or null.
const char* word_problem(const std::string& value, bool required) {
  if (required && value.empty()) return "is empty";
  if (value.size() > MAX_WORD_LENGTH) return "is longer than 255 characters";
  for (char c : value) {
    if (c == '\0' || is_space(static_cast<unsigned char>(c))) return "holds whitespace";
  }
  return nullptr;
}

// Why a rest-of-line value would read back as something else, or null.
const char* text_problem(const std::string& value) {
  for (char c : value) {
    if (c == '\n') return "holds a newline";
    if (c == '\0') return "holds a NUL byte";
  }
  return nullptr;
}

// True when every value survives a write and a read unchanged; else logs
// which field of which page does not.
bool storable(const page& p) {
  const char* id = p.messageid ? p.messageid->c_str() : "[none]";
  auto refuse = [id](const char* field, const char* why) {
    logmsg(LOG_ERR, "cannot queue page id=%s: %s %s", safe_string(id), field, why);
    return false;
  };
  for (const rcpt& r : p.rcpts) {
    if (const char* why = word_problem(r.pager, true)) return refuse("pager", why);
    if (r.coverage) {
      if (const char* why = word_problem(*r.coverage, true)) return refuse("coverage", why);
    }
  }
  if (p.hostname) {
    if (const char* why = word_problem(*p.hostname, false)) return refuse("hostname", why);
  }
  if (p.messageid) {
    if (const char* why = word_problem(*p.messageid, false)) return refuse("id", why);
  }
  if (p.from) {
    if (const char* why = text_problem(*p.from)) return refuse("sender", why);
  }
  if (p.ident) {
    if (const char* why = text_problem(*p.ident)) return refuse("ident", why);
  }
  if (p.message) {
    if (const char* why = text_problem(*p.message)) return refuse("message", why);
    if (static_cast<long>(p.message->size()) > MAX_PAGE_BYTES - MESSAGE_LINE_OVERHEAD)
      return refuse("message", "is too long");
  }
  return true;
}

// ---- putting the file on disk ----

// Makes the names just created, renamed or removed in the spool durable.
bool sync_directory() {
  unique_fd dir(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || fsync(dir.get()) != 0) {
    logmsg(LOG_WARNING, "cannot sync queue directory: %s", strerror(errno));
    return false;
  }
  return true;
}

// A complete new file under a name no reader looks at. The writer holds an
// exclusive lock on it for as long as it exists, so a cleaner can tell it
// from one a crashed writer left; the name is removed unless kept.
class temp_file {
 public:
  temp_file() = default;
  ~temp_file() {
    if (!name_.empty() && !kept_ && !unnamed_) unlink(name_.c_str());
  }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;

  const std::string& name() const { return name_; }

  // Creates and locks the file and writes `content` to disk in full. An
  // unnamed file, where the system has them, costs no directory write: a
  // named one dirties the directory, and syncing the file may write it.
  bool create(const std::string& content, bool unnamed) {
    static unsigned counter = 0;
    int fd = unnamed && proc_fd_links() ? open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) name_ = "/proc/self/fd/" + std::to_string(fd);
    unnamed_ = fd >= 0;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && fd < 0; ++attempt) {
      name_ = TEMP_PREFIX + std::to_string(getpid()) + "." + std::to_string(counter++);
      fd = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      logmsg(LOG_ERR, "cannot create %s: %s", name_.c_str(), strerror(errno));
      name_.clear();
      return false;
    }
    fd_.reset(fd);
    if (lock_file(fd, true, true) != 0) {
      logmsg(LOG_ERR, "cannot lock %s: %s", name_.c_str(), strerror(errno));
      return false;
    }
    if (!write_all(fd, content) || fsync(fd) != 0) {
      logmsg(LOG_WARNING, "error writing queue file: %s", strerror(errno));
      return false;
    }
    return true;
  }

  // The name was given away by rename: nothing is left to remove.
  void renamed() { kept_ = true; }

  // Gives the file a name as link() does: 0, or -1 with errno.
  int link_to(const std::string& name) const {
    if (unnamed_) return linkat(AT_FDCWD, name_.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    return link(name_.c_str(), name.c_str());
  }

  // The data lives on under another name: drop this one now.
  void drop_name() {
    if (unnamed_) {
      kept_ = true;
      return;
    }
    if (unlink(name_.c_str()) != 0)
      logmsg(LOG_WARNING, "unlink failed for %s: %s", name_.c_str(), strerror(errno));
    kept_ = true;
  }

 private:
  // An unnamed file is linked through its descriptor's entry in /proc,
  // which needs no privilege.
  static bool proc_fd_links() {
    static const bool usable = access("/proc/self/fd", X_OK) == 0;
    return usable;
  }

  std::string name_;
  unique_fd fd_;
  bool kept_ = false;
  bool unnamed_ = false;
};

// ---- choosing a free queue name ----

// The second and the next attempt number after the newest name a writer
// took, packed as second * NAME_HINT_SPAN + attempt, so one atomic word
// holds both and a later second always compares greater. A writer starts
// its search there instead of at 000: without it the k-th page of a
// second costs k link calls. The hint only shortens the search; link()
// still decides which name is free.
constexpr uint64_t NAME_HINT_SPAN = 1024;
static_assert(NAME_ATTEMPTS < NAME_HINT_SPAN);
std::atomic<uint64_t> local_name_hint{0};
std::atomic<uint64_t>* name_hint = &local_name_hint;
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// The first attempt number worth trying in `second`; NAME_ATTEMPTS when
// the hint says the second's names are used up.
unsigned first_attempt(int64_t second) {
  uint64_t hint = name_hint->load(std::memory_order_relaxed);
  if (hint / NAME_HINT_SPAN != static_cast<uint64_t>(second)) return 0;
  return static_cast<unsigned>(hint % NAME_HINT_SPAN);
}

void note_name_taken(int64_t second, unsigned attempt) {
  uint64_t mine = static_cast<uint64_t>(second) * NAME_HINT_SPAN + attempt + 1;
  uint64_t seen = name_hint->load(std::memory_order_relaxed);
  while (seen < mine && !name_hint->compare_exchange_weak(seen, mine, std::memory_order_relaxed)) {
  }
}

// A second whose names are used up holds no more pages: a burst waits for
// the next second instead of being refused, until `until`. False when the
// time is up first.
bool wait_for_next_second(const time_limit& until) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  auto left = std::chrono::nanoseconds(1000000000L - now.tv_nsec);
  if (until && mono_clock::now() + left > *until) return false;
  struct timespec pause = {0, static_cast<long>(left.count())};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  return true;
}

std::string queue_name(int64_t when, unsigned attempt) {
  char name[64];
  snprintf(name, sizeof name, "%c%lu.%03u", PENDING_PREFIX, static_cast<unsigned long>(when),
           attempt);
  return name;
}

// Nothing is left to deliver: the file goes.
int remove_page_file(const page& p) {
  if (!p.filename) return 0;
  const char* name = p.filename->c_str();
  if (debug >= 1) logmsg(LOG_DEBUG, "unlinking %s", name);
  if (unlink(name) != 0) {
    int err = errno;
    logmsg(LOG_WARNING, "unlink failed for %s: %s", name, strerror(err));
    // A file left behind would be delivered once more.
    return err == ENOENT ? 0 : -1;
  }
  return sync_directory() ? 0 : -1;
}

// A new page: complete on disk first, then given its queue name.
int create_page_file(page& p, const std::string& content) {
  temp_file tmp;
  if (!tmp.create(content, true)) return -1;

  std::string name;
  int err = 0;
  bool linked = false;
  int64_t second = -1;
  unsigned attempt = 0;
  // Bounded as the session that waits for the answer is.
  const time_limit until = deadline_after(std::chrono::seconds(std::max(snpptimeout, 1)));
  while (!linked) {
    int64_t now = time(nullptr);
    if (now != second) {
      second = now;
      attempt = first_attempt(now);
    }
    if (attempt >= NAME_ATTEMPTS) {
      err = EEXIST;
      if (!wait_for_next_second(until)) break;
      continue;
    }
    name = queue_name(now, attempt);
    if (tmp.link_to(name) == 0) {
      linked = true;
      note_name_taken(now, attempt);
      break;
    }
    err = errno;
    // Only a name taken by another page makes the next name worth trying.
    if (err != EEXIST) {
      logmsg(LOG_NOTICE, "cannot create %s: %s", name.c_str(), strerror(err));
      break;
    }
    attempt++;
  }
  if (!linked) {
    logmsg(LOG_ERR, "cannot create file %s: %s", name.c_str(), strerror(err));
    return -1;
  }
  tmp.drop_name();
  if (!sync_directory()) {
    // Not known to survive a crash: do not let it be taken for queued.
    unlink(name.c_str());
    return -1;
  }
  p.filename = name;
  return 1;
}

// An existing page: the new content replaces the old file as a whole, or
// the old file stays as it was.
// Whether the file holds exactly `content`: a page that a run left as it
// was (held, or not yet due) need not be written and synced again. Any
// doubt, such as a file that cannot be read, means it differs.
bool holds_exactly(const std::string& name, const std::string& content) {
  unique_fd fd(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string held(content.size() + 1, '\0');
  size_t got = 0;
  while (got < held.size()) {
    ssize_t n = read(fd.get(), held.data() + got, held.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got == content.size() && held.compare(0, got, content) == 0;
}

int rewrite_page_file(page& p, const std::string& content) {
  const std::string& name = *p.filename;
  unique_fd old(open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (old.get() < 0) {
    logmsg(LOG_ERR, "cannot open file %s: %s", name.c_str(), strerror(errno));
    return -1;
  }
  if (lock_file(old.get(), true, true) != 0) {
    logmsg(LOG_ERR, "cannot lock %s: %s", name.c_str(), strerror(errno));
    return -1;
  }
  bool set_aside = (p.flags & F_BADPAGE) != 0;
  if (!set_aside && holds_exactly(name, content)) return 1;
  temp_file tmp;
  if (!tmp.create(content, false)) return -1;

  std::string target = name;
  if (set_aside) {
    target[0] = BAD_PREFIX;
    logmsg(LOG_NOTICE, "renaming bad page to %s", target.c_str());
  }
  if (rename(tmp.name().c_str(), target.c_str()) != 0) {
    logmsg(LOG_WARNING, "cannot rename %s to %s: %s", set_aside ? name.c_str() : tmp.name().c_str(),
           target.c_str(), strerror(errno));
    return -1;
  }
  tmp.renamed();
  if (set_aside && target != name && unlink(name.c_str()) != 0) {
    logmsg(LOG_WARNING, "unlink failed for %s: %s", name.c_str(), strerror(errno));
    // Both names would hold the page; keep only the old one.
    unlink(target.c_str());
    return -1;
  }
  if (!sync_directory()) return -1;
  return set_aside ? 0 : 1;
}

// The page's new state on disk: no file once every recipient is sent, else
// a new file or the old one replaced (set aside as bad when so flagged).
int store_page(page& p) {
  bool all_sent = std::all_of(p.rcpts.begin(), p.rcpts.end(),
                              [](const rcpt& r) { return (r.flags & F_SENT) != 0; });
  if (all_sent) return remove_page_file(p);

  if (!storable(p)) return -1;
  std::string content = page_content(p);
  if (static_cast<long>(content.size()) > MAX_QUEUE_FILE_BYTES) {
    logmsg(LOG_ERR, "cannot queue page id=%s: file would be too large",
           safe_string(p.messageid.value_or("[none]")));
    return -1;
  }
  return p.filename ? rewrite_page_file(p, content) : create_page_file(p, content);
}

}  // namespace

int lock_file(int fd, bool exclusive, bool wait) {
  struct flock fl {};
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  int rc;
  do {
    rc = fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
  } while (rc != 0 && wait && errno == EINTR);
  return rc == 0 ? 0 : -1;
}

int write_new_page(page& p) {
  if (p.filename) {
    logmsg(LOG_ERR, "page id=%s is queued already", safe_string(p.messageid.value_or("[none]")));
    return -1;
  }
  return store_page(p);
}

int write_page(page& p) {
  if (!p.filename) {
    logmsg(LOG_ERR, "page id=%s has no queue file", safe_string(p.messageid.value_or("[none]")));
    return -1;
  }
  return store_page(p);
}

void share_queue_name_hint() {
  if (name_hint != &local_name_hint) return;
  void* shared = mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  // Without it every writer searches from its own hint: slower, still right.
  if (shared == MAP_FAILED) return;
  name_hint = new (shared) std::atomic<uint64_t>(local_name_hint.load());
}

void remove_stale_temporaries() {
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    logmsg(LOG_ERR, "cannot read current directory");
    return;
  }
  const size_t prefix = strlen(TEMP_PREFIX);
  while (struct dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.substr(0, prefix) != TEMP_PREFIX) continue;
    // "tmp.<pid>.<n>": anything else is not ours to remove.
    std::string_view rest = name.substr(prefix);
    size_t dot = rest.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == rest.size()) continue;
    std::string_view pid_text = rest.substr(0, dot);
    std::string_view serial = rest.substr(dot + 1);
    auto all_digits = [](std::string_view s) {
      return std::all_of(s.begin(), s.end(),
                         [](char c) { return is_digit(static_cast<unsigned char>(c)); });
    };
    if (!all_digits(pid_text) || !all_digits(serial) || pid_text.size() > 9) continue;
    pid_t writer = static_cast<pid_t>(std::stol(std::string(pid_text)));
    if (writer <= 0 || kill(writer, 0) == 0 || errno != ESRCH) continue;

    unique_fd fd(open(entry->d_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) continue;
    // Still locked: its writer lives on (perhaps in another pid space).
    if (lock_file(fd.get(), true, false) != 0) continue;
    if (unlink(entry->d_name) == 0)
      logmsg(LOG_NOTICE, "removed stale temporary file %s", entry->d_name);
    else
      logmsg(LOG_WARNING, "unlink failed for %s: %s", entry->d_name, strerror(errno));
  }
  closedir(dir);
}

}  // namespace callvane
