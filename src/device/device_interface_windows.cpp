#include "device/device_interface_windows.h"

#include "events/event_queue.h"
#include "logging/trace_line.h"
#include "win_processes.h"

#include <windows.h>

#include <powrprof.h>
#include <wtsapi32.h>

#include <string>

using ostrel::input_signal;
using ostrel::output_signal;
using ostrel::logging::log_level;
using ostrel::logging::trace_line;

namespace {

constexpr const char* tag = "runner";
constexpr DWORD no_console_session = 0xFFFFFFFF;

void enter(const char* function, const char* signal, ostrel::signal_tag signal_tag) {
  trace_line(log_level::info, tag, function) << "Enter Signal: " << signal
                                             << ", Tag: " << ostrel::signal_tag_name(signal_tag) << "\n";
}

void leave(const char* function) { trace_line(log_level::info, tag, function) << "Exit"; }

void error(const char* message) { trace_line(log_level::error, tag) << message; }
void info(const char* message) { trace_line(log_level::info, tag) << message; }

// One run of a command that answers by its exit code: true only when it ran
// to its end and said 0.
template <typename Command>
bool ran_with_success(Command&& command) {
  return command.execute() && command.exit_code() == 0;
}

}  // namespace

demo_helpers_leave_windows::~demo_helpers_leave_windows() { demo_helpers_leave_windows::teardown(); }

void demo_helpers_leave_windows::log_current_exception() {
  try {
    throw;
  } catch (const std::exception& e) {
    trace_line(log_level::error, tag) << "ERROR: " << e.what() << "\n";
  } catch (...) {
    trace_line(log_level::error, tag) << "ERROR: Unknown exception\n";
  }
}

std::future<void> demo_helpers_leave_windows::start_task(std::function<void()> body) {
  return std::async(std::launch::async, std::move(body));
}

bool demo_helpers_leave_windows::set_event_queue(std::shared_ptr<ostrel::event_queue> queue) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  event_queue_ = std::move(queue);
  return event_queue_ != nullptr;
}

std::shared_ptr<ostrel::event_queue> demo_helpers_leave_windows::queue() {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return event_queue_;
}

void demo_helpers_leave_windows::push(ostrel::events_t event) {
  if (auto q = queue()) q->add_event(event);
}

bool demo_helpers_leave_windows::send_command(const ostrel::output_signal_package& package) {
  enter("send_command", ostrel::output_signal_name(package.signal), package.tag);
  try {
    return send(package);
  } catch (const std::bad_any_cast& e) {
    trace_line(log_level::error, tag) << e.what() << "\n";
  } catch (...) {
    log_current_exception();
  }
  return false;
}

