// The SNPP daemon: listener, scheduler and queue runs.
#include "server/daemon.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/fileio.h"
#include "common/log.h"
#include "common/privilege.h"
#include "common/settings.h"
#include "common/signals.h"
#include "common/text.h"
#include "config/config.h"
#include "queue/queuefile.h"
#include "queue/runner.h"
#include "queue/spool.h"
#include "server/access.h"
#include "server/session.h"

namespace callvane {

namespace {

constexpr uint16_t DEFAULT_PORT = 444;
constexpr uint16_t FIRST_UNPRIVILEGED_PORT = 1024;
// Room for a burst of clients while the daemon forks: a connection the
// kernel drops for a full queue waits a whole SYN retransmission (1 s).
constexpr int LISTEN_BACKLOG = 128;
// While a queue run is asked for and one is still going, the wait is cut
// to this, so the next run starts soon after the child is gone.
constexpr long PENDING_RUN_WAIT_SECONDS = 1;
// How long the starting process waits to hear that its detached daemon runs.
constexpr int READY_WAIT_MS = 10000;
constexpr int EXIT_QUEUE_LOCKED = 255;
constexpr char READY_BYTE = 'R';

uint16_t choose_port(uint16_t port) {
  if (port != 0) return port;
  if (const struct servent* se = getservbyname("snpp", "tcp"))
    return ntohs(static_cast<uint16_t>(se->s_port));
  return DEFAULT_PORT;
}

// The listening sockets: IPv4, and IPv6 (-1 when the host has none).
using listeners = std::array<int, 2>;

void close_listeners(const listeners& fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

// Binds and listens; the name of the call that failed, or null.
const char* bind_and_listen(int fd, const sockaddr* addr, socklen_t len) {
  if (bind(fd, addr, len) != 0) return "bind() failed: %s\n";
  if (listen(fd, LISTEN_BACKLOG) != 0) return "listen() failed: %s\n";
  return nullptr;
}

// The bound, listening IPv4 socket, or -1 after the message on standard
// error. It does not block: a client that leaves between the wait and the
// accept must not stall the daemon.
int open_listener(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    fprintf(stderr, "socket() failed: %s\n", strerror(errno));
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  const char* failed = bind_and_listen(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  if (failed == nullptr) return fd;
  fprintf(stderr, failed, strerror(errno));
  close(fd);
  return -1;
}

// Errors that mean this host has no IPv6 to listen on.
bool no_ipv6_here(int err) {
  return err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT;
}

// The IPv6 socket on the same port, beside the IPv4 one. IPv6 only, so
// that IPv4 peers keep arriving on the IPv4 socket as plain IPv4. Returns
// the socket; -1 with `fatal` false when the host has no IPv6 (logged once),
// -1 with `fatal` true after the message on standard error.
int open_listener6(uint16_t port, bool& fatal) {
  fatal = false;
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int on = 1;
  const char* failed = nullptr;
  bool missing = false;  // no IPv6 here, whatever the error
  if (fd < 0) {
    failed = "socket() failed: %s\n";
  } else if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
    // Without it the bind would claim the IPv4 port as well, and fail.
    missing = true;
  } else {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in6 addr {};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(port);
    failed = bind_and_listen(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  }
  if (failed == nullptr && !missing) return fd;
  int err = errno;
  if (fd >= 0) close(fd);
  if (missing || no_ipv6_here(err)) {
    logmsg(LOG_INFO, "no IPv6 listener, serving IPv4 only: %s", strerror(err));
    return -1;
  }
  fprintf(stderr, failed, strerror(err));
  fatal = true;
  return -1;
}

// The signals the loop acts on are held back everywhere but inside the
// wait, so none can slip in between testing a flag and starting to wait.
// Returns the mask to wait with.
sigset_t hold_daemon_signals() {
  sigset_t held, previous;
  sigemptyset(&held);
  for (int signo : {SIGCHLD, SIGHUP, SIGUSR1, SIGTERM}) sigaddset(&held, signo);
  sigprocmask(SIG_BLOCK, &held, &previous);
  for (int signo : {SIGCHLD, SIGHUP, SIGUSR1, SIGTERM}) sigdelset(&previous, signo);
  return previous;
}

// Children start with every signal deliverable, whatever the daemon holds.
void release_all_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

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

// Leaves the terminal: fork, new session, fork again. Returns in the daemon
// (true) with `ready_fd` to report on; false when the first fork failed.
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

void tell_ready(int& ready_fd) {
  if (ready_fd < 0) return;
  write_all(ready_fd, std::string_view(&READY_BYTE, 1));
  close(ready_fd);
  ready_fd = -1;
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

void write_pidfile() {
  if (!pidfile) return;
  std::string text = std::to_string(getpid()) + "\n";
  if (!replace_pidfile(*pidfile, text)) overwrite_pidfile(*pidfile, text);
}

[[noreturn]] void run_queue_child(const listeners& fds) {
  release_all_signals();
  close_listeners(fds);
  int result = run_queue();
  fflush(nullptr);
  _exit(result == 0 ? 0 : EXIT_QUEUE_LOCKED);
}

void start_queue_run(const listeners& fds) {
  logmsg(LOG_DEBUG, "processing the page queue");
  fflush(nullptr);
  // SIGCHLD is held here, so a child that ends at once is reaped only
  // after it is being watched.
  pid_t pid = fork();
  if (pid == 0) run_queue_child(fds);
  if (pid < 0)
    logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
  else
    watched_child.store(pid);
}

// The spool may have been removed and made anew since the daemon entered
// it: sessions and runs start in the directory of that name now, not in a
// deleted one. A failure is logged once until the directory is back.
void enter_queue_dir() {
  static bool failing = false;
  bool ok = queuedir && chdir(queuedir->c_str()) == 0;
  int err = errno;
  if (!ok && !failing)
    logmsg(LOG_ERR, "cannot chdir to QueueDir(%s): %s", safe_string(queuedir.value_or("")),
           strerror(err));
  failing = !ok;
}

// Session children alive: those forked less those reaped.
unsigned long live_sessions(unsigned long started) {
  unsigned long ended = reaped_others.load();
  return started > ended ? started - ended : 0;
}

void reload_config() {
  reread_config = 0;
  logmsg(LOG_NOTICE, "rereading configuration");
  if (load_config_and_spool(configfile) != 0) logmsg(LOG_NOTICE, "new configuration has errors");
}

// Waits for a connection or a signal; `readable` tells which listeners
// have one. `seconds` < 0: no time limit.
void wait_for_work(const listeners& fds, long seconds, const sigset_t& wait_mask,
                   std::array<bool, 2>& readable) {
  struct timespec limit = {seconds, 0};
  // A listener of -1 is skipped by ppoll.
  struct pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  int r = ppoll(pfds, 2, seconds < 0 ? nullptr : &limit, &wait_mask);
  // A ppoll that finds a socket ready puts the held mask back without
  // handling a signal that came meanwhile; under a steady stream of
  // connections ended sessions would then go unreaped and count against
  // the session limit. Open the mask once to take them.
  sigset_t pending;
  if (r > 0 && sigpending(&pending) == 0 && !sigisemptyset(&pending)) {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &wait_mask, &held);
    sigprocmask(SIG_SETMASK, &held, nullptr);
  }
  readable = {false, false};
  if (r < 0 && errno != EINTR) {
    logmsg(LOG_ERR, "select() failed: %s", strerror(errno));
    // Whatever went wrong must not turn the loop into a busy one.
    struct timespec pause = {1, 0};
    nanosleep(&pause, nullptr);
    return;
  }
  if (r <= 0) return;
  for (size_t i = 0; i < readable.size(); i++) readable[i] = (pfds[i].revents & POLLIN) != 0;
}

[[noreturn]] void serve_forever(const listeners& fds, int32_t interval, const sigset_t& wait_mask) {
  // A negative interval: no queue runs, and no time limit on the wait.
  const long wait_limit = interval < 0 ? -1 : interval;
  int64_t last_run = 0;
  unsigned long sessions_started = 0;
  for (;;) {
    long seconds = wait_limit;
    if (run_queue_now && watched_child.load() != 0 &&
        (seconds < 0 || seconds > PENDING_RUN_WAIT_SECONDS))
      seconds = PENDING_RUN_WAIT_SECONDS;
    std::array<bool, 2> readable;
    wait_for_work(fds, seconds, wait_mask, readable);

    if (reread_config) reload_config();
    // One connection per ready listener and pass; both count alike
    // against the session limit.
    for (size_t i = 0; i < fds.size(); i++) {
      if (!readable[i]) continue;
      bool at_limit =
          maxsessions > 0 && live_sessions(sessions_started) >= static_cast<unsigned>(maxsessions);
      enter_queue_dir();
      if (serve_connection(fds[i], at_limit, fds[1 - i]) > 0) sessions_started++;
    }
    int64_t now = time(nullptr);
    if (watched_child.load() != 0) continue;  // run_queue_now stays pending
    if (run_queue_now) {
      run_queue_now = 0;
      last_run = 0;
    }
    if (interval < 0) continue;
    if (now - last_run < interval) continue;
    enter_queue_dir();
    start_queue_run(fds);
    last_run = now;
  }
}

}  // namespace

int run_daemon(int32_t interval, uint16_t requested_port) {
  uint16_t port = choose_port(requested_port);
  if (port < FIRST_UNPRIVILEGED_PORT && geteuid() != 0)
    fputs("Warning: daemon must be started as root\n", stderr);
  listeners fds = {open_listener(port), -1};
  if (fds[0] < 0) return -1;
  bool fatal = false;
  fds[1] = open_listener6(port, fatal);
  if (fatal) {
    close_listeners(fds);
    return -1;
  }
  drop_root();
  if (load_config_and_spool(configfile) != 0) {
    fputs("Error reading configuration file\n", stderr);
    close_listeners(fds);
    return -1;
  }
  share_queue_name_hint();
  sigset_t wait_mask = hold_daemon_signals();
  int ready_fd = -1;
  if (debug == 0 && !detach(ready_fd)) {
    close_listeners(fds);
    return -1;
  }
  daemon_pid = getpid();
  write_pidfile();
  tell_ready(ready_fd);
  if (debug) logmsg(LOG_DEBUG, "waiting for incoming connections");
  serve_forever(fds, interval, wait_mask);
}

}  // namespace callvane
