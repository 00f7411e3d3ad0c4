// The bodies of the device interface's two background tasks: the
// user-activity watcher and the dim overlay. Each runs on the thread its
// session_task owns and ends when that task's cancel event is set.
#pragma once

#include "device/os_timer_manager_windows.h"
#include "device/session_task.h"
#include "events/event_queue.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace ostrel {

// The queue the device interface currently has (null before it has one).
using queue_source = std::function<std::shared_ptr<event_queue>()>;

// Runs one activity monitor after another until `task` stops. Any end of a
// monitor counts as activity: the OS video time-outs are restored, the
// display is kept on and USER_IS_ACTIVE goes into the queue.
void watch_user_activity(const session_task& task, os_timer_manager_windows& video_timers, const queue_source& queue);

// Shows the dim overlay for `timeout_ms`, or until `cancel_event` is set.
void show_dim_overlay(uint64_t timeout_ms, HANDLE cancel_event);

}  // namespace ostrel
