// The HTTP intake's /metrics: counts in the Prometheus text format.
#include "server/http_metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <memory>

#include "common/page.h"
#include "common/settings.h"
#include "queue/counters.h"
#include "queue/queuefile.h"

namespace callvane {

namespace {

// The spool is read at each scrape; past this many files the gauge stops
// counting rather than hold up the intake.
constexpr size_t MAX_SCANNED_FILES = 10000;

// A label value as the text format wants it.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, uint64_t value) {
  out += name + " " + std::to_string(value) + "\n";
}

// Recipients waiting in the spool for delivery.
uint64_t queued_recipients() {
  if (!queuedir || chdir(queuedir->c_str()) != 0) return 0;
  DIR* dir = opendir(".");
  if (dir == nullptr) return 0;
  uint64_t count = 0;
  size_t files = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != PENDING_PREFIX) continue;
    if (++files > MAX_SCANNED_FILES) break;
    if (std::unique_ptr<page> p = read_page(entry->d_name))
      for (const rcpt& r : p->rcpts) count += r.finished() ? 0 : 1;
  }
  closedir(dir);
  return count;
}

}  // namespace

std::string metrics_text() {
  counter_values v = read_counters();
  std::string out;
  family(out, "callvane_pages_accepted_total", "counter", "Pages queued, by intake.");
  sample(out, "callvane_pages_accepted_total{intake=\"snpp\"}", v.accepted_snpp);
  sample(out, "callvane_pages_accepted_total{intake=\"http\"}", v.accepted_http);
  family(out, "callvane_recipients_delivered_total", "counter",
         "Recipients whose page was delivered.");
  sample(out, "callvane_recipients_delivered_total", v.delivered);
  family(out, "callvane_recipients_failed_total", "counter",
         "Recipients given up on after their tries.");
  sample(out, "callvane_recipients_failed_total", v.failed);
  family(out, "callvane_recipients_queued", "gauge", "Recipients waiting in the spool.");
  sample(out, "callvane_recipients_queued", queued_recipients());
  family(out, "callvane_tries_total", "counter", "Delivery attempts, by service.");
  for (const auto& [service, tries] : v.tries)
    sample(out, "callvane_tries_total{service=\"" + label(service) + "\"}", tries);
  family(out, "callvane_last_queue_run_timestamp_seconds", "gauge",
         "When the latest queue run ended (0: none since the daemon started).");
  sample(out, "callvane_last_queue_run_timestamp_seconds", static_cast<uint64_t>(v.last_run));
  return out;
}

}  // namespace callvane
