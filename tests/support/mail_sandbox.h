// The real system mailer (exim) with its files on this namespace's scratch mounts.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

constexpr const char* EXIM = "/usr/sbin/exim4";

// While alive, /var/mail, /var/spool/exim4 and /var/log/exim4 are empty
// tmpfs mounts of this namespace only, so that nothing exim writes touches
// the host's files.
class mail_sandbox {
 public:
  mail_sandbox();
  // Waits for every exim process below the mounts, then unmounts them.
  ~mail_sandbox();
  mail_sandbox(const mail_sandbox&) = delete;
  mail_sandbox& operator=(const mail_sandbox&) = delete;

  // Needs exim, root and the private namespace; false with the reason when
  // one is missing.
  bool enter(std::string& why);
  // Everything delivered to the mailboxes so far.
  std::string delivered() const;
  // exim's main and panic logs, for failure messages.
  std::string logs() const;

 private:
  struct scratch_mount;
  std::vector<std::unique_ptr<scratch_mount>> mounts_;
};

}  // namespace testsupport
