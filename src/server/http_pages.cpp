// Pages from HTTP requests: queued as SNPP queues them, and their state by id.
#include "server/http_pages.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/page.h"
#include "common/sendtime.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"
#include "config/groups.h"
#include "queue/counters.h"
#include "queue/history.h"
#include "queue/queuefile.h"
#include "server/session.h"

namespace callvane {

namespace {

using json = nlohmann::json;

// A page whose services say nothing of their size is cut to this.
constexpr size_t DEFAULT_PAGE_TEXT = 80;

http_answer refused(const char* field, const std::string& reason) {
  return {HTTP_BAD_REQUEST, error_json({field, reason})};
}

// As a session asks: only the daemon runs the queue.
void request_queue_run() {
  if (synchronous && daemon_pid != 0 && getppid() == daemon_pid) kill(daemon_pid, SIGUSR1);
}

// Adds each name as PAGEr does; the refusal, if any.
std::optional<http_answer> add_all(page& p, const std::vector<std::string>& to,
                                   const service* coverage, int64_t hold, int32_t level) {
  for (const std::string& name : to) {
    if (p.rcpts.size() >= MAX_PAGE_RECIPIENTS) return refused("to", "too many recipients");
    int result = add_recipient(p, name, coverage, hold, level);
    if (result == 1) return refused("to", "no group members on duty: " + name);
    if (result != 0) return refused("to", "invalid pager ID: " + name);
  }
  return std::nullopt;
}

// Writes the page as SEND does: on disk under its queue name, or nothing.
http_answer store(page& p, const http_origin& origin) {
  p.created = time(nullptr);
  p.messageid = origin.id;
  p.hostname = origin.host;
  logmsg(LOG_ALERT, "page submitted over HTTP, id=%s, from=%s", origin.id.c_str(),
         p.from ? safe_string(*p.from) : "[anonymous]");
  if (!queuedir || chdir(queuedir->c_str()) != 0 || write_new_page(p) != 1) {
    logmsg(LOG_ALERT, "write_page() failed for id=%s", origin.id.c_str());
    return {HTTP_UNAVAILABLE, error_json({"body", "cannot write queue file"})};
  }
  count_accepted(intake::http);
  request_queue_run();
  return {HTTP_ACCEPTED, json{{"id", origin.id}}.dump()};
}

// The largest text every recipient's service takes in one page.
size_t text_room(const page& p) {
  size_t room = 0;
  for (const rcpt& r : p.rcpts) {
    const service* s = service_of(r);
    if (s == nullptr || s->maxmsgsize <= 0) continue;
    size_t size = static_cast<size_t>(s->maxmsgsize);
    room = room == 0 ? size : std::min(room, size);
  }
  return room == 0 ? DEFAULT_PAGE_TEXT : room;
}

// `created`: when the page was queued, the time a recipient without a hold
// is due from.
json queued_state(const rcpt& r, int64_t created) {
  json one = {{"pager", r.pager}, {"tries", r.tries}};
  if (r.flags & F_SENT) {
    one["state"] = "delivered";
  } else if (r.flags & F_FAILED) {
    one["state"] = "failed";
  } else {
    one["state"] = "queued";
    // Every queue run from this time on tries the recipient.
    one["due"] = r.holduntil != 0 ? r.holduntil : created;
  }
  if (r.lasttry != 0) one["lasttry"] = r.lasttry;
  return one;
}

// The queued (or set aside) page with this id, if any.
std::unique_ptr<page> find_queued(const std::string& id) {
  DIR* dir = opendir(".");
  if (dir == nullptr) return nullptr;
  std::unique_ptr<page> found;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != PENDING_PREFIX && entry->d_name[0] != BAD_PREFIX) continue;
    std::unique_ptr<page> p = read_page(entry->d_name);
    if (p && p->messageid == id) {
      found = std::move(p);
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

http_answer queue_page_request(const page_request& req, const http_origin& origin) {
  const service* coverage = nullptr;
  if (req.coverage) {
    coverage = lookup(services, *req.coverage);
    if (coverage == nullptr) return refused("coverage", "invalid alternate region");
  }
  int64_t hold = req.hold ? parse_holduntil(*req.hold) : 0;
  if (hold == -1) return refused("hold", "invalid delivery date/time");
  page p;
  if (auto no = add_all(p, req.to, coverage, hold, req.level)) return *no;
  p.message = req.message;
  p.from = req.from;
  return store(p, origin);
}

http_answer queue_notification(const notification& n, const std::vector<std::string>& to,
                               const http_origin& origin) {
  page p;
  if (auto no = add_all(p, to, nullptr, 0, 1)) return *no;
  p.message = pager_text(n, text_room(p));
  return store(p, origin);
}

http_answer page_status(const std::string& id) {
  if (!queuedir || chdir(queuedir->c_str()) != 0)
    return {HTTP_UNAVAILABLE, error_json({"id", "spool not available"})};
  json out = {{"id", id}};
  json recipients = json::array();
  if (std::unique_ptr<page> p = find_queued(id)) {
    bool bad = p->filename && (*p->filename)[0] == BAD_PREFIX;
    out["state"] = bad ? "failed" : "queued";
    for (const rcpt& r : p->rcpts) recipients.push_back(queued_state(r, p->created));
  } else if (std::optional<finished_page> f = find_finished(id)) {
    out["state"] = "finished";
    out["finished"] = f->finished;
    for (const finished_recipient& r : f->recipients)
      recipients.push_back({{"pager", r.pager},
                            {"state", r.delivered ? "delivered" : "failed"},
                            {"tries", r.tries}});
  } else {
    return {HTTP_NOT_FOUND, error_json({"id", "no such page"})};
  }
  out["recipients"] = std::move(recipients);
  return {HTTP_OK, out.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace callvane
