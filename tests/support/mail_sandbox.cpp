// The real system mailer (exim) with its files on this namespace's scratch mounts.
#include "support/mail_sandbox.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "support/sandbox.h"
#include "support/support.h"
#include "support/wait.h"

namespace testsupport {

namespace {

constexpr const char* MAILBOXES = "/var/mail";

std::string owner_options(const char* user, const char* group, const char* mode) {
  struct passwd* pw = user ? getpwnam(user) : nullptr;
  struct group* gr = getgrnam(group);
  if ((user && pw == nullptr) || gr == nullptr)
    throw std::runtime_error(std::string("no user or group ") + (user ? user : "") + "/" + group);
  std::string opts = std::string("mode=") + mode + ",gid=" + std::to_string(gr->gr_gid);
  if (pw) opts += ",uid=" + std::to_string(pw->pw_uid);
  return opts;
}

std::string link_of(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// exim processes of this mount namespace: deliveries go on in the
// background after the mailer that was called has ended.
std::vector<pid_t> exim_processes() {
  std::vector<pid_t> pids;
  std::string here = link_of("/proc/self/ns/mnt");
  if (DIR* d = opendir("/proc")) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string dir = std::string("/proc/") + e->d_name;
      if (link_of(dir + "/exe") == EXIM && link_of(dir + "/ns/mnt") == here)
        pids.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    closedir(d);
  }
  return pids;
}

}  // namespace

// An empty tmpfs over a directory, for the life of the object.
struct mail_sandbox::scratch_mount {
  scratch_mount(const std::string& path, const std::string& options) : path(path) {
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0)
      throw std::runtime_error("tmpfs on " + path + ": " + strerror(errno));
  }
  ~scratch_mount() { umount2(path.c_str(), MNT_DETACH); }
  std::string path;
};

mail_sandbox::mail_sandbox() = default;

bool mail_sandbox::enter(std::string& why) {
  if (access(EXIM, X_OK) != 0) {
    why = "exim4 is not installed";
  } else if (geteuid() != 0) {
    why = "needs root for private mounts";
  } else if (sandbox::enter(why)) {
    mounts_.push_back(
        std::make_unique<scratch_mount>(MAILBOXES, owner_options(nullptr, "mail", "2775")));
    mounts_.push_back(std::make_unique<scratch_mount>(
        "/var/spool/exim4", owner_options("Debian-exim", "Debian-exim", "0750")));
    mounts_.push_back(std::make_unique<scratch_mount>("/var/log/exim4",
                                                      owner_options("Debian-exim", "adm", "2750")));
    return true;
  }
  return false;
}

mail_sandbox::~mail_sandbox() {
  if (mounts_.empty()) return;
  // The mounts must outlive every exim process that may still write below
  // them; otherwise its last writes would reach the host's own files.
  if (!wait_until([] { return exim_processes().empty(); }, std::chrono::seconds(30),
                  std::chrono::milliseconds(20))) {
    for (pid_t pid : exim_processes()) kill(pid, SIGKILL);
    wait_until([] { return exim_processes().empty(); }, std::chrono::seconds(5),
               std::chrono::milliseconds(20));
  }
  // A subreaper inherits exim's background processes: collect them, so that
  // no later test finds them as its children.
  siginfo_t info;
  while (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) == 0 && info.si_pid != 0) {
  }
  while (!mounts_.empty()) mounts_.pop_back();
}

std::string mail_sandbox::delivered() const {
  std::string all;
  if (DIR* d = opendir(MAILBOXES)) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') all += read_file(std::string(MAILBOXES) + "/" + e->d_name);
    closedir(d);
  }
  return all;
}

std::string mail_sandbox::logs() const {
  return read_file("/var/log/exim4/mainlog") + read_file("/var/log/exim4/paniclog");
}

}  // namespace testsupport
