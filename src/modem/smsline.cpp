// SMS through a GSM modem on a serial device: the line of an SMS service.
#include "modem/smsline.h"

#include <chrono>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "modem/gsm.h"
#include "modem/gsmtext.h"
#include "modem/serial.h"

namespace callvane {

namespace {

constexpr char SEND_TO[] = "AT+CMGS=\"";
constexpr char CMGS_PREFIX[] = "+CMGS: ";
constexpr char END_OF_TEXT = 0x1A;  // Ctrl-Z sends the message
constexpr char ENTRY_PROMPT[] = "> ";
constexpr int PROMPT_SECONDS = 5;
// The network's answer to a message can take a while.
constexpr int SENT_SECONDS = 60;

// What became of one SMS.
struct part_result {
  enum kind { sent, bad_number, rejected, lost };
  kind what = lost;
  std::string reason;
};

// Waits for the text entry prompt, reading bytes since it ends no line:
// true when it came, else `r` says what came instead.
bool await_prompt(int fd, part_result& r) {
  auto until = mono_clock::now() + std::chrono::seconds(PROMPT_SECONDS);
  std::string line;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::seconds>(until - mono_clock::now()).count();
    int c = left > 0 ? read_byte(fd, static_cast<int>(left)) : -1;
    if (c < 0) break;
    if (c == '\n') continue;
    if (c != '\r') {
      if (line.size() < PACKET_MAX) line += static_cast<char>(c);
      if (line == ENTRY_PROMPT) return true;
      continue;
    }
    if (line == "ERROR" || cms_code(line) >= 0 || line.rfind("+CME ERROR: ", 0) == 0) {
      int code = cms_code(line);
      r = {number_refused(code) ? part_result::bad_number : part_result::rejected, line};
      return false;
    }
    line.clear();
  }
  r = {part_result::lost, "no prompt for the text"};
  return false;
}

// One SMS: the command, the prompt, the text and Ctrl-Z, then "+CMGS: N"
// and "OK".
part_result send_part(int fd, const std::string& number, const std::string& bytes) {
  part_result r;
  reset_packet_buffer();
  send_string(fd, (SEND_TO + number + "\"\r").c_str());
  if (!await_prompt(fd, r)) return r;
  if (debug >= 1) logmsg(LOG_DEBUG, "sending <%s>", safe_string(bytes));
  if (!send_bytes(fd, bytes + END_OF_TEXT)) return {part_result::lost, "cannot write the text"};
  at_answer a = read_answer(fd, SENT_SECONDS);
  if (a.what == at_answer::timeout) return {part_result::lost, "no answer to the text"};
  if (a.what == at_answer::error)
    return {number_refused(cms_code(a.final)) ? part_result::bad_number : part_result::rejected,
            a.final};
  for (const std::string& line : a.info)
    if (line.rfind(CMGS_PREFIX, 0) == 0) return {part_result::sent, line};
  return {part_result::lost, "no message reference"};
}

class sms_line : public delivery_line {
 public:
  sms_line(const service& svc, const modem* mdm, std::string device)
      : svc_(svc), mdm_(mdm), device_(std::move(device)) {}
  ~sms_line() override { close(); }

  bool open() override {
    // The same SIM is not given the same wrong PIN twice.
    if (pin_refused(device_, pin())) {
      logmsg(LOG_NOTICE, "SIM in %s refused the PIN before; not tried again, service=%s",
             device_.c_str(), svc_.name.c_str());
      return false;
    }
    fd_ = open_device(device_);
    return fd_ >= 0;
  }
  unsigned open_failure() const override {
    return pin_refused(device_, pin()) ? F_REJECT : F_NOMODEM;
  }

  unsigned log_in() override {
    if (!set_up_or_release(fd_, device_, svc_)) return F_NOMODEM;
    return gsm_bring_up(fd_, svc_, mdm_, device_);
  }

  job_outcome send(const job& j) override;
  void log_out() override {}

  void close() override { hang_up_and_release(fd_, device_); }

 private:
  std::optional<std::string> pin() const { return mdm_ ? mdm_->pin : std::nullopt; }

  const service& svc_;
  const modem* mdm_;  // null for a device given as a path
  std::string device_;
  int fd_ = -1;
};

job_outcome sms_line::send(const job& j) {
  const page& pg = *j.page;
  const std::string number = j.pager->pagerid.value_or("");
  const std::string sender = pg.from                        ? *pg.from
                             : (svc_.identfrom && pg.ident) ? *pg.ident
                                                            : std::string("[anonymous]");
  const std::string id = pg.messageid.value_or("[none]");
  const char* to = j.rcpt->pager.c_str();
  int parts = 0;

  auto failed = [&](const std::string& reason, job_outcome outcome) {
    logmsg(LOG_NOTICE, "page failed, id=%s, from=%s, to=%s, parts=%d : %s", id.c_str(),
           sender.c_str(), to, parts, safe_string(reason));
    return outcome;
  };
  // A raw pager id comes from the submitter: only a number goes to the modem.
  if (!international_number(number))
    return failed("no international phone number", {job_outcome::refused, 0, true, true});
  std::vector<std::string> texts = sms_texts(j);
  if (texts.empty()) return failed("no room for the message", {job_outcome::refused});

  for (const std::string& text : texts) {
    if (verbose()) logmsg(LOG_DEBUG, "sending SMS to %s", number.c_str());
    parts++;
    part_result r = send_part(fd_, number, text);
    switch (r.what) {
      case part_result::sent:
        if (verbose()) logmsg(LOG_DEBUG, "message accepted (%s)", safe_string(r.reason));
        continue;
      case part_result::bad_number:
        return failed(r.reason, {job_outcome::refused, 0, true, true});
      case part_result::rejected:
        return failed(r.reason, {job_outcome::failed, F_REJECT, true});
      case part_result::lost:
        // The modem's state is unknown: the next job starts a new call.
        return failed(r.reason, {job_outcome::failed, F_UNKNOWN, false});
    }
  }
  logmsg(LOG_NOTICE, "page delivered, id=%s, from=%s, to=%s, parts=%d", id.c_str(), sender.c_str(),
         to, parts);
  return {job_outcome::delivered};
}

}  // namespace

std::unique_ptr<delivery_line> make_sms_line(const service& svc, const modem* mdm,
                                             std::string device) {
  return std::make_unique<sms_line>(svc, mdm, std::move(device));
}

}  // namespace callvane
