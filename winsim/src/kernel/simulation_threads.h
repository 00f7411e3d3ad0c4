// Internal to winsim: the simulation's own threads (the simulated OS and
// hardware at work) are marked, so that what they cost is not taken for the
// cost of the program that runs on the simulated laptop.
#pragma once

namespace winsim::detail {

// Marks the calling thread as one of the simulation's own for the life of
// the object; create it first thing in the thread's function.
class simulation_thread {
 public:
  simulation_thread();
  ~simulation_thread();
  simulation_thread(const simulation_thread&) = delete;
  simulation_thread& operator=(const simulation_thread&) = delete;
};

}  // namespace winsim::detail
