// Running the SNPP daemon as in production for a test, and talking to it.
#include "support/daemon_run.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/wait.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// The fields of /proc/<pid>/stat after the command name, from the state on.
std::vector<std::string> stat_fields(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t end = text.rfind(')');
  if (end == std::string::npos) return {};
  std::istringstream in(text.substr(end + 1));
  std::vector<std::string> fields;
  std::string f;
  while (in >> f) fields.push_back(f);
  return fields;
}

pid_t parent_of(pid_t pid) {
  auto f = stat_fields(pid);
  return f.size() > 1 ? static_cast<pid_t>(std::stol(f[1])) : -1;
}

// Collects a process that the test owns, directly or as the subreaper.
bool reap(pid_t pid, int& status, std::chrono::milliseconds limit) {
  bool gone = false;  // not (or no longer) a child of ours
  bool ended = wait_until(
      [&] {
        pid_t r = waitpid(pid, &status, WNOHANG);
        gone = r < 0 && errno != EINTR;
        return r == pid || gone;
      },
      limit, 5ms);
  return ended && !gone;
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

daemon_setup::daemon_setup() {
  // uucp must reach everything, and create the pid file next to the spool.
  chmod(dir_.path().c_str(), 0777);
  mkdir(spool().c_str(), 0777);
  chmod(spool().c_str(), 0777);
  mkdir(dir_.file("lock").c_str(), 0777);
  chmod(dir_.file("lock").c_str(), 01777);
}

std::string daemon_setup::write_config(const std::string& body) const {
  return dir_.write("callvane.conf", "queuedir=" + spool() + "\nlockdir=" + dir_.file("lock") +
                                         "\npidfile=" + pidfile() +
                                         "\nidenttimeout=0\nsnpptimeout=2\n" + body);
}

std::string daemon_setup::write_sim_config(const std::string& device,
                                           const std::string& body) const {
  return write_config("modem=sim device=" + device +
                      "\nservice=default device=sim phone=5550100 password=pw\n"
                      "pager=alice pagerid=1234567\n" +
                      body);
}

std::vector<std::string> daemon_setup::spool_files(const std::string& prefix) const {
  std::vector<std::string> names;
  DIR* d = opendir(spool().c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

daemon_process::daemon_process(const std::string& config, int interval, bool foreground,
                               const std::vector<std::string>& extra_args)
    : log_dir_(std::make_unique<temp_dir>()) {
  // Whatever the daemon leaves behind (its detached self, orphaned
  // children) comes back to this process to be collected.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  log_path_ = log_dir_->file("log");
  std::vector<std::string> args;
  if (foreground) args.push_back("-d");
  args.insert(args.end(), {"-q", std::to_string(interval), "-C", config});
  args.insert(args.end(), extra_args.begin(), extra_args.end());

  if (!foreground) {
    run_result r = run_callvane(args);
    if (r.status != 0) throw std::runtime_error("daemon did not start: " + r.err);
    std::string pidfile;
    std::ifstream conf(config);
    for (std::string line; std::getline(conf, line);)
      if (line.rfind("pidfile=", 0) == 0) pidfile = line.substr(8);
    pid_ = static_cast<pid_t>(std::atol(read_file(pidfile).c_str()));
    if (pid_ <= 0) throw std::runtime_error("no pid in " + pidfile);
    return;
  }

  std::vector<std::string> argv{callvane_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDONLY);
    int out = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  if (!wait_for_log("waiting for incoming connections")) {
    int status = stop(2s);
    throw std::runtime_error("daemon did not start (" + std::to_string(status) + "): " + log());
  }
}

daemon_process::~daemon_process() {
  if (pid_ > 0) stop(5s);
}

std::string daemon_process::log() const { return read_file(log_path_); }

size_t daemon_process::count_in_log(const std::string& text) const {
  std::string all = log();
  size_t n = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
    n++;
  return n;
}

bool daemon_process::wait_for_log(const std::string& text, size_t count,
                                  std::chrono::milliseconds limit) const {
  return wait_until([&] { return count_in_log(text) >= count; }, limit);
}

void daemon_process::signal(int signo) const {
  if (pid_ > 0) kill(pid_, signo);
}

bool daemon_process::first_run_done() const {
  signal(SIGHUP);
  return wait_for_log("processing the page queue") && wait_for_children(pid_, 0);
}

int daemon_process::stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  std::vector<pid_t> left = children_of(pid_);
  kill(pid_, SIGTERM);
  int status = 0;
  if (!reap(pid_, status, limit)) {
    kill(pid_, SIGKILL);
    reap(pid_, status, 5s);
  }
  // Session and queue children outlive the daemon; they came back here.
  for (pid_t child : left) {
    if (parent_of(child) != getpid()) continue;
    kill(child, SIGKILL);
    int ignored;
    reap(child, ignored, 5s);
  }
  pid_ = -1;
  return decode(status);
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> found;
  DIR* d = opendir("/proc");
  if (d == nullptr) return found;
  while (struct dirent* e = readdir(d)) {
    char* end = nullptr;
    long n = strtol(e->d_name, &end, 10);
    if (n <= 0 || *end != '\0') continue;
    auto f = stat_fields(static_cast<pid_t>(n));
    // Zombies have ended already.
    if (f.size() > 1 && f[0] != "Z" && std::stol(f[1]) == pid)
      found.push_back(static_cast<pid_t>(n));
  }
  closedir(d);
  return found;
}

bool wait_for_children(pid_t pid, size_t count, std::chrono::milliseconds limit) {
  return wait_until([&] { return children_of(pid).size() == count; }, limit);
}

std::string proc_status(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) != 0) continue;
    std::istringstream words(line.substr(name.size() + 1));
    std::string w, folded;
    while (words >> w) folded += (folded.empty() ? "" : " ") + w;
    return folded;
  }
  return "?";
}

