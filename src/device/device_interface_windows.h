// demo_helpers_leave_windows: the Windows device interface. Each request
// becomes one run of the session daemon (or of a shell command) in the
// user's session, a power query, or a change of the OS video time-outs; the
// answer comes back as the call's result, through the request's pointer, or
// as an event in the queue. Two background tasks keep the long runs going:
// the user-activity watcher and the dim overlay.
#pragma once

#include "device/os_timer_manager_windows.h"
#include "device_interface.h"
#include "events/events.h"
#include "unique_handle.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace ostrel {
class event_queue;
}

class demo_helpers_leave_windows : public ostrel::device_interface {
 public:
  demo_helpers_leave_windows() = default;
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
  void user_activity_reset();
  void dim_screen_reset();

 protected:
  // The one place background work starts: `body` on a thread of its own
  // (std::async), which throws std::system_error when none can be had.
  virtual std::future<void> start_task(std::function<void()> body);

 private:
  bool send(const ostrel::output_signal_package& package);
  bool query(const ostrel::input_signal_package& package);
  std::shared_ptr<ostrel::event_queue> queue();
  void push(ostrel::events_t event);

  // Task bodies.
  void user_activity_watcher();
  void dim_overlay(uint64_t timeout_ms);
  // Parts of the watcher: what an ended monitor sets off, and the pause
  // before the next one when monitors keep ending at once.
  void report_activity();
  void pause_watcher(std::chrono::milliseconds pause);
  // Takes a finished task's result without throwing what it ended with.
  static void take_result(std::future<void>& task);
  // Logs the exception being handled; only inside a catch block.
  static void log_current_exception();

  // Set while a watcher is being stopped; read by the watcher's thread.
  std::atomic<bool> stop_flag_{false};
  // Set by the state-machine thread, read by the watcher: guarded.
  std::mutex queue_mutex_;
  std::shared_ptr<ostrel::event_queue> event_queue_;
  // Touched only by the state-machine thread.
  std::future<void> activity_task_;
  std::future<void> dim_task_;
  // Created on first use; changed only while their task is not running.
  ostrel::unique_event activity_cancel_event_;
  ostrel::unique_event dim_cancel_event_;
  ostrel::os_timer_manager_windows video_timers_;
};
