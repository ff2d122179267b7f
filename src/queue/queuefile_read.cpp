// Queue files: reading one back into a page.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/text.h"
#include "queue/queuefile.h"

namespace callvane {

namespace {

constexpr size_t LINE_BUFFER_BYTES = 1024;
// A reader that finds its file replaced while it waited for the lock
// opens the new one; a writer busy in a tight loop cannot starve it.
constexpr int REOPEN_ATTEMPTS = 10;

// A decimal number as scanf reads one: optional sign, then digits.
struct number {
  bool negative = false;
  uint64_t magnitude = 0;
};

std::optional<number> parse_number(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_space(static_cast<unsigned char>(text[i]))) ++i;
  number n;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) n.negative = text[i++] == '-';
  size_t digits = 0;
  for (; i < text.size() && is_digit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
    uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (n.magnitude > (UINT64_MAX - d) / 10) return std::nullopt;
    n.magnitude = n.magnitude * 10 + d;
  }
  if (digits == 0) return std::nullopt;
  return n;
}

// Times are written unsigned; reading wraps them back into 64 signed bits.
void take_time(std::string_view text, int64_t& field) {
  if (std::optional<number> n = parse_number(text)) {
    uint64_t v = n->negative ? 0 - n->magnitude : n->magnitude;
    field = static_cast<int64_t>(v);
  }
}

void take_count(std::string_view text, int32_t& field) {
  std::optional<number> n = parse_number(text);
  if (!n || n->magnitude > (n->negative ? 0x80000000u : 0x7FFFFFFFu)) return;
  field = static_cast<int32_t>(n->negative ? -static_cast<int64_t>(n->magnitude)
                                           : static_cast<int64_t>(n->magnitude));
}

void take_flags(std::string_view text, uint32_t& field) {
  std::optional<number> n = parse_number(text);
  if (n && !n->negative && n->magnitude <= UINT32_MAX) field = static_cast<uint32_t>(n->magnitude);
}

enum class word_result { none, ok, too_long };

// The first word of a value, as "%255s" would take it.
word_result take_word(std::string_view text, std::string& word) {
  size_t end = 0;
  while (end < text.size() && !is_space(static_cast<unsigned char>(text[end]))) ++end;
  if (end == 0) return word_result::none;
  if (end > MAX_WORD_LENGTH) return word_result::too_long;
  word.assign(text.substr(0, end));
  return word_result::ok;
}

// Hands out lines the way fgets does with a buffer of the current size: a
// line that does not fit comes in pieces, and a NUL ends the text early.
class line_source {
 public:
  explicit line_source(const std::string& data) : data_(data) {}
  void grow(size_t size) { size_ = std::max(size_, size); }

  // False at the end; `complete` tells whether a newline ended the line.
  bool next(std::string& line, bool& complete) {
    if (pos_ >= data_.size()) return false;
    size_t limit = std::min(data_.size() - pos_, size_ - 1);
    size_t nl = data_.find('\n', pos_);
    size_t len = (nl != std::string::npos && nl - pos_ < limit) ? nl - pos_ + 1 : limit;
    line.assign(data_, pos_, len);
    pos_ += len;
    line.resize(strnlen(line.c_str(), line.size()));
    complete = !line.empty() && line.back() == '\n';
    if (complete) line.pop_back();
    return true;
  }

 private:
  const std::string& data_;
  size_t pos_ = 0;
  size_t size_ = LINE_BUFFER_BYTES;
};

bool same_file(int fd, const std::string& name) {
  struct stat open_st {};
  struct stat named_st {};
  if (fstat(fd, &open_st) != 0 || stat(name.c_str(), &named_st) != 0) return false;
  return open_st.st_dev == named_st.st_dev && open_st.st_ino == named_st.st_ino;
}

// Opens and share-locks the file now under `name`, following a rewrite
// that replaced it while this reader waited.
int open_locked(const std::string& name) {
  for (int attempt = 1;; ++attempt) {
    // Non-blocking, so that a FIFO of that name cannot hold the reader.
    int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      logmsg(LOG_NOTICE, "cannot open file %s for reading", name.c_str());
      return -1;
    }
    if (lock_file(fd, false, true) != 0) {
      logmsg(LOG_ERR, "cannot lock %s: %s", name.c_str(), strerror(errno));
      close(fd);
      return -1;
    }
    if (attempt >= REOPEN_ATTEMPTS || same_file(fd, name)) return fd;
    close(fd);
  }
}

