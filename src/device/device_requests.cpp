#include "device/device_requests.h"

#include "device/session_commands.h"
#include "logging/trace_line.h"
#include "events/event_queue.h"

#include <windows.h>

#include <powrprof.h>
#include <wtsapi32.h>

#include <any>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ostrel {
namespace {

using logging::log_level;
using logging::trace_line;

constexpr const char* tag = "runner";
constexpr DWORD no_console_session = 0xFFFFFFFF;

void error(const char* message) { trace_line(log_level::error, tag) << message; }
void info(const char* message) { trace_line(log_level::info, tag) << message; }

using command_ptr = std::unique_ptr<command_process>;
// Composes a row's command from the request's payload; null when the
// payload makes none.
using compose_fn = command_ptr (*)(const std::any& value);

// One request being answered, with its row's command and failure text.
struct request {
  device_context& device;
  const std::any& value;
  compose_fn compose;
  const char* failure;
  const char* function;  // whose "Exit" line a carried-out request logs

  command_ptr command() const { return compose(value); }
  bool failed() const {
    error(failure);
    return false;
  }
  bool done() const {
    trace_line(log_level::info, tag, function) << "Exit";
    return true;
  }
  void push(events_t event) const {
    if (auto q = device.queue()) q->add_event(event);
  }
};

using answer_fn = bool (*)(const request& r);

template <typename Signal>
struct request_row {
  Signal signal;
  compose_fn command;   // null: the request runs no command of its own
  const char* failure;  // null: the request has no failure to log
  answer_fn answer;     // runs the request and gives its result
};

// ---- Command lines from payloads

template <typename Command>
command_ptr plain(const std::any& /*value*/) {
  return std::make_unique<Command>();
}

// The payload is the brightness as text; an empty one makes no command.
template <typename Command>
command_ptr with_brightness(const std::any& value) {
  const auto& brightness = std::any_cast<const std::string&>(value);
  if (brightness.empty()) return nullptr;
  return std::make_unique<Command>(brightness);
}

command_ptr fan_setting(const std::any& value) { return std::make_unique<set_fan>(std::any_cast<uint8_t>(value)); }

// ---- Answers from a command's run

// True only when the command ran to its end and said 0; logs nothing.
bool ran_with_success(const request& r) {
  const auto command = r.command();
  return command->execute() && command->exit_code() == 0;
}

// The same answer, with the "Exit" line.
bool exit_code_zero(const request& r) {
  const bool yes = ran_with_success(r);
  r.done();
  return yes;
}

bool run_command(const request& r, bool traced) {
  const auto command = r.command();
  if (!command) return r.failed();
  if (traced) trace_line(log_level::info, tag) << "executing: " << command->command_line() << "\n";
  if (!command->execute()) return r.failed();
  return r.done();
}

// True when the command ran, whatever it said.
bool ran(const request& r) { return run_command(r, /*traced=*/false); }
// The same, with the command line in the trace before the run.
bool ran_traced(const request& r) { return run_command(r, /*traced=*/true); }

bool brighten(const request& r) {
  info("Brighten screen\n");
  return ran(r);
}

// The speed is the tool's exit code.
bool fan_speed_from_exit_code(const request& r) {
  auto* speed = std::any_cast<uint32_t*>(r.value);
  if (speed == nullptr) {
    error("ERROR: No place for the fan speed\n");
    return false;
  }
  const auto command = r.command();
  if (!command->execute_to_its_end()) return r.failed();
  *speed = command->exit_code();
  return r.done();
}

bool brightness_from_output(const request& r) {
  auto* brightness = std::any_cast<std::string*>(r.value);
  if (brightness == nullptr) {
    error("ERROR: No place for the brightness\n");
    return false;
  }
  // A terminated run wrote nothing: the caller would parse an old text.
  if (!r.command()->execute_to_its_end(brightness)) return r.failed();
  return r.done();
}

// Exit code 0: the daemon found the session locked. The state machine
// learns an unlocked session as an event; a run that failed is still
// answered by its (absent) exit code.
bool session_lock_event(const request& r) {
  if (!r.device.queue()) return false;
  const auto command = r.command();
  if (command->execute()) {
    if (command->exit_code() == 0) {
      r.done();
      return false;
    }
    r.push(SESSION_UNLOCK);
    return r.done();
  }
  r.failed();
  r.push(command->exit_code() != 0 ? SESSION_UNLOCK : SESSION_LOCK);
  return r.done();
}

bool remote_session_event(const request& r) {
  if (!r.device.queue()) return false;
  const auto command = r.command();
  if (!command->execute()) return r.failed();
  const bool remote = command->exit_code() == 0;
  if (remote) r.push(REMOTE_DESKTOP);
  r.done();
  return remote;
}

// ---- Answers from the system

bool display_required(const request& r) {
  ULONG execution_state = 0;
  const LONG status = ::CallNtPowerInformation(SystemExecutionState, /*InputBuffer=*/nullptr, 0, &execution_state,
                                               sizeof(execution_state));
  bool required = true;  // when unknown, the display counts as required
  if (status != 0) {
    info(r.failure);
  } else {
    required = (execution_state & ES_DISPLAY_REQUIRED) != 0;
  }
  r.done();
  return required;
}

bool screen_off_timer_enabled(const request& r) {
  SYSTEM_POWER_POLICY policy{};
  const LONG status =
      ::CallNtPowerInformation(SystemPowerPolicyCurrent, /*InputBuffer=*/nullptr, 0, &policy, sizeof(policy));
  bool enabled = false;
  if (status != 0) {
    info(r.failure);
  } else {
    enabled = policy.IdleTimeout != 0 && policy.VideoTimeout != 0;
  }
  r.done();
  return enabled;
}

bool user_token_available(const request& r) {
  const DWORD session_id = ::WTSGetActiveConsoleSessionId();
  if (session_id == no_console_session) return r.failed();
  // Only asked whether one can be had; closed at once.
  unique_handle token;
  const bool available = ::WTSQueryUserToken(session_id, token.put()) != FALSE;
  r.done();
  return available;
}

// The OS video time-outs: a failure is logged as information only.
bool video_timers_changed(const request& r, bool changed) {
  if (!changed) {
    info(r.failure);
    return false;
  }
  return r.done();
}

bool video_timers_off(const request& r) {
  return video_timers_changed(r, r.device.video_timers.turn_off_screen_with_os_timers());
}

bool video_timers_back(const request& r) { return video_timers_changed(r, r.device.video_timers.reset_os_video_timers()); }

// ---- Answers from the interface's tasks

bool start_watcher(const request& r) {
  device_context& device = r.device;
  device.activity.reset();
  // Without its cancel event the watcher could not be stopped, and every
  // 10-second limit of its monitor would count as activity.
  if (!device.activity.has_cancel_event()) return r.failed();
  info("launch user activity proc\n");
  device.activity.adopt(
      device.start_task([&device] { watch_user_activity(device.activity, device.video_timers, device.queue); }));
  return r.done();
}

bool show_overlay(const request& r) {
  device_context& device = r.device;
  const auto timeout_ms = std::any_cast<uint64_t>(r.value);
  trace_line(log_level::info, tag) << "wait_timeout_ms: " << timeout_ms;
  device.dim.reset();
  // Without its cancel event the overlay could not be removed early.
  if (!device.dim.has_cancel_event()) return r.failed();
  const HANDLE cancel_event = device.dim.cancel_event();
  device.dim.adopt(device.start_task([timeout_ms, cancel_event] { show_dim_overlay(timeout_ms, cancel_event); }));
  return r.done();
}

// Stopping a task that is not running is no failure.
bool stop_task(const request& r, session_task& task, const char* not_running, const char* stopping) {
  if (!task.running()) {
    info(not_running);
    return true;
  }
  info(stopping);
  task.reset();
  return r.done();
}

bool remove_overlay(const request& r) {
  return stop_task(r, r.device.dim, "Dim overlay proc is not active. Cancecling  the removal process\n",
                   "Resetting dim screen\n");
}

bool stop_watcher(const request& r) {
  return stop_task(r, r.device.activity, "Activity proc is not active. Cancecling  the stop process",
                   "Stopping activity proc\n");
}

// ---- Plain answers

bool refused(const request& r) { return r.failed(); }
bool done(const request& r) { return r.done(); }

// ---- The tables

const request_row<output_signal> commands[] = {
    {output_signal::SET_DISPLAY_REQUIRED, plain<stayin_alive>, nullptr, ran_with_success},
    {output_signal::LOCK_SCREEN, plain<lock_screen>, "ERROR: Failed to lock screen\n", ran},
    {output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK, with_brightness<dim_and_lock>,
     "ERROR: Failed to dim screen\n", ran_traced},
    {output_signal::DISPLAY_OFF_RESET_BRIGHTNESS, with_brightness<dim_and_display_off>,
     "ERROR: Failed to dim screen\n", ran_traced},
    {output_signal::DIM_SCREEN, with_brightness<set_brightness>, "ERROR: Failed to dim screen\n", ran},
    {output_signal::BRIGHTEN_SCREEN, plain<brighten_screen>, "ERROR: Failed to bright screen\n", brighten},
    {output_signal::TURN_OFF_DISPLAY, plain<turn_off_display>, "ERROR: Failed to turn off display\n", ran},
    {output_signal::TURN_OFF_DISPLAY_AND_LOCK, plain<turn_off_display_and_lock>,
     "ERROR: Failed to turn off and lock\n", ran},
    {output_signal::SEND_RETURN_KEY, nullptr, "ERROR: Send return key is not implemented\n", refused},
    {output_signal::SET_FAN, fan_setting, "ERROR: Failed to set fan\n", ran},
    {output_signal::PLAY_BEEP, plain<play_beep>, "ERROR: Failed to play beep\n", ran},
    {output_signal::REMOVE_IMAGE, plain<remove_image>, "ERROR: Failed to remove\n", ran},
    {output_signal::SET_SYSTEM_REQUIRED, plain<system_required>, nullptr, ran_with_success},
    {output_signal::SET_AWAY_MODE, plain<away_mode>, nullptr, ran_with_success},
    {output_signal::CHECK_DEVICE_MODEL_NAME, nullptr, nullptr, done},
    {output_signal::SHOW_DIM_SCREEN_OVERLAY, nullptr, "ERROR: No dim event, not showing the overlay\n", show_overlay},
    {output_signal::REMOVE_DIM_SCREEN_OVERLAY, nullptr, nullptr, remove_overlay},
    {output_signal::STOP_USER_ACTIVITY_PROCESS, nullptr, nullptr, stop_watcher},
    {output_signal::OS_VIDEO_TIMER_SCREEN_OFF, nullptr, "Failed to override video timers\n", video_timers_off},
    {output_signal::OS_VIDEO_TIMER_RECOVER, nullptr, "Failed to reset video timers\n", video_timers_back},
};
// DIM_RESET, START_GUI, START_NOISY_GUI, STOP_GUI, SHOW_IMAGE and unknown values.
const request_row<output_signal> uncaught_command{output_signal{}, nullptr, "ERROR: Uncaught signal\n", refused};

const request_row<input_signal> queries[] = {
    {input_signal::USER_ACTIVITY, nullptr, "ERROR: No activity event, not launching user activity proc\n",
     start_watcher},
    {input_signal::GET_FAN_SPEED, plain<get_fan_speed>, "ERROR: Failed get fan speed\n", fan_speed_from_exit_code},
    {input_signal::IS_DISPLAY_REQUIRED, nullptr, "Failed to poll media CallNtPowerInformation (display required)\n",
     display_required},
    {input_signal::IS_SCREEN_OFF_TIMER_ENABLED, nullptr,
     "Failed to poll media CallNtPowerInformation for Power Policy (idle timeout)\n", screen_off_timer_enabled},
    {input_signal::IS_SESSION_LOCKED, plain<is_session_locked>, "Failed to create process for is_session_locked\n",
     session_lock_event},
    {input_signal::IS_REMOTE_SESSION, plain<is_remote_session>, "Failed to create process for is_remote_session\n",
     remote_session_event},
    {input_signal::GET_BRIGHTNESS, plain<get_brightness>, "ERROR: Failed to run get_brightness\n",
     brightness_from_output},
    {input_signal::IS_USER_TOKEN_AVAILABLE, nullptr, "ERROR: Failed to get active console session id\n",
     user_token_available},
    {input_signal::HAS_EXTERNAL_DISPLAY, plain<has_external_display>, nullptr, exit_code_zero},
};
// LOCK_EVENT, UNLOCK_EVENT and unknown values.
const request_row<input_signal> unanswered_query{input_signal{}, nullptr, nullptr, done};

template <typename Signal, size_t count>
const request_row<Signal>& row_for(const request_row<Signal> (&rows)[count], Signal signal,
                                   const request_row<Signal>& otherwise) {
  for (const auto& row : rows) {
    if (row.signal == signal) return row;
  }
  return otherwise;
}

}  // namespace

bool send_request(device_context& device, const output_signal_package& package) {
  const auto& row = row_for(commands, package.signal, uncaught_command);
  return row.answer(request{device, package.value, row.command, row.failure, "send_command"});
}

bool query_request(device_context& device, const input_signal_package& package) {
  const auto& row = row_for(queries, package.signal, unanswered_query);
  return row.answer(request{device, package.value, row.command, row.failure, "register_callback"});
}

}  // namespace ostrel
