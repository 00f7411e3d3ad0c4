// The body of nolvane_service's program entry: registers the trace provider,
// hands this thread to the service control dispatcher, and cleans up after.
#pragma once

namespace ostrel {

// 0 when the dispatcher returned normally, 1 on any failure (the reason goes
// to the event log).
int run_service_program();

}  // namespace ostrel
