// One daemon query round trip as the device interface makes it: winprocess
// starts the built daemon with --get_brightness on the simulated laptop,
// waits for its exit and reads its output. Reports the median and the 99th
// percentile over 200 runs, in milliseconds.
#include "device/session_commands.h"

#include <benchmark/benchmark.h>
#include <winsim/machine.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int runs = 200;

void daemon_query_round_trip(benchmark::State& state) {
  winsim::machine::scoped_machine machine;
  winsim::machine::set_lcd_brightness(64, 64);
  for (auto _ : state) {
    std::vector<double> took;
    for (int i = 0; i < runs; ++i) {
      const auto start = clock_type::now();
      ostrel::get_brightness query;
      std::string output;
      const bool ran = query.execute(&output);
      took.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
      if (!ran || query.exit_code() != 0 || output != "64") {
        state.SkipWithError("the daemon query did not answer 64");
        return;
      }
    }
    std::sort(took.begin(), took.end());
    state.counters["median_ms"] = took[runs / 2];
    state.counters["p99_ms"] = took[(runs * 99 + 99) / 100 - 1];
    state.counters["max_ms"] = took.back();
    state.counters["runs"] = runs;
  }
}

BENCHMARK(daemon_query_round_trip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
