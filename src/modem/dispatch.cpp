// Job lists and per-service delivery through the delivery seam.
#include "modem/dispatch.h"

#include <algorithm>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "modem/line.h"
#include "modem/serial.h"

namespace callvane {

bool service_call::call::open_for(const service& s) const { return line && svc == &s; }

void service_call::call::end(bool log_out) {
  if (!line) return;
  if (log_out) line->log_out();
  line->close();
  *this = call{};
}

namespace {

// Opens the first usable device of the service's list. Without one,
// `failure` names why: a terminal that did not answer, or no modem.
std::unique_ptr<delivery_line> open_service_line(const service& svc, unsigned& failure) {
  failure = F_NOMODEM;
  if (!svc.device) return nullptr;
  std::optional<std::string_view> state = std::string_view(*svc.device);
  std::string entry;
  while (next_token(state, ",", entry)) {
    std::unique_ptr<delivery_line> line = make_line(svc, entry);
    if (!line) continue;
    if (line->open()) {
      // A partial line left over from another device is no part of this one.
      reset_packet_buffer();
      return line;
    }
    if (line->open_failure() != F_NOMODEM) failure = line->open_failure();
  }
  return nullptr;
}

// Busy numbers and missing modems never count against maxtries.
void record_failure(rcpt& r, unsigned flag) {
  if (flag != F_BUSY && flag != F_NOMODEM) r.goodtries++;
  r.flags |= flag;
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

bool service_call::deliver(const job& j, bool untouched_without_line) {
  rcpt& r = *j.rcpt;
  const service& svc = *j.service;
  if (untouched_without_line && !current_.open_for(svc)) {
    unsigned failure = 0;
    std::unique_ptr<delivery_line> line = open_service_line(svc, failure);
    if (!line) return false;
    current_.end(true);
    opened_ = call{std::move(line), &svc};
  }
  // A transfer whose status is unknown is tried once more on a new call.
  for (bool retried = false;;) {
    r.tries++;
    r.lasttry = time(nullptr);
    r.flags &= ~F_OUTCOME_MASK;

    if (!current_.open_for(svc)) {
      if (verbose()) logmsg(LOG_DEBUG, "new service: %s", svc.name.c_str());
      current_.end(true);
      unsigned failure = 0;
      call fresh =
          opened_.open_for(svc) ? std::move(opened_) : call{open_service_line(svc, failure), &svc};
      opened_ = call{};
      if (!fresh.line) {
        record_failure(r, failure);
        break;
      }
      if (unsigned result = fresh.line->log_in(); result != 0) {
        record_failure(r, result);
        fresh.end(false);
        break;
      }
      current_ = std::move(fresh);
    }

    r.goodtries++;
    job_outcome outcome = current_.line->send(j);
    if (outcome.what == job_outcome::delivered) {
      r.flags |= F_SENT;
      break;
    }
    if (outcome.what == job_outcome::refused) {
      r.flags |= F_REJECT;
      // The queue run gives up on a recipient whose tries are used up.
      if (outcome.final) r.goodtries = std::max(r.goodtries, svc.maxtries);
      break;
    }
    if (outcome.what == job_outcome::failed) {
      r.flags |= outcome.flag;
      if (!outcome.line_usable) current_.end(false);
      break;
    }
    // Status unknown: the remote hung up; no logout on a dead line.
    current_.end(false);
    r.flags |= F_FORCED;
    if (retried) break;
    retried = true;
  }
  return true;
}

void service_call::hang_up() {
  current_.end(true);
  opened_.end(false);
}

service_call::service_call() = default;
service_call::~service_call() { hang_up(); }

void send_jobs(job_list& jobs) {
  service_call current;
  while (!jobs.empty()) current.deliver(jobs.pop_front(), false);
  current.hang_up();
}

}  // namespace callvane
