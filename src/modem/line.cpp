// The lines behind the delivery seam: TAP by modem or network, carriers, SMS.
#include "modem/line.h"

#include <optional>

#include "common/log.h"
#include "common/text.h"
#include "config/netdevice.h"
#include "modem/netline.h"
#include "modem/serial.h"
#include "modem/smsline.h"
#include "modem/snppline.h"
#include "modem/tap.h"
#include "modem/wctpline.h"

namespace callvane {

namespace {

// What a TAP transfer's result means for the job.
job_outcome tap_outcome(int transferred) {
  if (transferred == 0) return {job_outcome::delivered};
  if (transferred < 0) return {job_outcome::refused};
  return {job_outcome::unknown};
}

// A modem on a serial device: locked, set up, dialled, then TAP.
class serial_line : public delivery_line {
 public:
  serial_line(const service& svc, const modem* mdm, std::string device)
      : svc_(svc), mdm_(mdm), device_(std::move(device)) {}
  ~serial_line() override { close(); }

  bool open() override {
    fd_ = open_device(device_);
    return fd_ >= 0;
  }
  unsigned open_failure() const override { return F_NOMODEM; }

  unsigned log_in() override {
    if (!set_up_or_release(fd_, device_, svc_)) return F_NOMODEM;
    return modem_connect(fd_, svc_, mdm_);
  }

  job_outcome send(const job& j) override { return tap_outcome(transfer(fd_, j)); }
  void log_out() override { logout(fd_, svc_); }

  void close() override { hang_up_and_release(fd_, device_); }

 private:
  const service& svc_;
  const modem* mdm_;  // null for a device given as a path
  std::string device_;
  int fd_ = -1;
};

// A paging terminal on the network: connected at once, then TAP.
class network_line : public delivery_line {
 public:
  network_line(const service& svc, const modem& mdm, net_device where)
      : svc_(svc), mdm_(mdm), where_(std::move(where)) {}
  ~network_line() override { close(); }

  bool open() override {
    fd_ = open_net_line(mdm_, where_);
    if (fd_ < 0) return false;
    logmsg(LOG_INFO, "connected to remote, service=%s", svc_.name.c_str());
    return true;
  }
  // A terminal that did not answer counts as a call without carrier.
  unsigned open_failure() const override { return F_NOCARRIER; }

  unsigned log_in() override { return terminal_login(fd_, svc_, false); }
  job_outcome send(const job& j) override { return tap_outcome(transfer(fd_, j)); }
  void log_out() override { logout(fd_, svc_); }

  void close() override {
    if (fd_ < 0) return;
    close_net_line(fd_);
    fd_ = -1;
  }

 private:
  const service& svc_;
  const modem& mdm_;
  net_device where_;
  int fd_ = -1;
};

}  // namespace

std::string carrier_text(const job& j) {
  const service& svc = *j.service;
  const page& pg = *j.page;
  std::optional<std::string> sender = pg.from;
  if (!sender && svc.identfrom) sender = pg.ident;
  std::string text = pg.message.value_or("");
  if (svc.msgprefix && sender) text = sender->substr(0, sender->find('@')) + ": " + text;
  if (svc.maxmsgsize <= 0) return {};
  if (text.size() <= static_cast<size_t>(svc.maxmsgsize)) return text;
  // Too long for one page: cut after the last whole word that fits.
  std::string piece;
  wrapline(piece, text.c_str(), svc.maxmsgsize + 1);
  if (!piece.empty() && piece.back() == ' ') piece.pop_back();
  return piece;
}

std::unique_ptr<delivery_line> make_line(const service& svc, const std::string& entry) {
  const modem* m = lookup(modems, entry);
  std::string path = m != nullptr && m->device ? *m->device : entry;
  // A GSM modem is a serial device, never a terminal on the network.
  if (svc.protocol == delivery_protocol::sms) {
    if (!path.empty() && path[0] == '/') return make_sms_line(svc, m, path);
    logmsg(LOG_ERR, "%s: no such modem", path.c_str());
    return nullptr;
  }
  if (m != nullptr && is_net_device(path)) {
    std::string why;
    std::optional<net_device> where = parse_net_device(path, why);
    if (where && where->kind == net_kind::wctp) return make_wctp_line(svc, *m, std::move(*where));
    if (where && where->kind == net_kind::snpp) return make_snpp_line(svc, *m, std::move(*where));
    if (where) return std::make_unique<network_line>(svc, *m, std::move(*where));
  }
  if (!path.empty() && path[0] == '/') return std::make_unique<serial_line>(svc, m, path);
  logmsg(LOG_ERR, "%s: no such modem", path.c_str());
  return nullptr;
}

}  // namespace callvane
