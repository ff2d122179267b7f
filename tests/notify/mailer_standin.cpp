// This test program standing in for the system mailer at /usr/sbin/sendmail.
#include "mailer_standin.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "notify/mailer.h"
#include "support/support.h"
#include "support/wait.h"

namespace notifytest {

namespace {

// "<mode>:<directory>" in the environment the mailer inherits.
constexpr const char* STANDIN_ENV = "CALLVANE_TEST_MAILER";

std::string slurp_fd(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

void put_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  rename(tmp.c_str(), path.c_str());
}

// Descriptors open right now, before this program opens anything itself.
std::string open_descriptors() {
  std::vector<int> fds;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return "?";
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    int fd = atoi(e->d_name);
    if (fd != dirfd(d)) fds.push_back(fd);
  }
  closedir(d);
  std::sort(fds.begin(), fds.end());
  std::string out;
  for (int fd : fds) out += (out.empty() ? "" : " ") + std::to_string(fd);
  return out;
}

// "SIGPIPE=<ignored|default> mask=<empty|not empty>": what a mailer
// inherits beyond its arguments.
std::string signal_state() {
  struct sigaction sa;
  sigaction(SIGPIPE, nullptr, &sa);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool blocked = false;
  for (int sig = 1; sig < NSIG; sig++)
    if (sigismember(&mask, sig) == 1) blocked = true;
  return std::string("SIGPIPE=") + (sa.sa_handler == SIG_IGN ? "ignored" : "default") +
         " mask=" + (blocked ? "not empty" : "empty");
}

// Runs before main: when started as the mailer, this program does the
// stand-in's work and never reaches the tests.
[[gnu::constructor]] void act_as_mailer() {
  const char* setting = getenv(STANDIN_ENV);
  if (setting == nullptr) return;
  std::string fds = open_descriptors();
  std::string s = setting;
  size_t colon = s.find(':');
  if (colon == std::string::npos) _exit(90);
  std::string mode = s.substr(0, colon), dir = s.substr(colon + 1);
  if (mode == "quit") _exit(0);
  if (mode == "hang") {
    sleep(30);
    _exit(0);
  }
  int fd = open("/proc/self/cmdline", O_RDONLY);
  std::string argv = fd >= 0 ? slurp_fd(fd) : "";
  if (fd >= 0) close(fd);
  std::string input = slurp_fd(STDIN_FILENO);
  put_file(dir + "/argv", argv);
  put_file(dir + "/input", input);
  put_file(dir + "/ids", std::to_string(getuid()) + " " + std::to_string(geteuid()));
  put_file(dir + "/signals", signal_state());
  put_file(dir + "/fds", fds);
  _exit(0);
}

std::string make_shared_dir() {
  char tmpl[] = "/tmp/callvane-mailer-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  chmod(tmpl, 0777);
  return tmpl;
}

}  // namespace

mailer_standin::mailer_standin(standin_mode mode) : dir_(make_shared_dir()) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe");
  self[n] = '\0';
  // The mailer path may be a link (to exim); the mount lands on its target.
  char target[4096];
  if (realpath(callvane::MAILER_PATH, target) == nullptr) {
    // No mailer installed: an empty /usr/sbin, in this namespace only, gives
    // the bind mount somewhere to land without touching the host.
    std::string sbin = callvane::MAILER_PATH;
    sbin.resize(sbin.rfind('/'));
    if (mount("tmpfs", sbin.c_str(), "tmpfs", 0, "mode=0755") != 0)
      throw std::runtime_error("tmpfs on " + sbin + ": " + strerror(errno));
    scratch_ = sbin;
    int fd = open(callvane::MAILER_PATH, O_WRONLY | O_CREAT, 0755);
    if (fd >= 0) close(fd);
    strcpy(target, callvane::MAILER_PATH);
  }
  target_ = target;
  if (mount(self, target_.c_str(), nullptr, MS_BIND, nullptr) != 0)
    throw std::runtime_error("bind mount on " + target_ + ": " + strerror(errno));
  const char* name = mode == standin_mode::record ? "record"
                     : mode == standin_mode::quit ? "quit"
                                                  : "hang";
  setenv(STANDIN_ENV, (std::string(name) + ":" + dir_).c_str(), 1);
}

mailer_standin::~mailer_standin() {
  reap_children();
  unsetenv(STANDIN_ENV);
  umount2(target_.c_str(), MNT_DETACH);
  if (!scratch_.empty()) umount2(scratch_.c_str(), MNT_DETACH);
  std::string cmd = "rm -rf '" + dir_ + "'";
  int r = system(cmd.c_str());
  (void)r;
}

std::vector<pid_t> child_pids() {
  std::vector<pid_t> pids;
  DIR* d = opendir("/proc");
  if (d == nullptr) return pids;
  pid_t self = getpid();
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = testsupport::read_file(std::string("/proc/") + e->d_name + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    // After the name: " <state> <ppid> ..."
    int ppid = 0;
    char state = 0;
    if (sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 && ppid == self)
      pids.push_back(static_cast<pid_t>(atoi(e->d_name)));
  }
  closedir(d);
  return pids;
}

bool mailer_standin::reap_children() {
  auto none_left = [] {
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
    }
    return pid < 0;
  };
  if (testsupport::wait_until(none_left, std::chrono::seconds(10), std::chrono::milliseconds(5)))
    return true;
  for (pid_t pid : child_pids()) kill(pid, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  return false;
}

standin_record mailer_standin::record() const {
  standin_record r;
  r.ran = testsupport::file_exists(dir_ + "/fds");
  r.argv = testsupport::read_file(dir_ + "/argv");
  r.input = testsupport::read_file(dir_ + "/input");
  r.ids = testsupport::read_file(dir_ + "/ids");
  r.fds = testsupport::read_file(dir_ + "/fds");
  r.signals = testsupport::read_file(dir_ + "/signals");
  return r;
}

standin_record mailer_standin::wait_for_record() const {
  // The descriptor list is the last file a recording stand-in writes.
  testsupport::wait_until([this] { return testsupport::file_exists(dir_ + "/fds"); },
                          std::chrono::seconds(10));
  return record();
}

void mailer_standin::forget() const {
  for (const char* name : {"argv", "input", "ids", "signals", "fds"})
    unlink((dir_ + "/" + name).c_str());
}

}  // namespace notifytest
