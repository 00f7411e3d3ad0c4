// What a process running the service on the simulated laptop holds: the simulation's open kernel handles, its
// Sensor API objects and armed registry notifications, the process's
// threads, the daemon children still running, memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace nolvane_sim {

struct resources {
  size_t handles = 0;
  size_t sensor_objects = 0;
  size_t registry_notifications = 0;
  size_t threads = 0;
  size_t children = 0;
  size_t resident_kib = 0;
  size_t resident_anon_kib = 0;  // of it: the process's own pages (heap, stacks, allocator arenas)
  size_t resident_file_kib = 0;  // of it: program and library pages read in
  size_t heap_in_use_kib = 0;  // what the allocator has handed out and not had back
};

resources measure_now();

// The process at rest: the least of each count seen over `window`. The
// service's background work (a pause-condition poll every 2 s runs a daemon
// child, a sensor report comes every second) holds some for moments; a
// window longer than its period sees the counts between them.
resources measure_at_rest(std::chrono::milliseconds window);

std::string mib(size_t kib);

}  // namespace nolvane_sim
