// session_task: one long daemon run in the user's session on a thread of its
// own, with the manual-reset event that ends it early. A task is always
// stopped the same way: raise the stop flag, set the cancel event (the
// runner then terminates the daemon), wait for the task, and only then reset
// or close the event, so a new run never sees it signalled. The activity
// watcher and the dim overlay each own one; they differ only in what they log.
#pragma once

#include "unique_handle.h"

#include <windows.h>

#include <atomic>
#include <future>

namespace ostrel {

// Logs the exception being handled; only inside a catch block.
void log_current_exception();

class session_task {
 public:
  // The task's lines in the trace; a null text is not logged.
  struct trace_texts {
    const char* stopping;       // a running task is about to be stopped for a reset
    const char* setting_event;  // before the cancel event is set
    const char* waiting;        // before the wait for the task
    const char* got;            // after it, before its result is taken
    const char* no_event;       // a running task without cancel event
    const char* event_reset;    // the event was reset for the next run
    const char* reset_failed;   // ResetEvent failed
    const char* creating;       // the event is created (first use, or after a teardown)
    // A teardown logs setting_event, waiting and got only when this is set.
    bool trace_teardown;
    const char* closing;  // before the event is closed in a teardown
    const char* closed;   // the teardown's last line
  };

  explicit session_task(const trace_texts& texts) : texts_(texts) {}
  session_task(const session_task&) = delete;
  session_task& operator=(const session_task&) = delete;

  // Takes over a started task.
  void adopt(std::future<void> task) { task_ = std::move(task); }
  bool running() const { return task_.valid(); }
  bool has_cancel_event() const { return static_cast<bool>(cancel_event_); }
  // Not owned by the caller; valid until the next teardown.
  HANDLE cancel_event() const { return cancel_event_.get(); }
  // Read by the task's own thread: set while the task is being stopped.
  bool stopping() const { return stopping_; }

  // Stops a running task, waits for it, and leaves the cancel event existing
  // and non-signalled for the next run.
  void reset();
  // Stops a running task, waits for it, and closes the cancel event.
  void teardown();

 private:
  void set_cancel_event(bool traced);
  void wait_for_task(bool traced);
  void ready_cancel_event();
  void trace(const char* text) const;
  // What the task ended with is logged here: stopping a task never throws,
  // and a teardown from a destructor never ends the service.
  void take_result();

  const trace_texts texts_;
  std::atomic<bool> stopping_{false};
  // Created on first use; changed only while the task is not running.
  // Declared before the task, so that a task still running when the owner
  // forgot the teardown is joined before its event closes.
  unique_event cancel_event_;
  // Touched only by the thread that starts and stops the task.
  std::future<void> task_;
};

}  // namespace ostrel
