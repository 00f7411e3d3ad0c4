// What the simulation's own threads in this process cost: the display
// physics, the reapers that wait for child processes, and any other thread
// that stands for the operating system or the hardware. A measurement of the
// program on the simulated laptop takes this off the process's CPU time.
#pragma once

#include <chrono>

namespace winsim::machine {

// CPU time (user and system) of the simulation's own threads in this
// process since it started, those that have ended included.
std::chrono::nanoseconds simulation_cpu_time();

}  // namespace winsim::machine
