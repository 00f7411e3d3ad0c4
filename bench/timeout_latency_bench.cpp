// How late the state machines' timers fire: a bare `timeout` of 50 ms, and
// TIMEOUT_DIM_SCREEN as the running machine's consumer thread receives it
// after entering USER_ABSENT with time_to_dim_ms = 50. Each reports the
// median and the 99th percentile lateness over 200 firings, in milliseconds.
#include "events/event_queue.h"
#include "state_machines/nolvane/running_state_machine.h"
#include "state_machines/nolvane/timeout.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int firings = 200;
constexpr int timer_ms = 50;

double ms_between(clock_type::time_point from, clock_type::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void report(benchmark::State& state, std::vector<double> lateness) {
  std::sort(lateness.begin(), lateness.end());
  const size_t n = lateness.size();
  state.counters["median_late_ms"] = lateness[n / 2];
  state.counters["p99_late_ms"] = lateness[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
  state.counters["max_late_ms"] = lateness.back();
  state.counters["firings"] = static_cast<double>(n);
}

// A latch the firing side opens once.
struct latch {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  void set() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return open; });
    open = false;
  }
};

void timeout_lateness(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> lateness;
    for (int i = 0; i < firings; ++i) {
      latch fired;
      clock_type::time_point at;
      const auto start = clock_type::now();
      timeout t(timer_ms, [&] {
        at = clock_type::now();
        fired.set();
      });
      fired.wait();
      lateness.push_back(ms_between(start, at) - timer_ms);
    }
    report(state, lateness);
  }
}
BENCHMARK(timeout_lateness)->Iterations(1)->Unit(benchmark::kMillisecond);

// Answers every query with "nothing pauses" and every command with success.
class quiet_device : public ostrel::device_interface {
 public:
  bool set_event_queue(std::shared_ptr<ostrel::event_queue>) override { return true; }
  bool send_command(const ostrel::output_signal_package&) override { return true; }
  bool register_callback(const ostrel::input_signal_package& p) override {
    return p.signal != ostrel::input_signal::IS_DISPLAY_REQUIRED &&
           p.signal != ostrel::input_signal::HAS_EXTERNAL_DISPLAY;
  }
  std::optional<std::any> get_data(const ostrel::input_signal_package&) override { return std::nullopt; }
  void teardown() override {}
  void user_activity_teardown() override {}
  void dim_screen_teardown() override {}
};

void dim_timeout_lateness(benchmark::State& state) {
  for (auto _ : state) {
    auto device = std::make_shared<quiet_device>();
    auto engine = std::make_shared<ostrel::engine_callback_interface>();
    engine->engine_state_cb = [](bool) { return true; };
    auto queue = std::make_shared<ostrel::event_queue>();
    ostrel::sm_config config;
    config.time_to_dim_ms = timer_ms;
    config.dim_duration_ms = 60000;

    std::unique_ptr<ostrel::running_state_machine> machine;
    latch present, dim_received;
    clock_type::time_point absent_at, dim_at;
    // The service's wiring: one consumer thread hands each event to the machine.
    queue->set_event_callback([&](ostrel::events_t e) {
      const auto now = clock_type::now();
      if (e == ostrel::PROXIMITY_FAR) absent_at = now;
      if (e == ostrel::TIMEOUT_DIM_SCREEN) dim_at = now;
      machine->handle_incoming_event(e);
      if (e == ostrel::START_SENSOR || e == ostrel::PROXIMITY_NEAR) present.set();
      if (e == ostrel::TIMEOUT_DIM_SCREEN) dim_received.set();
    });
    machine = std::make_unique<ostrel::running_state_machine>(config, device, engine, queue);
    std::thread consumer([&] { queue->process_events(); });
    present.wait();  // the first pause-condition poll brought it to USER_PRESENT

    std::vector<double> lateness;
    for (int i = 0; i < firings; ++i) {
      queue->add_event(ostrel::PROXIMITY_FAR);
      dim_received.wait();
      lateness.push_back(ms_between(absent_at, dim_at) - timer_ms);
      queue->add_event(ostrel::PROXIMITY_NEAR);  // DIMMING -> USER_PRESENT
      present.wait();
    }
    queue->add_event(ostrel::QUIT);
    consumer.join();
    machine.reset();
    report(state, lateness);
  }
}
BENCHMARK(dim_timeout_lateness)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
