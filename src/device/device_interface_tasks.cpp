// The device interface's two background tasks (user-activity watcher, dim
// overlay) and the operations that reset and tear them down. A task is
// always stopped the same way: set its cancel event (the runner then
// terminates the daemon), wait for the task, and only then reset or close
// the event, so a new run never sees it signalled.
#include "device/device_interface_windows.h"

#include "device/activity_backoff.h"
#include "events/event_queue.h"
#include "logging/trace_line.h"
#include "win_processes.h"

using ostrel::logging::log_level;
using ostrel::logging::scope_trace;
using ostrel::logging::trace_line;

namespace {

constexpr const char* tag = "runner";

void info(const char* message) { trace_line(log_level::info, tag) << message; }

ostrel::unique_event create_cancel_event() {
  return ostrel::unique_event(
      ::CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, /*lpName=*/nullptr));
}

}  // namespace

// What the task ended with is logged here: stopping a task never throws,
// and a teardown from the destructor never ends the service.
void demo_helpers_leave_windows::take_result(std::future<void>& task) {
  try {
    task.get();
  } catch (...) {
    log_current_exception();
  }
}

void demo_helpers_leave_windows::user_activity_watcher() {
  ostrel::activity_backoff backoff;
  bool warned = false;
  while (!stop_flag_) {
    // The daemon returns only when it has seen keyboard or mouse input.
    ostrel::monitor_activity monitor(activity_cancel_event_.get());
    if (!monitor.execute()) {
      trace_line(log_level::error, tag) << "ERROR: Failed to wait for activity\n";
      break;
    }
    report_activity();
    const auto pause = backoff.after_monitor(monitor.run_time());
    if (pause.count() > 0 && !warned) {
      warned = true;
      trace_line(log_level::error, tag) << "WARNING: Activity monitor keeps ending at once. Pausing before each "
                                        << "restart, up to " << ostrel::activity_backoff::longest_wait.count() / 1000
                                        << " s\n";
    }
    pause_watcher(pause);
  }
  info("Activity while loop done\n");
}

// Any end of a monitor counts as activity.
void demo_helpers_leave_windows::report_activity() {
  auto q = queue();
  if (!q || stop_flag_) return;
  if (video_timers_.reset_os_video_timers()) {
    if (!ostrel::stayin_alive().execute()) info("run display_required failed\n");
  } else {
    info("ua >> failed to reset video timers\n");
  }
  q->add_event(ostrel::USER_IS_ACTIVE);
}

// A stop sets the cancel event, which ends the pause at once.
void demo_helpers_leave_windows::pause_watcher(std::chrono::milliseconds pause) {
  if (pause.count() == 0 || stop_flag_) return;
  ::WaitForSingleObject(activity_cancel_event_.get(), static_cast<DWORD>(pause.count()));
}

void demo_helpers_leave_windows::dim_overlay(uint64_t timeout_ms) {
  trace_line(log_level::info, tag) << "timeout set to: " << timeout_ms;
  trace_line(log_level::info, tag) << "wait_timeout_ms set to: " << timeout_ms;
  ostrel::dim_screen_overlay overlay(timeout_ms, dim_cancel_event_.get());
  if (overlay.execute()) {
    info("Dim done\n");
  } else {
    trace_line(log_level::error, tag) << "ERROR: Failed to make dim overlay\n";
  }
}

void demo_helpers_leave_windows::user_activity_reset() {
  if (activity_task_.valid()) {
    info("Activity proc is active active. Stopping\n");
    stop_flag_ = true;
    if (activity_cancel_event_) {
      info("Setting activity event\n");
      ::SetEvent(activity_cancel_event_.get());
      info("Activty Waiting\n");
      activity_task_.wait();
      info("Activity Get\n");
      take_result(activity_task_);
    } else {
      info("WARNIGN: Activity handle is null");
    }
  }
  if (activity_cancel_event_) {
    info("Resetting event");
    if (::ResetEvent(activity_cancel_event_.get())) {
      info("Activity Event reset\n");
    } else {
      info("Failed to reset Activity Event\n");
    }
  } else {
    info("Creating activity event");
    activity_cancel_event_ = create_cancel_event();
  }
  activity_task_ = std::future<void>();
  stop_flag_ = false;
}

void demo_helpers_leave_windows::dim_screen_reset() {
  if (dim_task_.valid()) {
    if (dim_cancel_event_) {
      info("Setting dim event\n");
      ::SetEvent(dim_cancel_event_.get());
      info("Dim Waiting\n");
      dim_task_.wait();
      info("Dim Get\n");
      take_result(dim_task_);
    } else {
      info("WARNIGN: Dim handle is null");
    }
  }
  if (dim_cancel_event_) {
    info("Resetting event");
    if (::ResetEvent(dim_cancel_event_.get())) {
      info("Event reset\n");
    } else {
      info("Failed to reset event\n");
    }
  } else {
    info("Creating dim screen event");
    dim_cancel_event_ = create_cancel_event();
  }
  dim_task_ = std::future<void>();
}

void demo_helpers_leave_windows::user_activity_teardown() {
  scope_trace trace(log_level::info, tag, "user_activity_teardown");
  stop_flag_ = true;
  if (activity_cancel_event_) ::SetEvent(activity_cancel_event_.get());
  if (activity_task_.valid()) take_result(activity_task_);
  activity_cancel_event_.reset();
  stop_flag_ = false;
}

void demo_helpers_leave_windows::dim_screen_teardown() {
  scope_trace trace(log_level::info, tag, "dim_screen_teardown");
  if (dim_cancel_event_) {
    info("Setting dim event\n");
    ::SetEvent(dim_cancel_event_.get());
  }
  if (dim_task_.valid()) {
    info("Dim Waiting\n");
    dim_task_.wait();
    info("Dim Get\n");
    take_result(dim_task_);
  }
  if (dim_cancel_event_) {
    info("Closing dim handle\n");
    dim_cancel_event_.reset();
  }
  info("Resetting Dim handlse");
  dim_task_ = std::future<void>();
}

void demo_helpers_leave_windows::teardown() {
  scope_trace trace(log_level::info, tag, "teardown");
  user_activity_teardown();
  dim_screen_teardown();
}
