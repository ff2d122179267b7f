// Status mail to senders and failure mail to the administrator.
#pragma once

#include <optional>
#include <string>

#include "common/page.h"
#include "notify/mailer.h"

namespace callvane {

// Tells the administrator about recipients that newly failed; marks them
// F_SENTADMIN before the mail is written. Called only when `administrator`
// is set.
void notify_admin(page& p);

// Tells the sender the final state of every recipient that asked for it
// (service level 0); marks them F_SENTMAIL before the mail is written.
// Called only when `page.from` is set.
void notify_sender(page& p);

// The pieces below are what the notifiers send; kept apart so that every
// byte of a report can be checked without a mailer.

// Appends the file at `path` unchanged. -1 when there is no path or the
// file cannot be read (logged); nothing is appended then.
int append_signature(std::string& message, const std::optional<std::string>& path);

// Where the sender's status mail goes: `page.from` qualified by the
// `forcehostname` setting. The page must have a sender.
std::string sender_address(const page& p);

// The whole failure mail to `administrator`, ending with "\n.\n".
std::string admin_report(const page& p);

// The whole status mail to `address`, ending with "\n.\n".
std::string sender_report(const page& p, const std::string& address);

}  // namespace callvane
