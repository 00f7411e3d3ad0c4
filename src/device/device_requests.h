// The device interface's requests as two tables, one row per signal: the
// command it runs (composed from the request's payload), the text logged
// when it fails, and how the answer comes back (the command's exit code or
// output, an event in the queue, or one of the interface's tasks).
#pragma once

#include "device/device_tasks.h"
#include "device/os_timer_manager_windows.h"
#include "device/session_task.h"
#include "signals.h"

#include <functional>
#include <future>

namespace ostrel {

// What a request may act on besides the command it runs. Owned by the
// device interface, which outlives every task started through it.
struct device_context {
  session_task& activity;
  session_task& dim;
  os_timer_manager_windows& video_timers;
  queue_source queue;
  // The one place background work starts (the interface's start_task).
  std::function<std::future<void>(std::function<void()>)> start_task;
};

// A command for the desktop: true when it was carried out. A payload of the
// wrong type throws std::bad_any_cast.
bool send_request(device_context& device, const output_signal_package& package);
// A query or watcher: its answer, or true when it was started. A payload of
// the wrong type throws std::bad_any_cast.
bool query_request(device_context& device, const input_signal_package& package);

}  // namespace ostrel
