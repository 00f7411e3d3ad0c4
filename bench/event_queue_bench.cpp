// Throughput of the event queue: producers push, the consumer thread
// delivers through the callback, as the service's threads do.
#include "events/event_queue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

void push_and_deliver(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int per_producer = 100000 / producers;
  const int total = per_producer * producers;
  for (auto _ : state) {
    ostrel::event_queue queue;
    std::atomic<int> delivered{0};
    queue.set_event_callback([&](ostrel::events_t e) {
      benchmark::DoNotOptimize(e);
      if (delivered.fetch_add(1, std::memory_order_relaxed) + 1 == total) queue.add_event(ostrel::QUIT);
    });
    std::thread consumer([&] { queue.process_events(); });
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&queue, per_producer] {
        for (int i = 0; i < per_producer; ++i) queue.add_event(ostrel::PROXIMITY_FAR);
      });
    }
    for (auto& t : threads) t.join();
    consumer.join();
  }
  state.SetItemsProcessed(state.iterations() * total);
}

}  // namespace

BENCHMARK(push_and_deliver)->Arg(1)->Arg(4)->ArgName("producers")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