// The whole file, or false (logged) when it is too large or unreadable.
bool read_bounded(int fd, const std::string& name, std::string& data) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    logmsg(LOG_ERR, "%s: not a regular file", name.c_str());
    return false;
  }
  if (st.st_size > MAX_QUEUE_FILE_BYTES) {
    logmsg(LOG_ERR, "%s: file too large (%lld bytes)", name.c_str(),
           static_cast<long long>(st.st_size));
    return false;
  }
  data.clear();
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      logmsg(LOG_ERR, "error reading %s: %s", name.c_str(), strerror(errno));
      return false;
    }
    if (n == 0) return true;
    if (data.size() + static_cast<size_t>(n) > static_cast<size_t>(MAX_QUEUE_FILE_BYTES)) {
      logmsg(LOG_ERR, "%s: file too large", name.c_str());
      return false;
    }
    data.append(chunk, static_cast<size_t>(n));
  }
}

size_t skip_space(const std::string& s, size_t i) {
  while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

}  // namespace

std::unique_ptr<page> read_page(const std::string& name) {
  int fd = open_locked(name);
  if (fd < 0) return nullptr;
  std::string data;
  bool whole = read_bounded(fd, name, data);
  close(fd);  // the content is in memory: the lock may go
  if (!whole) return nullptr;

  auto p = std::make_unique<page>();
  auto refuse = [&p]() -> std::unique_ptr<page> {
    free_page(*p, false);
    return nullptr;
  };
  rcpt acc;
  int section = 0;
  int lineno = 0;
  line_source lines(data);
  std::string line;
  bool complete = false;
  while (lines.next(line, complete)) {
    ++lineno;
    if (!complete) logmsg(LOG_ERR, "short read (this should never happen)");
    size_t key = skip_space(line, 0);
    if (key == line.size()) {
      logmsg(LOG_ERR, "no keyword (this should never happen)");
      continue;
    }
    size_t key_end = key;
    while (key_end < line.size() && !is_space(static_cast<unsigned char>(line[key_end]))) ++key_end;
    std::string_view value = std::string_view(line).substr(skip_space(line, key_end));
    bool recipient_section = section == 0;

    std::string word;
    word_result got = word_result::none;
    switch (line[key]) {
      case '#':
        break;
      case '-':
        ++section;
        break;
      case 'V': {
        std::optional<number> v = parse_number(value);
        if (!v || v->negative || v->magnitude != QUEUE_VERSION) {
          logmsg(LOG_ERR, "FATAL ERROR: incompatible version of queue file");
          return refuse();
        }
        break;
      }
      case 'C':
        if (!recipient_section) {
          take_time(value, p->created);
          break;
        }
        got = take_word(value, word);
        if (got == word_result::ok) acc.coverage = word;
        break;
      case 'H':
        if (recipient_section) {
          take_time(value, acc.holduntil);
          break;
        }
        got = take_word(value, word);
        if (got == word_result::ok) p->hostname = word;
        break;
      case 'L':
        take_time(value, acc.lasttry);
        break;
      case 'T':
        take_count(value, acc.tries);
        break;
      case 'G':
        take_count(value, acc.goodtries);
        break;
      case 'S':
        // A status word in the page section carries nothing.
        if (recipient_section) take_count(value, acc.servicelevel);
        break;
      case 'F':
        if (recipient_section)
          take_flags(value, acc.flags);
        else
          p->from = std::string(value);
        break;
      case 'P':
        got = take_word(value, word);
        if (got == word_result::ok) {
          acc.pager = word;
          p->rcpts.push_front(std::move(acc));
          acc = rcpt{};
        } else if (got == word_result::none) {
          logmsg(LOG_WARNING, "%s line %d: pager without name", name.c_str(), lineno);
        }
        break;
      case 'B': {
        std::optional<number> n = parse_number(value);
        if (!n || n->negative || n->magnitude > static_cast<uint64_t>(MAX_PAGE_BYTES)) {
          logmsg(LOG_ERR, "%s: byte count out of range (%s)", name.c_str(), safe_string(value));
          return refuse();
        }
        lines.grow(static_cast<size_t>(n->magnitude));
        break;
      }
      case 'M':
        p->message = std::string(value);
        break;
      case 'I':
        p->ident = std::string(value);
        break;
      case 'U':
        got = take_word(value, word);
        if (got == word_result::ok) p->messageid = word;
        break;
      default:
        logmsg(LOG_NOTICE, "%s line %d: unknown meaning (%s)", name.c_str(), lineno,
               safe_string(line));
        break;
    }
    if (got == word_result::too_long) {
      // Cutting a pager name could page someone else: refuse the file.
      logmsg(LOG_ERR, "%s line %d: value longer than 255 characters", name.c_str(), lineno);
      return refuse();
    }
  }
  p->filename = name;
  if (!p->messageid) p->messageid = "[none]";
  return p;
}

}  // namespace callvane
