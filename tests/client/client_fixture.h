// The fixture of the SNPP client tests: pages submitted in-process or by the program.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "common/settings.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace clienttest {

using namespace callvane;

inline page make_page(const std::string& message, std::vector<rcpt> rcpts,
                      std::optional<std::string> from = std::nullopt) {
  page p;
  p.message = message;
  p.from = std::move(from);
  for (auto& r : rcpts) p.rcpts.push_back(std::move(r));
  return p;
}

inline rcpt to(const std::string& pager) {
  rcpt r;
  r.pager = pager;
  return r;
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
    saved_timeout_ = reply_timeout;
    saved_debug_ = debug;
  }
  void TearDown() override {
    reply_timeout = saved_timeout_;
    debug = saved_debug_;
    unlink("/usr/local/etc/callvane.servers");
  }

  struct outcome {
    int result;
    std::string out;
    std::string err;
  };

  static outcome submit(page& p, const std::string& servers) {
    testsupport::capture_fd out(1), err(2);
    int result = submit_page(p, servers);
    fflush(stdout);
    return {result, out.finish(), err.finish()};
  }

  // The client program from outside, with no SNPP_SERVER around (and no
  // SNPP_LOGIN unless the test sets one).
  static testsupport::run_result client(const std::vector<std::string>& args,
                                        testsupport::run_options opts = {}) {
    opts.env.emplace("SNPP_SERVER", std::nullopt);
    opts.env.emplace("SNPP_LOGIN", std::nullopt);
    return testsupport::run_callvane(args, opts);
  }

 private:
  std::chrono::milliseconds saved_timeout_{};
  int saved_debug_ = 0;
};

}  // namespace clienttest
