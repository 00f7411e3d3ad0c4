// Process-wide flags shared by the service host, the control handler, the
// state machines and the engine runner. Written and read on different
// threads, hence atomic.
#pragma once

#include <atomic>
#include <condition_variable>

namespace ostrel {

extern std::atomic<bool> stop_requested;
extern std::atomic<bool> reload_requested;
extern std::atomic<bool> display_on;
extern std::atomic<bool> plugged_in;
extern std::atomic<bool> debug_mode;
// Woken (notify all) on STOP and when the service gives up, to end the
// delayed-start wait early.
extern std::condition_variable start_delay_wait;

}  // namespace ostrel
