#include "modem/dispatch.h"

#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/netdevice.h"
#include "modem/netline.h"
#include "modem/serial.h"
#include "modem/tap.h"

namespace callvane {

namespace {

// The line that send_jobs holds between jobs of one service: a modem on a
// serial device, or a network terminal.
struct connection {
  int fd = -1;
  const service* svc = nullptr;
  std::string device;
  bool network = false;

  bool open() const { return fd >= 0; }

  // Hangs up and releases the device; logs out first after a normal session.
  void close(bool log_out) {
    if (fd < 0) return;
    if (log_out && svc != nullptr) logout(fd, *svc);
    if (network) {
      close_net_line(fd);
    } else {
      hangup(fd);
      unlock_device(device);
    }
    *this = connection{};
  }
};

// What a search of the service's device list found.
struct opened_line {
  int fd = -1;
  std::string device;
  const modem* mdm = nullptr;
  bool network = false;
  // A network terminal was tried and did not answer: the line never came up.
  bool unreachable = false;
};

// Opens the first usable device of the service's list: modem names stand
// for their modem's device, anything else for itself.
opened_line open_service_device(const service& svc) {
  opened_line line;
  if (!svc.device) return line;
  std::optional<std::string_view> state = std::string_view(*svc.device);
  std::string entry;
  while (next_token(state, ",", entry)) {
    const modem* m = lookup(modems, entry);
    std::string path = m != nullptr && m->device ? *m->device : entry;
    std::string why;
    std::optional<net_device> where;
    if (m != nullptr && is_net_device(path)) where = parse_net_device(path, why);
    int fd = -1;
    if (where) {
      fd = open_net_line(*m, *where);
      if (fd < 0) line.unreachable = true;
    } else if (!path.empty() && path[0] == '/') {
      fd = open_device(path);
    } else {
      logmsg(LOG_ERR, "%s: no such modem", path.c_str());
    }
    if (fd >= 0) {
      // A partial line left over from another device is no part of this one.
      reset_packet_buffer();
      line.fd = fd;
      line.device = path;
      line.mdm = m;
      line.network = where.has_value();
      return line;
    }
  }
  return line;
}

}  // namespace

void job_list::insert(const job& j) {
  jobs_.emplace(key{j.service->name, j.rcpt->servicelevel, j.page->created}, j);
}

job job_list::pop_front() {
  job j = jobs_.begin()->second;
  jobs_.erase(jobs_.begin());
  return j;
}

struct pager* job_list::raw_pager(const std::string& id) {
  raw_pagers_.push_front(pager{id, std::nullopt, id, nullptr});
  return &raw_pagers_.front();
}

void send_jobs(job_list& jobs) {
  connection line;
  while (!jobs.empty()) {
    job j = jobs.pop_front();
    rcpt& r = *j.rcpt;
    const service& svc = *j.service;
    // A transfer whose status is unknown is tried once more on a new call.
    for (bool retried = false;;) {
      r.tries++;
      r.lasttry = time(nullptr);
      r.flags &= ~F_OUTCOME_MASK;

      if (!line.open() || line.svc != &svc) {
        if (verbose()) logmsg(LOG_DEBUG, "new service: %s", svc.name.c_str());
        line.close(true);
        opened_line found = open_service_device(svc);
        if (found.fd < 0) {
          // A terminal that did not answer counts as a call without carrier.
          if (found.unreachable) {
            r.goodtries++;
            r.flags |= F_NOCARRIER;
          } else {
            r.flags |= F_NOMODEM;
          }
          break;
        }
        connection fresh{found.fd, &svc, found.device, found.network};
        if (found.network) logmsg(LOG_INFO, "connected to remote, service=%s", svc.name.c_str());
        if (!found.network && setup_line(found.fd, svc) < 0) {
          close_line(found.fd);
          unlock_device(found.device);
          r.flags |= F_NOMODEM;
          break;
        }
        unsigned result =
            found.network ? terminal_login(found.fd, svc) : modem_connect(found.fd, svc, found.mdm);
        if (result != 0) {
          // Busy numbers and missing modems never count against maxtries.
          if (result != F_BUSY && result != F_NOMODEM) r.goodtries++;
          r.flags |= result;
          fresh.close(false);
          break;
        }
        line = std::move(fresh);
      }

      r.goodtries++;
      int outcome = transfer(line.fd, j);
      if (outcome == 0) {
        r.flags |= F_SENT;
        break;
      }
      if (outcome < 0) {
        r.flags |= F_REJECT;
        break;
      }
      // Status unknown: the remote hung up; no logout on a dead line.
      line.close(false);
      r.flags |= F_FORCED;
      if (retried) break;
      retried = true;
    }
  }
  line.close(true);
}

}  // namespace callvane
