// Detaching the daemon from its terminal and reporting that it runs.
#include "server/detach.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/fileio.h"
#include "common/log.h"
#include "common/settings.h"

namespace callvane {

namespace {

// How long the starting process waits to hear that its detached daemon runs.
constexpr int READY_WAIT_MS = 10000;
constexpr char READY_BYTE = 'R';

void attach_to_null() {
  int null = open("/dev/null", O_RDWR);
  if (null < 0) return;
  for (int fd = 0; fd <= 2; fd++) dup2(null, fd);
  if (null > 2) close(null);
}

// The starting process stays until the daemon has written its pid file, so
// that its exit status tells whether a daemon runs.
[[noreturn]] void await_daemon(int ready_fd, pid_t intermediate) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READY_WAIT_MS);
  int status = 0;  // still starting when the time is up: no failure seen
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd pfd = {ready_fd, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char byte = 0;
    ssize_t n = read(ready_fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    status = (n == 1 && byte == READY_BYTE) ? 0 : 255;
    break;
  }
  // The intermediate process exits right after its fork; collect it.
  waitpid(intermediate, nullptr, 0);
  _exit(status);
}

// A new file renamed over the old one, so a reader never sees it empty or
// half written.
bool replace_pidfile(const std::string& path, const std::string& text) {
  std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST && unlink(temp.c_str()) == 0)
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = write_all(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

// When only the file itself is writable (say a pid file made for uucp in a
// root-owned directory): overwrite, then cut to the new length.
void overwrite_pidfile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;  // skipped without a message
  if (write_all(fd, text) && ftruncate(fd, static_cast<off_t>(text.size())) == 0) fsync(fd);
  close(fd);
}

}  // namespace

bool detach(int& ready_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) pipe_fds[0] = pipe_fds[1] = -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (pid > 0) {
    close(pipe_fds[1]);
    if (pipe_fds[0] < 0) _exit(0);
    await_daemon(pipe_fds[0], pid);
  }
  close(pipe_fds[0]);
  // Reopened on /dev/null rather than left closed, so that no file opened
  // later (a queue file, the lock) can become standard output or error.
  attach_to_null();
  setsid();
  pid = fork();
  if (pid != 0) {
    // The starting process sees the pipe close without a word and fails.
    if (pid < 0) logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
    _exit(0);
  }
  ready_fd = pipe_fds[1];
  return true;
}

void write_pidfile() {
  if (!pidfile) return;
  std::string text = std::to_string(getpid()) + "\n";
  if (!replace_pidfile(*pidfile, text)) overwrite_pidfile(*pidfile, text);
}

void tell_ready(int& ready_fd) {
  if (ready_fd < 0) return;
  write_all(ready_fd, std::string_view(&READY_BYTE, 1));
  close(ready_fd);
  ready_fd = -1;
}

}  // namespace callvane
