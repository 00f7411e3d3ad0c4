// The CPU time of the simulation's own threads: live ones are read through
// their CPU clocks, ended ones leave their total behind.
#include "kernel/simulation_threads.h"

#include <winsim/machine_threads.h>

#include <pthread.h>
#include <time.h>

#include <map>
#include <mutex>

namespace winsim::detail {
namespace {

struct simulation_threads {
  std::mutex mutex;
  std::map<pthread_t, clockid_t> live;
  std::chrono::nanoseconds ended{0};
};

simulation_threads& threads() {
  static auto* t = new simulation_threads;
  return *t;
}

std::chrono::nanoseconds cpu_time(clockid_t clock) {
  timespec used{};
  if (::clock_gettime(clock, &used) != 0) return std::chrono::nanoseconds(0);
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

}  // namespace

simulation_thread::simulation_thread() {
  clockid_t clock{};
  if (::pthread_getcpuclockid(::pthread_self(), &clock) != 0) return;
  auto& t = threads();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.live[::pthread_self()] = clock;
}

simulation_thread::~simulation_thread() {
  auto& t = threads();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.live.erase(::pthread_self()) == 0) return;
  t.ended += cpu_time(CLOCK_THREAD_CPUTIME_ID);
}

}  // namespace winsim::detail

namespace winsim::machine {

std::chrono::nanoseconds simulation_cpu_time() {
  auto& t = detail::threads();
  // Under the lock a registered thread cannot end, so its clock stays valid.
  std::lock_guard<std::mutex> lock(t.mutex);
  auto total = t.ended;
  for (const auto& [thread, clock] : t.live) total += detail::cpu_time(clock);
  return total;
}

}  // namespace winsim::machine
