#include "idle_cost.h"

#include <winsim/machine.h>

#include <sys/resource.h>
#include <time.h>

#include <thread>

namespace user_latency {
namespace {

using std::chrono::nanoseconds;
using clock_type = std::chrono::steady_clock;

nanoseconds clock_time(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return std::chrono::seconds(t.tv_sec) + nanoseconds(t.tv_nsec);
}

nanoseconds children_time() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const auto of = [](const timeval& t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
  return of(usage.ru_utime) + of(usage.ru_stime);
}

struct reading {
  clock_type::time_point at;
  nanoseconds process;
  nanoseconds simulation;
  nanoseconds driver;
  nanoseconds children;
};

reading read_now() {
  return {clock_type::now(), clock_time(CLOCK_PROCESS_CPUTIME_ID), winsim::machine::simulation_cpu_time(),
          clock_time(CLOCK_THREAD_CPUTIME_ID), children_time()};
}

double seconds(nanoseconds n) { return std::chrono::duration<double>(n).count(); }

}  // namespace

idle_cost measure_idle(std::chrono::seconds window) {
  const reading before = read_now();
  // Sleeping, not polling: the driver stays out of the figure as far as it can.
  std::this_thread::sleep_for(window);
  const reading after = read_now();

  size_t started = 0;
  for (const auto& p : winsim::machine::processes()) started += p.started_at >= before.at ? 1 : 0;

  idle_cost c;
  c.minutes = std::chrono::duration<double>(after.at - before.at).count() / 60.0;
  const auto per_minute = [&c](double value) { return c.minutes > 0 ? value / c.minutes : 0; };
  const nanoseconds simulation = after.simulation - before.simulation;
  const nanoseconds driver = after.driver - before.driver;
  c.service_cpu_s = per_minute(seconds(after.process - before.process - simulation - driver));
  c.simulation_cpu_s = per_minute(seconds(simulation));
  c.driver_cpu_s = per_minute(seconds(driver));
  c.children_cpu_s = per_minute(seconds(after.children - before.children));
  c.children = per_minute(static_cast<double>(started));
  return c;
}

}  // namespace user_latency
