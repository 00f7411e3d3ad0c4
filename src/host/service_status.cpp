#include "host/service_status.h"

#include "logging/service_message.h"
#include "logging/trace_line.h"
#include "system_error_text.h"

#include <stdexcept>
#include <utility>

namespace ostrel {

using logging::log_level;
using logging::service_message;
using logging::trace_line;

std::atomic<DWORD> status_checkpoint{1};
std::atomic<bool> status_reported{false};

service_status::service_status(std::string name) : name_(std::move(name)) {
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = SERVICE_STOPPED;
  status_.dwControlsAccepted = 0;
  status_.dwWin32ExitCode = 0;
  status_.dwServiceSpecificExitCode = 0;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
}

service_status::~service_status() {
  if (last_accepted_state_ != SERVICE_STOPPED) {
    if (!report_status(SERVICE_STOPPED, 0, 0)) service_message() << "Failed to report service stopped\n";
  }
  // The SCM sends nothing after SERVICE_STOPPED, but a HandlerEx call may
  // still be running; it counts itself down in this object when it returns.
  std::shared_ptr<const control_callback> last;
  {
    std::unique_lock<std::mutex> lock(callback_mutex_);
    last = std::move(callback_);
    callback_returned_.wait(lock, [this] { return running_callbacks_ == 0; });
  }
}

bool service_status::report_status(DWORD state, DWORD exit_code, DWORD wait_hint) {
  if (status_.dwCurrentState == SERVICE_STOPPED && status_reported) {
    service_message() << "Service already stopped, ignoring call: " << state << ", " << exit_code << ", " << wait_hint
                      << "\n";
    return false;
  }
  status_reported = true;
  status_.dwCurrentState = state;
  status_.dwWin32ExitCode = exit_code;
  status_.dwWaitHint = wait_hint;

  if (state == SERVICE_START_PENDING) {
    status_.dwControlsAccepted = 0;
    status_.dwCheckPoint = ++status_checkpoint;
  } else if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
    status_.dwControlsAccepted = running_controls_accepted;
    status_.dwCheckPoint = 0;
  } else {
    status_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status_.dwCheckPoint = ++status_checkpoint;
  }

  if (!::SetServiceStatus(handle_, &status_)) {
    service_message() << "Unable to Update Service Status: " << system_error_text(::GetLastError()) << "\n";
    // The SCM acts only on what it accepted: without SERVICE_RUNNING it never
    // delivers a STOP, without SERVICE_STOPPED it never lets the service go.
    // Those two get one more attempt.
    const bool decisive = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
    if (!decisive || !::SetServiceStatus(handle_, &status_)) return false;
  }
  last_accepted_state_ = state;
  return true;
}

void service_status::register_handler(control_callback callback) {
  auto replacement = std::make_shared<const control_callback>(std::move(callback));
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    callback_.swap(replacement);
  }
  // The earlier callback (now in `replacement`) goes here, outside the lock;
  // a HandlerEx still running it holds its own reference.
  replacement.reset();

  if (handle_ != nullptr) return;
  handle_ = ::RegisterServiceCtrlHandlerExA(name_.c_str(), &service_status::handler_ex, this);
  if (handle_ == nullptr) throw std::runtime_error("Unable to register service control handler");

  // Windows delivers power-setting changes to a service only when asked.
  display_state_notify_.reset(::RegisterPowerSettingNotification(
      reinterpret_cast<HANDLE>(handle_), &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_SERVICE_HANDLE));
  if (!display_state_notify_) {
    trace_line(log_level::info, "runner") << "WARNING: Unable to Register for MONITOR_POWER_ON notification\n";
  }
  lid_switch_notify_.reset(::RegisterPowerSettingNotification(
      reinterpret_cast<HANDLE>(handle_), &GUID_LIDSWITCH_STATE_CHANGE, DEVICE_NOTIFY_SERVICE_HANDLE));
  if (!lid_switch_notify_) {
    trace_line(log_level::info, "runner")
        << "WARNING: Unable to Register for _GUID_LIDSWITCH_STATE_CHANGE notification\n";
  }
}

DWORD WINAPI service_status::handler_ex(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
  return static_cast<service_status*>(context)->handle_control(control, event_type, event_data);
}

void service_status::wait_for_replaced_callbacks() {
  std::unique_lock<std::mutex> lock(callback_mutex_);
  callback_returned_.wait(lock, [this] { return running_callbacks_ == 0; });
}

DWORD service_status::handle_control(DWORD control, DWORD event_type, void* event_data) {
  std::shared_ptr<const control_callback> callback;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    callback = callback_;
    if (callback && *callback) ++running_callbacks_;
  }
  if (!callback || !*callback) {
    service_message() << "Service event callback is not set\n";
    return callback_not_set_result;
  }
  // Counted from the copy above until the callback has returned, however it returns.
  struct returned {
    service_status& status;
    ~returned() {
      // Signalled under the lock: the destructor may end this object as soon
      // as it sees the count at zero, and must not end it under the signal.
      std::lock_guard<std::mutex> lock(status.callback_mutex_);
      --status.running_callbacks_;
      status.callback_returned_.notify_all();
    }
  } count_down{*this};
  (*callback)(control, event_type, event_data);
  return NO_ERROR;
}

}  // namespace ostrel
