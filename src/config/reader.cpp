// Reading configuration files: size bounds, line pieces and nested includes.
#include "config/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/log.h"
#include "common/settings.h"
#include "config/config.h"
#include "config/keywords.h"

namespace callvane {

namespace {

// fgets() with a 1024-byte buffer: a longer line arrives in pieces.
constexpr size_t MAX_PIECE = 1023;
// Files nested deeper than this (counting the top one) are refused; real
// configurations need two or three levels at most.
constexpr size_t MAX_INCLUDE_DEPTH = 16;
// A configuration is a few kilobytes; reading stops here so that a device
// such as /dev/zero named by mistake cannot keep the loader busy for ever.
constexpr size_t MAX_FILE_BYTES = 16u << 20;
// The same for all files of one load together, so that many includes of such
// a device cannot multiply the bound.
constexpr size_t MAX_LOAD_BYTES = 32u << 20;

// Identity of every file being read right now, outermost first; an include
// of one of them would never end.
struct file_id {
  dev_t dev;
  ino_t ino;
};
std::vector<file_id> open_files;
// Bytes read by the load under way, over all its files.
size_t load_bytes = 0;

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Opens a configuration file for reading. Directories are refused (reading
// one would look like an empty file), and so is anything that is neither a
// regular file nor a character device (a FIFO could block for ever).
file_ptr open_config(const std::string& path, struct stat& st, int& err) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  if (fstat(fd, &st) != 0) {
    err = errno;
    close(fd);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode) || (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "r");
  if (f == nullptr) {
    err = errno;
    close(fd);
    return nullptr;
  }
  return file_ptr(f);
}

// True when the file opened for an include= line may be read: it is not
// being read already and the nesting stays within bounds. A refusal counts
// against the including line.
bool may_include(parse_state& includer, const std::string& path, const struct stat& info) {
  for (const file_id& id : open_files) {
    if (id.dev == info.st_dev && id.ino == info.st_ino) {
      config_error(includer, "include of %s refused: that file is already being read",
                   escaped(path).c_str());
      return false;
    }
  }
  if (open_files.size() >= MAX_INCLUDE_DEPTH) {
    config_error(includer, "include of %s refused: more than %zu files nested",
                 escaped(path).c_str(), MAX_INCLUDE_DEPTH);
    return false;
  }
  return true;
}

// Reads the next line piece as fgets() with a 1024-byte buffer would: at
// most 1023 bytes, ending after a newline. False at the end of the file.
bool read_piece(FILE* f, std::string& piece, size_t& total) {
  piece.clear();
  while (piece.size() < MAX_PIECE && total < MAX_FILE_BYTES && load_bytes < MAX_LOAD_BYTES) {
    int c = getc(f);
    if (c == EOF) break;
    total++;
    load_bytes++;
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece.empty();
}

// Why reading `f` stopped early, if it did: one error each.
void check_end(parse_state& st, FILE* f, size_t total) {
  if (ferror(f)) {
    config_error(st, "read error: %s", strerror(errno));
  } else if (total >= MAX_FILE_BYTES && getc(f) != EOF) {
    config_error(st, "file longer than %zu bytes, rest ignored", MAX_FILE_BYTES);
  } else if (load_bytes >= MAX_LOAD_BYTES && getc(f) != EOF) {
    config_error(st, "configuration longer than %zu bytes in all, rest ignored", MAX_LOAD_BYTES);
  }
}

}  // namespace

void start_load() { load_bytes = 0; }

int parse_file(const std::string& path, parse_state* includer) {
  if (services.empty()) create_default_service();
  if (!queuedir) queuedir = DEFAULT_QUEUEDIR;

  struct stat info {};
  int err = 0;
  file_ptr f = open_config(path, info, err);
  if (!f) {
    logmsg(LOG_ERR, "cannot open %s: %s", escaped(path).c_str(), strerror(err));
    return includer ? 1 : -1;
  }
  if (includer && !may_include(*includer, path, info)) return 0;

  // The stack of open files is unwound however this function is left.
  open_files.push_back({info.st_dev, info.st_ino});
  struct pop_guard {
    ~pop_guard() { open_files.pop_back(); }
  } guard;

  parse_state st;
  st.file = path;
  std::string piece;
  size_t total = 0;
  while (read_piece(f.get(), piece, total)) {
    st.line++;
    // Text behind a NUL byte is invisible, as it would be to a C string.
    if (size_t nul = piece.find('\0'); nul != std::string::npos) piece.resize(nul);
    if (size_t hash = piece.find('#'); hash != std::string::npos) piece.resize(hash);
    if (!piece.empty() && piece.back() == '\n') piece.pop_back();
    parse_line(st, piece);
  }
  check_end(st, f.get(), total);
  close_records(st);
  return st.errors;
}

}  // namespace callvane
