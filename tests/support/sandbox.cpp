// A private network and mount namespace for tests, with SNPP peers.
#include "support/sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/support.h"

namespace sandbox {

namespace {

std::string write_temp(const std::string& contents, mode_t mode) {
  char path[] = "/tmp/callvane-sandbox-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp");
  if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    throw std::runtime_error("write");
  fchmod(fd, mode);
  close(fd);
  return path;
}

bool loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool enter(std::string& why) {
  static int state = 0;  // 0: not tried, 1: inside, -1: failed
  static std::string reason;
  if (state == 0) {
    state = -1;
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
      reason = std::string("unshare: ") + strerror(errno);
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      reason = std::string("private mounts: ") + strerror(errno);
    } else if (!loopback_up()) {
      reason = "cannot bring the loopback interface up";
    } else if (mount("tmpfs", "/usr/local/etc", "tmpfs", 0, "mode=0755") != 0) {
      reason = std::string("tmpfs on /usr/local/etc: ") + strerror(errno);
    } else {
      // These stay for the life of the process, in its own namespace only.
      static file_override services("/etc/services", "snpp\t\t444/tcp\n");
      if (access("/etc/resolv.conf", F_OK) == 0) {
        static file_override resolver("/etc/resolv.conf",
                                      "nameserver 127.0.0.1\noptions attempts:1\n");
      }
      state = 1;
    }
  }
  why = reason;
  return state == 1;
}

file_override::file_override(const std::string& target, const std::string& contents, mode_t mode)
    : target_(target), source_(write_temp(contents, mode)) {
  if (mount(source_.c_str(), target_.c_str(), nullptr, MS_BIND, nullptr) != 0)
    throw std::runtime_error("bind mount on " + target_ + ": " + strerror(errno));
}

file_override::~file_override() {
  umount2(target_.c_str(), MNT_DETACH);
  unlink(source_.c_str());
}

peer peer::scripted(const std::string& script, int port) {
  peer p;
  p.start(testsupport::tools_dir() + "/snpppeer/snpppeer", std::to_string(port), script);
  return p;
}

peer peer::netsnpp() {
  peer p;
  p.start(testsupport::tools_dir() + "/snpppeer/netsnpp-server.pl", "444", "");
  return p;
}

void peer::start(const std::string& program, const std::string& port, const std::string& script) {
  char dir[] = "/tmp/callvane-peer-XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
  log_ = dir_ + "/log";
  std::string script_path = dir_ + "/script";
  FILE* f = fopen(script_path.c_str(), "w");
  fputs(script.c_str(), f);
  fclose(f);

  if (program.ends_with(".pl"))
    pid_ = testsupport::start_peer({"/usr/bin/perl", program, port, log_});
  else
    pid_ = testsupport::start_peer({program, port, script_path, log_});
}

peer::peer(peer&& other) noexcept
    : pid_(other.pid_), dir_(std::move(other.dir_)), log_(std::move(other.log_)) {
  other.pid_ = -1;
  other.dir_.clear();
}

std::string peer::finish() {
  testsupport::end_child(pid_, std::chrono::seconds(10));
  return testsupport::read_file(log_);
}

peer::~peer() {
  testsupport::end_child(pid_, std::chrono::milliseconds(0));
  if (!dir_.empty()) {
    unlink(log_.c_str());
    unlink((dir_ + "/script").c_str());
    rmdir(dir_.c_str());
  }
}

}  // namespace sandbox
