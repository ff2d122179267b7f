// Building the page and job records that tests hand to the code under test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/page.h"
#include "config/config.h"
#include "queue/jobs.h"

namespace testsupport {

// A recipient for `pager` at service level `level`, otherwise fresh.
callvane::rcpt recipient(const std::string& pager, int level = 1);

// A page to `pagers` (the list head first) created at `created`.
callvane::page make_page(const std::vector<std::string>& pagers, const std::string& message,
                         int64_t created, std::optional<std::string> from = std::nullopt,
                         std::optional<std::string> messageid = std::nullopt);

// One job and all it points to: service acme, pager alice (1234567) on it,
// and a page from alice@example.org with the id AbCd001.
struct job_parts {
  job_parts();
  job_parts(const job_parts&) = delete;
  job_parts& operator=(const job_parts&) = delete;

  callvane::service svc;
  callvane::pager pgr;
  callvane::rcpt r;
  callvane::page pg;
  callvane::job j;
};

}  // namespace testsupport
