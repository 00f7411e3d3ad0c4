// service_status: how the service reports its state to the service control
// manager and receives its control requests.
#pragma once

#include "unique_handle.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ostrel {

// What the service does with a control request: (control, event type, event data).
using control_callback = std::function<void(DWORD control, DWORD event_type, void* event_data)>;

// Process-wide: the checkpoint counter of pending states (the first
// start-pending report carries 2) and whether any status has been reported
// in this process. One service runs per process, so these outlive any
// single service_status.
extern std::atomic<DWORD> status_checkpoint;
extern std::atomic<bool> status_reported;

// STOP, PAUSE_CONTINUE, SHUTDOWN, HARDWAREPROFILECHANGE, POWEREVENT, SESSIONCHANGE.
inline constexpr DWORD running_controls_accepted = 0xE7;

// HandlerEx's answer while no control callback is set.
inline constexpr DWORD callback_not_set_result = 1070;

class service_status {
 public:
  // `name`: the name the control handler is registered under.
  explicit service_status(std::string name);
  // Reports SERVICE_STOPPED unless that was the last state accepted.
  ~service_status();
  service_status(const service_status&) = delete;
  service_status& operator=(const service_status&) = delete;

  // Records and reports a state. Refused (false, with an event-log entry)
  // once SERVICE_STOPPED has been recorded after an earlier report; false
  // also when SetServiceStatus fails.
  bool report_status(DWORD state, DWORD exit_code, DWORD wait_hint);
  bool report_start_pending() { return report_status(SERVICE_START_PENDING, 0, 0); }
  bool report_running() { return report_status(SERVICE_RUNNING, 0, 0); }
  bool report_stopped(DWORD exit_code = 0) { return report_status(SERVICE_STOPPED, exit_code, 0); }

  // Stores the callback, replacing an earlier one. The first call registers
  // the control handler with the SCM (std::runtime_error when that fails) and
  // asks for the console-display and lid-switch power-setting notifications
  // (failures there only log a warning).
  void register_handler(control_callback callback);

  // Returns once no control is being handled any more by a callback that a
  // register_handler call has replaced. From then on every control reaches
  // the new callback, and what the old ones did (a flag set, an event pushed
  // into their queue) is done. Controls arrive one at a time, so this waits
  // for one callback at most.
  void wait_for_replaced_callbacks();

 private:
  static DWORD WINAPI handler_ex(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);
  DWORD handle_control(DWORD control, DWORD event_type, void* event_data);

  std::string name_;
  SERVICE_STATUS status_{};
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  DWORD last_accepted_state_ = SERVICE_STOPPED;

  // Shared with HandlerEx on the SCM's thread. HandlerEx runs its own copy
  // outside the lock, so a replacement never waits for a slow callback and
  // never destroys one that is running.
  std::mutex callback_mutex_;
  std::shared_ptr<const control_callback> callback_;
  int running_callbacks_ = 0;  // guarded by callback_mutex_
  std::condition_variable callback_returned_;

  unique_power_notify display_state_notify_;
  unique_power_notify lid_switch_notify_;
};

}  // namespace ostrel
