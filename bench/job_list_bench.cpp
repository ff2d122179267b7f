// Building and draining a job list of a large queue must stay O(n log n).
#include <benchmark/benchmark.h>

#include <list>
#include <string>

#include "config/config.h"
#include "modem/dispatch.h"

using namespace callvane;

static void BM_JobListInsertAndDrain(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::list<service> svcs;
  for (int s = 0; s < 20; s++) {
    svcs.push_front(service{});
    svcs.front().name = std::to_string(s * 7919 % 20);
  }
  std::list<page> pages;
  for (int i = 0; i < count; i++) {
    pages.emplace_back();
    pages.back().created = 1000000 + (i * 7919) % count;
    rcpt r;
    r.pager = std::to_string(i);
    r.servicelevel = i % 3;
    pages.back().rcpts.push_front(r);
  }
  pager pgr{"p", std::nullopt, "1", nullptr};
  for (auto _ : state) {
    job_list jobs;
    auto svc = svcs.begin();
    for (page& p : pages) {
      jobs.insert(job{&p, &p.rcpts.front(), &*svc, &pgr});
      if (++svc == svcs.end()) svc = svcs.begin();
    }
    while (!jobs.empty()) benchmark::DoNotOptimize(jobs.pop_front());
  }
  state.SetComplexityN(count);
}
BENCHMARK(BM_JobListInsertAndDrain)->RangeMultiplier(10)->Range(1000, 1000000)->Complexity(benchmark::oNLogN);
