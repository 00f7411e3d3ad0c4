#include "device/device_tasks.h"

#include "device/activity_backoff.h"
#include "device/session_commands.h"
#include "logging/trace_line.h"
#include "events/event_queue.h"

namespace ostrel {
namespace {

using logging::log_level;
using logging::trace_line;

constexpr const char* tag = "runner";

void info(const char* message) { trace_line(log_level::info, tag) << message; }

void report_activity(const session_task& task, os_timer_manager_windows& video_timers, const queue_source& queue) {
  auto q = queue();
  if (!q || task.stopping()) return;
  if (video_timers.reset_os_video_timers()) {
    if (!stayin_alive().execute()) info("run display_required failed\n");
  } else {
    info("ua >> failed to reset video timers\n");
  }
  q->add_event(USER_IS_ACTIVE);
}

// A stop sets the cancel event, which ends the pause at once.
void pause_watcher(const session_task& task, std::chrono::milliseconds pause) {
  if (pause.count() == 0 || task.stopping()) return;
  ::WaitForSingleObject(task.cancel_event(), static_cast<DWORD>(pause.count()));
}

}  // namespace

void watch_user_activity(const session_task& task, os_timer_manager_windows& video_timers, const queue_source& queue) {
  activity_backoff backoff;
  bool warned = false;
  while (!task.stopping()) {
    // The daemon returns only when it has seen keyboard or mouse input.
    monitor_activity monitor(task.cancel_event());
    if (!monitor.execute()) {
      trace_line(log_level::error, tag) << "ERROR: Failed to wait for activity\n";
      break;
    }
    report_activity(task, video_timers, queue);
    const auto pause = backoff.after_monitor(monitor.run_time());
    if (pause.count() > 0 && !warned) {
      warned = true;
      trace_line(log_level::error, tag) << "WARNING: Activity monitor keeps ending at once. Pausing before each "
                                        << "restart, up to " << activity_backoff::longest_wait.count() / 1000
                                        << " s\n";
    }
    pause_watcher(task, pause);
  }
  info("Activity while loop done\n");
}

void show_dim_overlay(uint64_t timeout_ms, HANDLE cancel_event) {
  trace_line(log_level::info, tag) << "timeout set to: " << timeout_ms;
  trace_line(log_level::info, tag) << "wait_timeout_ms set to: " << timeout_ms;
  dim_screen_overlay overlay(timeout_ms, cancel_event);
  if (overlay.execute()) {
    info("Dim done\n");
  } else {
    trace_line(log_level::error, tag) << "ERROR: Failed to make dim overlay\n";
  }
}

}  // namespace ostrel
