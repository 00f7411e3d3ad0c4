// The service's reaction to the SCM's control requests and the system's
// session and power notifications: process-wide flags and events pushed
// into the current pass's event queue.
#pragma once

#include "events/event_queue.h"
#include "host/service_status.h"

#include <windows.h>

#include <memory>

namespace ostrel {

// Runs on the SCM's handler thread. Touches only the process-wide flags,
// start_delay_wait (notify only) and the queue's add_event. Returns 0 for
// every request and never throws.
DWORD service_control_handler(event_queue& queue, DWORD control, DWORD event_type, void* event_data);

// The control callback bound to one pass's queue; it keeps the queue alive.
// Throws std::invalid_argument for a null queue.
control_callback make_callback(std::shared_ptr<event_queue> queue);

// The name logged for a power-setting GUID ("Unknown GUID" for the rest).
const char* power_setting_name(const GUID& setting);

}  // namespace ostrel
