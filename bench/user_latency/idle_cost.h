// What the service costs while the user sits in front of the screen: the
// process's CPU time over a window of rest, without what the simulation's
// own threads and the driver spent, and what its daemon children cost.
#pragma once

#include <chrono>
#include <cstddef>

namespace user_latency {

struct idle_cost {
  double minutes = 0;  // the window
  double service_cpu_s = 0;     // per minute, from here on
  double simulation_cpu_s = 0;  // the simulated OS's threads (display physics, process reapers)
  double driver_cpu_s = 0;      // the calling thread
  double children_cpu_s = 0;    // the daemon runs, user and system time
  double children = 0;          // daemon runs started
};

// Rests for `window` on the calling thread (the driver) and accounts for
// what the process and its children did meanwhile.
idle_cost measure_idle(std::chrono::seconds window);

}  // namespace user_latency
