// demo_helpers_leave_windows: the Windows device interface. Each request
// becomes one run of the session daemon (or of a shell command) in the
// user's session, a power query, or a change of the OS video time-outs; the
// answer comes back as the call's result, through the request's pointer, or
// as an event in the queue. Two background tasks keep the long runs going:
// the user-activity watcher and the dim overlay.
//
// The device folder, each part using only those below it:
//   device_interface_windows  this class: entry, logging, the tasks' owner
//   device_requests           one table row per signal: command, failure
//                             text, how the answer comes back
//   device_tasks              the watcher's and the overlay's bodies
//   session_task              a task's thread and cancel event, reset and
//                             teardown
//   session_commands          one type per command line (daemon, shell, demo
//                             tools)
//   session_process_runner    one child process in the user's session
//   os_timer_manager_windows  the OS video time-outs; activity_backoff, the
//                             watcher's pause policy
#pragma once

#include "device/device_requests.h"
#include "device/os_timer_manager_windows.h"
#include "device/session_task.h"
#include "device_interface.h"

#include <functional>
#include <future>
#include <memory>
#include <mutex>

class demo_helpers_leave_windows : public ostrel::device_interface {
 public:
  demo_helpers_leave_windows();
  // Ends both tasks (teardown) before the members go.
  ~demo_helpers_leave_windows() override;
  demo_helpers_leave_windows(const demo_helpers_leave_windows&) = delete;
  demo_helpers_leave_windows& operator=(const demo_helpers_leave_windows&) = delete;

  bool set_event_queue(std::shared_ptr<ostrel::event_queue> queue) override;
  bool send_command(const ostrel::output_signal_package& package) override;
  bool register_callback(const ostrel::input_signal_package& package) override;
  std::optional<std::any> get_data(const ostrel::input_signal_package& package) override;
  void teardown() override;
  void user_activity_teardown() override;
  void dim_screen_teardown() override;

  // Stop a running task, wait for it, and leave its cancel event existing
  // and non-signalled for the next run.
  void user_activity_reset() { activity_task_.reset(); }
  void dim_screen_reset() { dim_task_.reset(); }

 protected:
  // The one place background work starts: `body` on a thread of its own
  // (std::async), which throws std::system_error when none can be had.
  virtual std::future<void> start_task(std::function<void()> body);

 private:
  std::shared_ptr<ostrel::event_queue> queue();

  // Set by the state-machine thread, read by the watcher: guarded.
  std::mutex queue_mutex_;
  std::shared_ptr<ostrel::event_queue> event_queue_;
  // Started and stopped only by the state-machine thread.
  ostrel::session_task activity_task_;
  ostrel::session_task dim_task_;
  ostrel::os_timer_manager_windows video_timers_;
  // What the request tables act on: the members above.
  ostrel::device_context context_;
};
