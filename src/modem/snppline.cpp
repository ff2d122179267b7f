// Paging carriers that take pages over SNPP: the gateway as their client.
#include "modem/snppline.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "client/client.h"
#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "modem/netline.h"

namespace callvane {

namespace {

const char DATA_COMMAND[] = "DATA";
const char SEND_COMMAND[] = "SEND";
const char RESET_COMMAND[] = "RESEt";
const std::string_view PAGER_COMMAND = "PAGEr";
constexpr int ACCEPTED = 2;
constexpr int GO_AHEAD = 3;  // DATA's "354 Begin input"
constexpr int REFUSED = 5;

// A pager id or user goes on its command line as one word.
bool one_word(const std::string& id) {
  if (id.empty()) return false;
  for (unsigned char c : id)
    if (c <= ' ' || c == 0x7f) return false;
  return true;
}

class snpp_line : public delivery_line {
 public:
  snpp_line(const service& svc, const modem& mdm, net_device where)
      : svc_(svc), mdm_(mdm), where_(std::move(where)), shown_(net_device_text(where_)) {}
  ~snpp_line() override { close(); }

  bool open() override;
  // A carrier that did not answer counts as a call without carrier.
  unsigned open_failure() const override { return F_NOCARRIER; }
  unsigned log_in() override;
  job_outcome send(const job& j) override;
  void log_out() override {
    if (link_ && link_->is_open()) send_quit(*link_);
  }
  void close() override { link_.reset(); }

 private:
  int step(std::string_view command, std::chrono::milliseconds wait);
  job_outcome outcome(const job& j, bool sent);
  bool reset();