bool demo_helpers_leave_windows::send(const ostrel::output_signal_package& package) {
  constexpr const char* fn = "send_command";
  switch (package.signal) {
    case output_signal::SET_DISPLAY_REQUIRED:
      return ran_with_success(ostrel::stayin_alive());

    case output_signal::LOCK_SCREEN:
      if (!ostrel::lock_screen().execute()) {
        error("ERROR: Failed to lock screen\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK:
    case output_signal::DISPLAY_OFF_RESET_BRIGHTNESS: {
      const auto& brightness = std::any_cast<const std::string&>(package.value);
      if (brightness.empty()) {
        error("ERROR: Failed to dim screen\n");
        return false;
      }
      const bool and_lock = package.signal == output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK;
      std::unique_ptr<ostrel::command_process> command;
      if (and_lock) {
        command = std::make_unique<ostrel::dim_and_lock>(brightness);
      } else {
        command = std::make_unique<ostrel::dim_and_display_off>(brightness);
      }
      trace_line(log_level::info, tag) << "executing: " << command->command_line() << "\n";
      if (!command->execute()) {
        error("ERROR: Failed to dim screen\n");
        return false;
      }
      leave(fn);
      return true;
    }

    case output_signal::DIM_SCREEN: {
      const auto& brightness = std::any_cast<const std::string&>(package.value);
      if (brightness.empty() || !ostrel::set_brightness(brightness).execute()) {
        error("ERROR: Failed to dim screen\n");
        return false;
      }
      leave(fn);
      return true;
    }

    case output_signal::BRIGHTEN_SCREEN:
      info("Brighten screen\n");
      if (!ostrel::brighten_screen().execute()) {
        error("ERROR: Failed to bright screen\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::TURN_OFF_DISPLAY:
      if (!ostrel::turn_off_display().execute()) {
        error("ERROR: Failed to turn off display\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::TURN_OFF_DISPLAY_AND_LOCK:
      if (!ostrel::turn_off_display_and_lock().execute()) {
        error("ERROR: Failed to turn off and lock\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::SEND_RETURN_KEY:
      error("ERROR: Send return key is not implemented\n");
      return false;

    case output_signal::SET_FAN: {
      const auto value = std::any_cast<uint8_t>(package.value);
      if (!ostrel::set_fan(value).execute()) {
        error("ERROR: Failed to set fan\n");
        return false;
      }
      leave(fn);
      return true;
    }

    case output_signal::PLAY_BEEP:
      if (!ostrel::play_beep().execute()) {
        error("ERROR: Failed to play beep\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::REMOVE_IMAGE:
      if (!ostrel::remove_image().execute()) {
        error("ERROR: Failed to remove\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::SET_SYSTEM_REQUIRED:
      return ran_with_success(ostrel::system_required());

    case output_signal::SET_AWAY_MODE:
      return ran_with_success(ostrel::away_mode());

    case output_signal::CHECK_DEVICE_MODEL_NAME:
      leave(fn);
      return true;

    case output_signal::SHOW_DIM_SCREEN_OVERLAY: {
      const auto timeout_ms = std::any_cast<uint64_t>(package.value);
      trace_line(log_level::info, tag) << "wait_timeout_ms: " << timeout_ms;
      dim_screen_reset();
      // Without its cancel event the overlay could not be removed early.
      if (!dim_cancel_event_) {
        error("ERROR: No dim event, not showing the overlay\n");
        return false;
      }
      dim_task_ = start_task([this, timeout_ms] { dim_overlay(timeout_ms); });
      leave(fn);
      return true;
    }

    case output_signal::REMOVE_DIM_SCREEN_OVERLAY:
      if (!dim_task_.valid()) {
        info("Dim overlay proc is not active. Cancecling  the removal process\n");
        return true;
      }
      info("Resetting dim screen\n");
      dim_screen_reset();
      leave(fn);
      return true;

    case output_signal::STOP_USER_ACTIVITY_PROCESS:
      if (!activity_task_.valid()) {
        info("Activity proc is not active. Cancecling  the stop process");
        return true;
      }
      info("Stopping activity proc\n");
      user_activity_reset();
      leave(fn);
      return true;

    case output_signal::OS_VIDEO_TIMER_SCREEN_OFF:
      if (!video_timers_.turn_off_screen_with_os_timers()) {
        info("Failed to override video timers\n");
        return false;
      }
      leave(fn);
      return true;

    case output_signal::OS_VIDEO_TIMER_RECOVER:
      if (!video_timers_.reset_os_video_timers()) {
        info("Failed to reset video timers\n");
        return false;
      }
      leave(fn);
      return true;

    default:  // DIM_RESET, START_GUI, START_NOISY_GUI, STOP_GUI, SHOW_IMAGE and unknown values
      error("ERROR: Uncaught signal\n");
      return false;
  }
}

bool demo_helpers_leave_windows::register_callback(const ostrel::input_signal_package& package) {
  enter("register_callback", ostrel::input_signal_name(package.signal), package.tag);
  try {
    return query(package);
  } catch (const std::bad_any_cast& e) {
    trace_line(log_level::info, tag) << e.what() << "\n";
  } catch (...) {
    log_current_exception();
  }
  return false;
}

bool demo_helpers_leave_windows::query(const ostrel::input_signal_package& package) {
  constexpr const char* fn = "register_callback";
  switch (package.signal) {
    case input_signal::USER_ACTIVITY:
      user_activity_reset();
      // Without its cancel event the watcher could not be stopped, and every
      // 10-second limit of its monitor would count as activity.
      if (!activity_cancel_event_) {
        error("ERROR: No activity event, not launching user activity proc\n");
        return false;
      }
      info("launch user activity proc\n");
      activity_task_ = start_task([this] { user_activity_watcher(); });
      leave(fn);
      return true;

    case input_signal::GET_FAN_SPEED: {
      auto* speed = std::any_cast<uint32_t*>(package.value);
      if (speed == nullptr) {
        error("ERROR: No place for the fan speed\n");
        return false;
      }
      // The speed is the tool's exit code: a run that was terminated, or
      // whose code could not be read, has none to give.
      ostrel::get_fan_speed command;
      if (!command.execute() || !command.has_exit_code()) {
        error("ERROR: Failed get fan speed\n");
        return false;
      }
      *speed = command.exit_code();
      leave(fn);
      return true;
    }

    case input_signal::IS_DISPLAY_REQUIRED: {
      ULONG execution_state = 0;
      const LONG status = ::CallNtPowerInformation(SystemExecutionState, /*InputBuffer=*/nullptr, 0,
                                                   &execution_state, sizeof(execution_state));
      bool required = true;  // when unknown, the display counts as required
      if (status != 0) {
        info("Failed to poll media CallNtPowerInformation (display required)\n");
      } else {
        required = (execution_state & ES_DISPLAY_REQUIRED) != 0;
      }
      leave(fn);
      return required;
    }

    case input_signal::IS_SCREEN_OFF_TIMER_ENABLED: {
      SYSTEM_POWER_POLICY policy{};
      const LONG status =
          ::CallNtPowerInformation(SystemPowerPolicyCurrent, /*InputBuffer=*/nullptr, 0, &policy, sizeof(policy));
      bool enabled = false;
      if (status != 0) {
        info("Failed to poll media CallNtPowerInformation for Power Policy (idle timeout)\n");
      } else {
        enabled = policy.IdleTimeout != 0 && policy.VideoTimeout != 0;
      }
      leave(fn);
      return enabled;
    }

    case input_signal::IS_SESSION_LOCKED: {
      if (!queue()) return false;
      ostrel::is_session_locked command;
      if (command.execute()) {
        // Exit code 0: the daemon found the session locked.
        if (command.exit_code() == 0) {
          leave(fn);
          return false;
        }
        push(ostrel::SESSION_UNLOCK);
        leave(fn);
        return true;
      }
      error("Failed to create process for is_session_locked\n");
      push(command.exit_code() != 0 ? ostrel::SESSION_UNLOCK : ostrel::SESSION_LOCK);
      leave(fn);
      return true;
    }

    case input_signal::IS_REMOTE_SESSION: {
      if (!queue()) return false;
      ostrel::is_remote_session command;
      if (!command.execute()) {
        error("Failed to create process for is_remote_session\n");
        return false;
      }
      const bool remote = command.exit_code() == 0;
      if (remote) push(ostrel::REMOTE_DESKTOP);
      leave(fn);
      return remote;
    }

    case input_signal::GET_BRIGHTNESS: {
      auto* brightness = std::any_cast<std::string*>(package.value);
      if (brightness == nullptr) {
        error("ERROR: No place for the brightness\n");
        return false;
      }
      if (!ostrel::get_brightness().execute(brightness)) {
        error("ERROR: Failed to run get_brightness\n");
        return false;
      }
      leave(fn);
      return true;
    }

    case input_signal::IS_USER_TOKEN_AVAILABLE: {
      const DWORD session_id = ::WTSGetActiveConsoleSessionId();
      if (session_id == no_console_session) {
        error("ERROR: Failed to get active console session id\n");
        return false;
      }
      // Only asked whether one can be had; closed at once.
      ostrel::unique_handle token;
      const bool available = ::WTSQueryUserToken(session_id, token.put()) != FALSE;
      leave(fn);
      return available;
    }

    case input_signal::HAS_EXTERNAL_DISPLAY: {
      const bool external = ran_with_success(ostrel::has_external_display());
      leave(fn);
      return external;
    }

    default:  // LOCK_EVENT, UNLOCK_EVENT and unknown values
      leave(fn);
      return true;
  }
}

std::optional<std::any> demo_helpers_leave_windows::get_data(const ostrel::input_signal_package& package) {
  enter("get_data", ostrel::input_signal_name(package.signal), package.tag);
  trace_line(log_level::error, tag) << "ERROR: Get data for signal " << ostrel::input_signal_name(package.signal)
                                    << " not implemented\n";
  return std::nullopt;
}
