// Status mail to senders and failure mail to the administrator.
#include "notify/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"

namespace callvane {

namespace {

constexpr int MESSAGE_WIDTH = 50;  // pieces of at most 49 characters
constexpr size_t PAGER_COLUMN = 30;
constexpr size_t SIGNATURE_LIMIT = 64 * 1024;
constexpr const char* MESSAGE_END = "\n.\n";
constexpr const char* DEFAULT_CLOSING = "Regards,\nCallvane\n";

const char* id_of(const page& p) { return p.messageid ? p.messageid->c_str() : "[none]"; }

// A creation time that ctime cannot show must not stop the report.
std::string date_of(const page& p) {
  const char* t = time_text(p.created);
  return t ? t : "(unknown)";
}

// "\t<label><value>\n" when the value is set.
void add_field(std::string& out, const char* label, const std::optional<std::string>& value) {
  if (!value) return;
  out += '\t';
  out += label;
  out += *value;
  out += '\n';
}

std::string padded(const std::string& text, size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

const char* status_of(const rcpt& r) {
  if (r.flags & F_SENT) return "Delivered";
  if (r.flags & F_FAILED) return "Failed";
  return "Still trying";
}

// Every recipient of the page, also those not reported this time.
void add_recipient_table(std::string& out, const page& p) {
  out += "\t" + padded("Pager", PAGER_COLUMN) + "Status\n";
  out += "\t" + padded("-----", PAGER_COLUMN) + "------\n";
  for (const rcpt& r : p.rcpts) out += "\t" + padded(r.pager, PAGER_COLUMN) + status_of(r) + "\n";
}

void add_message(std::string& out, const std::optional<std::string>& message) {
  const char* rest = message ? message->c_str() : "";
  std::string piece;
  bool first = true;
  do {
    rest = wrapline(piece, rest, MESSAGE_WIDTH);
    out += first ? "\tMessage: " : "\t         ";
    out += piece;
    out += '\n';
    first = false;
  } while (rest != nullptr);
}

// Hands one report to the mailer; the marks the caller set stay whatever
// happens, so that a report that could not go out is not tried each run.
void deliver(const page& p, const std::string& address, const std::string& message) {
  if (!mail_address_safe(address)) {
    logmsg(LOG_WARNING, "refusing unsafe mail address <%s> for id=%s", safe_string(address),
           id_of(p));
    return;
  }
  std::unique_ptr<mail_process> mailer = open_mailer(address);
  if (mailer) mailer->send(message);
}

}  // namespace

int append_signature(std::string& message, const std::optional<std::string>& path) {
  if (!path) return -1;
  // Non-blocking open and regular files only: a FIFO must not stall the run.
  int fd = open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    logmsg(LOG_WARNING, "cannot open signature file <%s>\n", path->c_str());
    return -1;
  }
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while (text.size() < SIGNATURE_LIMIT) {
    n = read(fd, buf, std::min(sizeof buf, SIGNATURE_LIMIT - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  int err = errno;
  close(fd);
  if (n < 0) {
    logmsg(LOG_WARNING, "cannot read signature file <%s>: %s", path->c_str(), strerror(err));
    return -1;
  }
  if (text.size() >= SIGNATURE_LIMIT && static_cast<size_t>(st.st_size) > SIGNATURE_LIMIT)
    logmsg(LOG_WARNING, "signature file <%s> cut at %zu bytes", path->c_str(), SIGNATURE_LIMIT);
  message += text;
  return 0;
}

std::string sender_address(const page& p) {
  const std::string& from = *p.from;
  std::optional<std::string> domain;
  if (forcehostname && forcehostname->starts_with("@"))
    domain = forcehostname->substr(1);
  else if (forcehostname && p.hostname && !p.hostname->empty())
    domain = *p.hostname;
  // A host known by its IPv6 address only: mail writes that literal as
  // [IPv6:address]; an IPv4 literal stays as it is.
  if (domain && domain->starts_with("[") && domain->find(':') != std::string::npos)
    domain->insert(1, "IPv6:");
  if (!domain || from.find('@') != std::string::npos) return from;
  return from + "@" + *domain;
}

std::string admin_report(const page& p) {
  std::string out;
  out += "From: Callvane Daemon <" + current_user() + ">\n";
  out += "To: Callvane Administrator <" + administrator.value_or("") + ">\n";
  out += "Subject: A page has failed.\n\n";
  out += "The following page could not be delievered to one or more recipients:\n\n";
  out += "\tDate:  " + date_of(p) + "\n";
  add_field(out, "MsgID: ", p.messageid);
  add_field(out, "File:  ", p.filename);
  add_field(out, "From:  ", p.from);
  add_field(out, "Auth:  ", p.login);
  add_field(out, "Ident: ", p.ident);
  add_field(out, "Host:  ", p.hostname);
  out += "\n";
  add_recipient_table(out, p);
  out += "\n";
  bool still_trying = false;
  for (const rcpt& r : p.rcpts)
    if (!r.finished()) still_trying = true;
  if (!still_trying) out += "This page should be manually removed from the page queue.\n";
  out += "\n\n";
  out += DEFAULT_CLOSING;
  out += MESSAGE_END;
  return out;
}

std::string sender_report(const page& p, const std::string& address) {
  std::string out;
  out += "From: Callvane Daemon <" + current_user() + ">\n";
  out += "To: Callvane User <" + address + ">\n";
  out += "Subject: The status of your page\n";
  // An unsafe administrator address would break the header it stands in.
  if (administrator && mail_address_safe(*administrator))
    out += "Reply-To: " + *administrator + "\n";
  out += "\n";
  out += "The page you submitted has the following status:\n\n";
  out += "\tDate:    " + date_of(p) + "\n";
  out += "\tFrom:    " + p.from.value_or("") + "\n";
  add_field(out, "Auth:    ", p.login);
  add_field(out, "Ident:   ", p.ident);
  add_field(out, "Host:    ", p.hostname);
  out += "\n";
  add_message(out, p.message);
  out += "\n";
  add_recipient_table(out, p);
  out += "\n";
  if (append_signature(out, sigfile) < 0) out += DEFAULT_CLOSING;
  out += MESSAGE_END;
  return out;
}

void notify_admin(page& p) {
  int count = 0;
  for (rcpt& r : p.rcpts) {
    if ((r.flags & F_FAILED) && !(r.flags & F_SENTADMIN)) {
      r.flags |= F_SENTADMIN;
      count++;
    }
  }
  if (count == 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "no failed pages for id=%s", id_of(p));
    return;
  }
  logmsg(LOG_INFO, "notifying administrator of failed page id=%s", id_of(p));
  if (!administrator) return;
  deliver(p, *administrator, admin_report(p));
}

void notify_sender(page& p) {
  int count = 0;
  for (rcpt& r : p.rcpts) {
    if ((r.flags & F_SENDMAIL) && !(r.flags & F_SENTMAIL) && r.finished()) {
      r.flags |= F_SENTMAIL;
      count++;
    }
  }
  if (count == 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "no e-mail to send for id=%s", id_of(p));
    return;
  }
  logmsg(LOG_INFO, "sending e-mail status for id=%s", id_of(p));
  if (!p.from) return;
  std::string address = sender_address(p);
  deliver(p, address, sender_report(p, address));
}

}  // namespace callvane
