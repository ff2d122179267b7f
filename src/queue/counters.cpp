// Counts of pages taken in and of delivery outcomes, shared by the daemon's children.
#include "queue/counters.h"

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>

namespace callvane {

namespace {

// Services are counted by name in a fixed table, so that it can live in
// memory shared across fork; services beyond it share the last row.
constexpr size_t SERVICE_ROWS = 64;
constexpr size_t SERVICE_NAME_BYTES = 64;
constexpr const char* OTHER_SERVICES = "[other]";

struct service_row {
  char name[SERVICE_NAME_BYTES];
  std::atomic<uint64_t> tries;
};

struct counter_table {
  std::atomic<uint64_t> accepted_snpp{0};
  std::atomic<uint64_t> accepted_http{0};
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<int64_t> last_run{0};
  // Rows in use; a row's name is written before the row is published. Only
  // queue runs add rows, and they hold the queue lock, so one writer.
  std::atomic<size_t> rows{0};
  service_row services[SERVICE_ROWS];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

counter_table local_table;
counter_table* table = &local_table;

service_row& row_for(const std::string& service) {
  size_t used = table->rows.load(std::memory_order_acquire);
  const std::string name = service.size() < SERVICE_NAME_BYTES ? service : OTHER_SERVICES;
  for (size_t i = 0; i < used; i++)
    if (name == table->services[i].name) return table->services[i];
  if (used == SERVICE_ROWS) return table->services[SERVICE_ROWS - 1];
  service_row& row = table->services[used];
  // The last free row collects every service that comes after it.
  const std::string& stored = used == SERVICE_ROWS - 1 ? std::string(OTHER_SERVICES) : name;
  strncpy(row.name, stored.c_str(), SERVICE_NAME_BYTES - 1);
  table->rows.store(used + 1, std::memory_order_release);
  return row;
}

}  // namespace

void share_counters() {
  if (table != &local_table) return;
  void* shared = mmap(nullptr, sizeof(counter_table), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  // Without it the counts stay each process's own: /metrics shows less.
  if (shared == MAP_FAILED) return;
  table = new (shared) counter_table();
}

void count_accepted(intake from) {
  (from == intake::snpp ? table->accepted_snpp : table->accepted_http).fetch_add(1);
}

void count_outcome(bool delivered) { (delivered ? table->delivered : table->failed).fetch_add(1); }

void count_try(const std::string& service) { row_for(service).tries.fetch_add(1); }

void note_queue_run(int64_t when) { table->last_run.store(when); }

counter_values read_counters() {
  counter_values v;
  v.accepted_snpp = table->accepted_snpp.load();
  v.accepted_http = table->accepted_http.load();
  v.delivered = table->delivered.load();
  v.failed = table->failed.load();
  v.last_run = table->last_run.load();
  size_t used = table->rows.load(std::memory_order_acquire);
  for (size_t i = 0; i < used; i++)
    v.tries.emplace_back(table->services[i].name, table->services[i].tries.load());
  return v;
}

}  // namespace callvane
