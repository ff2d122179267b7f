// Counts of pages taken in and of delivery outcomes, shared by the daemon's children.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace callvane {

enum class intake { snpp, http };

// Makes the counters shared with every process forked from here on (the
// daemon calls it before it serves anything). Without it each process
// counts for itself alone.
void share_counters();

void count_accepted(intake from);
void count_outcome(bool delivered);
void count_try(const std::string& service);
void note_queue_run(int64_t when);

struct counter_values {
  uint64_t accepted_snpp = 0;
  uint64_t accepted_http = 0;
  uint64_t delivered = 0;
  uint64_t failed = 0;
  int64_t last_run = 0;                                 // 0: none yet
  std::vector<std::pair<std::string, uint64_t>> tries;  // by service
};

counter_values read_counters();

}  // namespace callvane
