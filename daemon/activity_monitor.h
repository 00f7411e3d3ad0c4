// Waits for keyboard or mouse input: the service runs this in a loop while
// the user is away and takes each end as the user being active.
#pragma once

namespace ostrel::daemon {

// Returns the exit code: 0 after input ("Got activity" on standard output),
// 1 when the input information cannot be read.
int monitor_activity();

}  // namespace ostrel::daemon
