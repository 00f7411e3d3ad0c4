#include "common/process_flags.h"

namespace ostrel {

std::atomic<bool> stop_requested{false};
std::atomic<bool> reload_requested{false};
std::atomic<bool> display_on{true};
std::atomic<bool> plugged_in{true};
std::atomic<bool> debug_mode{false};
std::condition_variable start_delay_wait;

}  // namespace ostrel
