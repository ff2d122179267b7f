// What one queue run did, for the counters and the record of finished pages.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/page.h"

namespace callvane {

// Made once the run has read its pages, before any is tried; finish() after
// every page has been written back.
class run_record {
 public:
  explicit run_record(const std::vector<std::unique_ptr<page>>& pages);
  // Counts the tries and outcomes of this run and records the pages that
  // left the queue.
  void finish();

 private:
  struct before {
    const rcpt* r;
    int32_t tries;
    bool finished;
  };
  const std::vector<std::unique_ptr<page>>& pages_;
  std::vector<before> before_;
};

}  // namespace callvane
