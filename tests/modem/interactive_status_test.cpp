// The exit status of callvane -i tells whether every recipient got the page.
#include <gtest/gtest.h>

#include "queue/spool_fixture.h"
#include "support/pty_sim.h"
#include "support/support.h"

using testsupport::pty_sim;
using testsupport::run_callvane;

namespace {

struct status_case {
  const char* recipients;
  size_t blocks;
  int status;
};

TEST(InteractiveStatus, ZeroOnlyWhenEveryRecipientWasDelivered) {
  const std::vector<status_case> cases{
      {"alice,bob", 2, 0},
      {"alice,nobody", 1, 1},
      {"nobody", 0, 1},
  };
  for (const status_case& c : cases) {
    spooltest::spool s;
    pty_sim sim;
    testsupport::run_options opts;
    opts.limit = std::chrono::seconds(60);
    auto r = run_callvane({"-i", "-C", s.config(sim.device()), "-f", "", "-p", c.recipients, "hi"},
                          opts);
    EXPECT_EQ(r.status, c.status) << c.recipients << "\n" << r.out << r.err;
    EXPECT_EQ(sim.events("block").size(), c.blocks) << c.recipients << "\n" << sim.record();
  }
}

}  // namespace
