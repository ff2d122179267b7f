#include "common/privilege.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/settings.h"
#include "support/support.h"

namespace callvane {
namespace {

// drop_root changes the process for good, so every case runs in a forked
// child; log lines go to its standard output (interactive) or error (-d).
using testsupport::in_child;

class DropRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    struct passwd* pw = getpwnam("uucp");
    if (pw == nullptr) GTEST_SKIP() << "no user uucp";
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
  }
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(DropRoot, BecomesUucpWithItsGroups) {
  uid_t uid = uid_;
  gid_t gid = gid_;
  auto r = in_child([uid, gid] {
    debug = 1;
    drop_root();
    if (getuid() != uid || geteuid() != uid) return 1;
    // Root's group must not survive the switch.
    if (getgid() != gid || getegid() != gid) return 2;
    std::vector<gid_t> groups(64);
    int n = getgroups(static_cast<int>(groups.size()), groups.data());
    if (n < 0) return 3;
    for (int i = 0; i < n; i++)
      if (groups[static_cast<size_t>(i)] == 0) return 4;
    // There is no way back.
    if (setuid(0) == 0) return 5;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("giving up root privileges\nbecoming user 'uucp'\n", r.err);
  EXPECT_EQ("", r.out);
}

TEST_F(DropRoot, WithoutDebugOnlyTheFirstLine) {
  auto r = in_child([] {
    interactive = true;
    drop_root();
    return geteuid() == 0 ? 1 : 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("giving up root privileges\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST_F(DropRoot, NotRootDoesNothing) {
  uid_t uid = uid_;
  auto r = in_child([uid] {
    debug = 1;
    if (seteuid(uid) != 0) return 1;
    drop_root();
    // Only the effective id was changed before; the real one is untouched.
    if (getuid() != 0 || geteuid() != uid) return 2;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
}

TEST_F(DropRoot, WithoutTheUserItWarns) {
  testsupport::temp_dir dir;
  std::string passwd = dir.write("passwd",
                                 "root:x:0:0:root:/root:/bin/sh\n"
                                 "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n");
  auto r = in_child([passwd] {
    // A private mount namespace with a password file that has no uucp.
    if (unshare(CLONE_NEWNS) != 0) return 10;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
    if (mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) return 12;
    debug = 1;
    drop_root();
    return geteuid() == 0 ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("giving up root privileges\nwarning: daemon is running as root!\n", r.err);
}

// Takes one capability out of the effective and permitted sets, so that
// the matching identity call fails although the process is root.
bool lose_capability(int cap) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2];
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[cap / 32].effective &= ~(1u << (cap % 32));
  data[cap / 32].permitted &= ~(1u << (cap % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

std::vector<gid_t> current_groups() {
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  int n = getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return groups;
}

class DropRootFailure : public DropRoot, public ::testing::WithParamInterface<int> {};

TEST_P(DropRootFailure, LeavesTheWholeRootIdentity) {
  int cap = GetParam();
  auto r = in_child([cap] {
    gid_t gid = getgid();
    std::vector<gid_t> groups = current_groups();
    if (!lose_capability(cap)) return 10;
    debug = 1;
    drop_root();
    if (getuid() != 0 || geteuid() != 0) return 1;
    if (getgid() != gid || getegid() != gid) return 2;
    if (current_groups() != groups) return 3;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "giving up root privileges\n"
      "becoming user 'uucp'\n"
      "cannot become user 'uucp': Operation not permitted\n"
      "warning: daemon is running as root!\n",
      r.err);
}

// Without CAP_SETGID initgroups fails first; without CAP_SETUID the groups
// are already changed when setuid fails and must be given back.
INSTANTIATE_TEST_SUITE_P(Capabilities, DropRootFailure, ::testing::Values(CAP_SETGID, CAP_SETUID),
                         [](const auto& info) {
                           return std::string(info.param == CAP_SETGID ? "NoSetgid" : "NoSetuid");
                         });

}  // namespace
}  // namespace callvane