  const service& svc_;
  const modem& mdm_;
  net_device where_;
  std::string shown_;
  std::unique_ptr<snpp_link> link_;
  int kind_ = 0;       // the class of the latest reply
  std::string reply_;  // the latest reply; empty when none came
  // The carrier refused the pager id itself: no later try can do better.
  bool pager_refused_ = false;
};

bool snpp_line::open() {
  if (verbose()) logmsg(LOG_DEBUG, "connecting to %s", shown_.c_str());
  std::string why;
  int fd = connect_to(where_.host, where_.port, std::chrono::seconds(NET_CONNECT_SECONDS), why);
  if (fd >= 0) {
    // A message's text and its closing "." go out as two writes; without
    // this the second waits for the carrier's delayed acknowledgement of
    // the first, some 40 ms a page.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link_ = std::make_unique<snpp_link>(fd);
    // The dialogue goes to the log, never to the terminal as the client's does.
    link_->trace = [](std::string_view line) { logmsg(LOG_DEBUG, "SNPP %s", safe_string(line)); };
    link_->complain = [](std::string_view) {};
    if (read_reply(*link_, reply_) == ACCEPTED) {
      logmsg(LOG_INFO, "connected to remote, service=%s", svc_.name.c_str());
      return true;
    }
    why = reply_.empty() ? "no greeting" : "greeting " + std::string(safe_string(reply_));
    link_.reset();
  }
  logmsg(LOG_NOTICE, "cannot connect to %s: %s", shown_.c_str(), why.c_str());
  return false;
}

// A refused LOGIn fails the service's jobs as a refused TAP login does
// (F_UNKNOWN); a carrier without the command is used without a login.
unsigned snpp_line::log_in() {
  if (!mdm_.login) return 0;
  snpp_login login{*mdm_.login, mdm_.password.value_or("")};
  unsigned flag = F_UNKNOWN;
  const char* what = "login refused by";
  if (!one_word(login.user)) {
    what = "login= is not one word, no login to";
    reply_ = "not sent";
  } else {
    kind_ = exchange(*link_, login_command(login, false), reply_, reply_timeout,
                     login_command(login, true));
    if (kind_ == ACCEPTED) {
      if (verbose()) logmsg(LOG_DEBUG, "login accepted by %s", shown_.c_str());
      return 0;
    }
    if (kind_ == REFUSED && not_implemented(reply_)) {
      logmsg(LOG_INFO, "%s has no LOGIn, going on without it: %s", shown_.c_str(),
             safe_string(reply_));
      return 0;
    }
    if (reply_.empty()) {
      flag = F_NOCARRIER;
      what = "unexpected hangup during the login to";
      reply_ = "no reply";
    }
  }
  logmsg(LOG_NOTICE, "%s %s: %s", what, shown_.c_str(), safe_string(reply_));
  return flag;
}

// One command of a job, as send_command answers it; the reply is kept.
int snpp_line::step(std::string_view command, std::chrono::milliseconds wait) {
  kind_ = exchange(*link_, command, reply_, wait);
  pager_refused_ = kind_ == REFUSED && command.substr(0, PAGER_COMMAND.size()) == PAGER_COMMAND;
  if (kind_ == ACCEPTED || (kind_ == GO_AHEAD && command == DATA_COMMAND)) return 0;
  return kind_ == REFUSED ? 1 : -1;
}

// After a job that did not go out the carrier forgets what it set up, so
// that nothing of it reaches the next job; false when the line is gone.
bool snpp_line::reset() {
  std::string reply;
  if (link_ && link_->is_open() && exchange(*link_, RESET_COMMAND, reply) == ACCEPTED) return true;
  close();
  return false;
}

job_outcome snpp_line::send(const job& j) {
  // A line given up after a refused job is called again.
  if (!link_) {
    unsigned flag = open() ? log_in() : F_NOCARRIER;
    if (flag != 0) {
      close();
      return {job_outcome::failed, flag, false};
    }
  }
  const std::string pagerid = j.pager->pagerid.value_or("");
  const std::string text = carrier_text(j);
  bool sent = false;
  pager_refused_ = false;
  if (!one_word(pagerid)) {
    kind_ = REFUSED;
    reply_ = "bad pager id";
    pager_refused_ = true;
  } else if (text.empty()) {
    logmsg(LOG_ERR, "maxmsgsize too small");
    kind_ = REFUSED;
    reply_ = "maxmsgsize too small";
  } else {
    // The hold and the coverage were callvane's own: they chose this call.
    rcpt options = *j.rcpt;
    options.holduntil = 0;
    options.coverage.reset();
    snpp_runner run = [this](std::string_view command, const std::optional<std::string>&) {
      return step(command, reply_timeout);
    };
    sent = send_recipient(run, options, pagerid) == 1 && send_message(*link_, run, text) == 0 &&
           step(SEND_COMMAND, send_reply_timeout) == 0;
  }
  return outcome(j, sent);
}

// The job's outcome from the latest reply, with its log line.
job_outcome snpp_line::outcome(const job& j, bool sent) {
  const page& pg = *j.page;
  const std::string from = pg.from                              ? *pg.from
                           : (j.service->identfrom && pg.ident) ? *pg.ident
                                                                : std::string("[anonymous]");
  const std::string id = pg.messageid.value_or("[none]");
  const char* to = j.rcpt->pager.c_str();
  if (sent) {
    logmsg(LOG_NOTICE, "page delivered, id=%s, from=%s, to=%s : %s", id.c_str(), from.c_str(), to,
           safe_string(reply_));
    return {job_outcome::delivered};
  }
  if (kind_ == REFUSED) {
    logmsg(LOG_NOTICE, "page failed, id=%s, from=%s, to=%s : %s", id.c_str(), from.c_str(), to,
           safe_string(reply_));
    reset();
    return {job_outcome::refused, 0, true, pager_refused_};
  }
  if (reply_.empty()) {
    // The carrier may have taken the page before the line went: it is not
    // sent again at once, so that it cannot go out twice in one run.
    logmsg(LOG_ERR, "unexpected hangup by remote");
    logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s : connection lost", id.c_str(),
           from.c_str(), to);
    close();
    return {job_outcome::failed, F_NOCARRIER, false};
  }
  logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s : %s", id.c_str(), from.c_str(), to,
         safe_string(reply_));
  return {job_outcome::failed, F_UNKNOWN, reset()};
}

}  // namespace

std::unique_ptr<delivery_line> make_snpp_line(const service& svc, const modem& mdm,
                                              net_device where) {
  return std::make_unique<snpp_line>(svc, mdm, std::move(where));
}

}  // namespace callvane