std::set<std::string> sockets_of(pid_t pid) {
  std::set<std::string> found;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return found;
  while (struct dirent* e = readdir(d)) {
    char target[128] = {};
    if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) <= 0) continue;
    if (std::string(target).rfind("socket:[", 0) == 0) found.insert(target);
  }
  closedir(d);
  return found;
}

long long cpu_ticks(pid_t pid) {
  auto f = stat_fields(pid);
  if (f.size() < 13) return -1;
  return std::stoll(f[11]) + std::stoll(f[12]);
}

socklen_t socket_address(const std::string& host, int port, sockaddr_storage& addr) {
  addr = sockaddr_storage{};
  auto* six = reinterpret_cast<sockaddr_in6*>(&addr);
  auto* four = reinterpret_cast<sockaddr_in*>(&addr);
  if (inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) == 1) {
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *six;
  }
  if (inet_pton(AF_INET, host.c_str(), &four->sin_addr) == 1) {
    four->sin_family = AF_INET;
    four->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *four;
  }
  return 0;
}

snpp_connection::snpp_connection(const std::string& host, int port, const std::string& from) {
  sockaddr_storage to, local;
  socklen_t len = socket_address(host, port, to);
  if (len == 0) return;
  fd_ = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  socklen_t local_len = from.empty() ? 0 : socket_address(from, 0, local);
  if ((!from.empty() &&
       (local_len == 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), local_len) != 0)) ||
      connect(fd_, reinterpret_cast<sockaddr*>(&to), len) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  fcntl(fd_, F_SETFL, O_NONBLOCK);
}

snpp_connection::snpp_connection(adopt socket) : fd_(socket.fd) { fcntl(fd_, F_SETFL, O_NONBLOCK); }

unsigned snpp_connection::local_port() const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

snpp_connection::~snpp_connection() { close(); }

void snpp_connection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool snpp_connection::read_some(int timeout_ms) {
  if (fd_ < 0 || eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[65536];
  ssize_t n = read(fd_, buf, sizeof buf);
  if (n > 0) {
    in_.append(buf, static_cast<size_t>(n));
    return true;
  }
  if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof_ = true;
  return false;
}

bool snpp_connection::send(const std::string& bytes, std::chrono::milliseconds limit) {
  if (fd_ < 0) return false;
  auto deadline = Clock::now() + limit;
  size_t done = 0;
  while (done < bytes.size()) {
    if (Clock::now() > deadline) return false;
    pollfd p{fd_, POLLIN | POLLOUT, 0};
    if (poll(&p, 1, ms_left(deadline)) <= 0) continue;
    if (p.revents & POLLIN) read_some(0);
    if (p.revents & (POLLOUT | POLLERR | POLLHUP)) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
  }
  return true;
}

std::optional<std::string> snpp_connection::line(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    size_t end = in_.find("\r\n", pos_);
    if (end != std::string::npos) {
      std::string text = in_.substr(pos_, end - pos_);
      pos_ = end + 2;
      return text;
    }
    if (eof_ || Clock::now() > deadline) return std::nullopt;
    read_some(std::min(ms_left(deadline), 100));
  }
}

std::string snpp_connection::rest(std::chrono::milliseconds limit) {
  wait_closed(limit);
  std::string text = in_.substr(pos_);
  pos_ = in_.size();
  return text;
}

bool snpp_connection::wait_closed(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (!eof_) {
    if (Clock::now() > deadline || fd_ < 0) return false;
    read_some(std::min(ms_left(deadline), 100));
  }
  return true;
}

}  // namespace testsupport
