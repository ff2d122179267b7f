// Waiting for a condition with a deadline, the one polling loop of the tests.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Calls `done` until it returns true or `limit` has passed, sleeping `step`
// between calls; the last answer of `done`.
template <typename Done>
bool wait_until(Done done, std::chrono::milliseconds limit,
                std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(step);
  }
}

}  // namespace testsupport
