#include "state_machines/nolvane/running_state_machine.h"

#include "logging/trace_line.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace ostrel {

using logging::log_level;
using logging::scope_trace;
using logging::trace_line;

namespace {

constexpr const char* tag = "rsm";
// The overlay stays up a little longer than the dimming time, so that the
// display-off action happens while the screen is still dark.
constexpr int64_t overlay_margin_ms = 3500;
constexpr uint64_t zero_data_frames_before_mode = 10;
constexpr const char* engine_gone = "Unable to lock engine interface from running state machine\n";

uint32_t timer_milliseconds(int64_t ms) {
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
}

// The destructor must go on to join the pause task whatever a collaborator
// does, or the task's future would block forever.
template <typename F>
void guarded(const char* what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    trace_line(log_level::error, tag) << what << " failed: " << e.what() << "\n";
  } catch (...) {
    trace_line(log_level::error, tag) << what << " failed\n";
  }
}

}  // namespace

const char* running_state_machine::state_name(states_t state) {
  switch (state) {
    case ENGINE_OFF:
      return "ENGINE_OFF";
    case USER_PRESENT:
      return "USER_PRESENT";
    case USER_ABSENT:
      return "USER_ABSENT";
    case DIMMING:
      return "DIMMING";
  }
  return "unknown";
}

running_state_machine::running_state_machine(const sm_config& config, std::weak_ptr<device_interface> device,
                                             std::weak_ptr<engine_callback_interface> engine,
                                             std::weak_ptr<event_queue> queue)
    : config_(config),
      links_(tag, std::move(device), std::move(engine), std::move(queue)),
      conditions_{{run_sensor_condition::display_required, false},
                  {run_sensor_condition::external_display_connected, false},
                  {run_sensor_condition::system_timer_disabled, false}} {
  trace_line(log_level::info, tag, "running_state_machine") << "Enter";
  links_.reset_os_video_timers();
  if (!start_check_pause_conditions(pause_check_stop_)) {
    throw std::runtime_error("Unable to create running state machine, failed to start activity process\n");
  }
  try {
    trace_line(log_level::info, tag, "running_state_machine") << "Exit";
  } catch (...) {
    stop_check_pause_conditions();
    throw;
  }
}

running_state_machine::~running_state_machine() {
  guarded("~running_state_machine", [this] { trace_line(log_level::info, tag, "~running_state_machine") << "Enter"; });
  // The steps below wait for daemon runs, which can take seconds; DIMMING's
  // timer must not turn the display off meanwhile (a lock while dimming).
  guarded("stop_timer", [this] {
    if (current_state_) current_state_->stop_timer();
  });
  guarded("stop_wait_for_activity", [this] { stop_wait_for_activity(); });
  guarded("stop_check_pause_conditions", [this] { stop_check_pause_conditions(); });
  guarded("brighten_screen", [this] { brighten_screen(); });
  guarded("reset_os_video_timers", [this] { links_.reset_os_video_timers(); });
  guarded("teardown", [this] {
    if (auto device = links_.device("Unable to lock device interface in running destructor\n")) device->teardown();
  });
  guarded("~running_state_machine", [this] { trace_line(log_level::info, tag, "~running_state_machine") << "Exit"; });
  // current_state_ is released next (it is the last member): its exit action
  // and timer still see every other member.
}

std::string running_state_machine::get_state_name() const { return state_name(state_.load()); }

float running_state_machine::get_state_value() const { return static_cast<float>(state_.load()); }

void running_state_machine::handle_incoming_event(events_t event) {
  const states_t old_state = state_.load();
  switch (event) {
    case PROXIMITY_NEAR:
      if (config_.reset_os_idle_timer && !zero_data_mode_) set_display_required();
      break;
    case RELOAD:
      links_.push_quit("Adding QUIT from running state machine\n",
                       "Unabled to lock event queue when handling incoming event from rsm\n");
      break;
    case ZERO_DATA:
      ++zero_data_frames_;
      if (zero_data_frames_ < zero_data_frames_before_mode) return;
      if (!zero_data_mode_) {
        trace_line(log_level::info, tag)
            << "Received " << zero_data_frames_before_mode << " frames of zero data. Suspending engine\n";
        zero_data_mode_ = true;
      }
      break;
    case USER_IS_ACTIVE:
      if (old_state == USER_ABSENT) {
        if (current_state_) current_state_->on_user_activity();
        return;
      }
      break;
    default:
      break;
  }
  const states_t new_state = next(old_state, event);
  if (new_state != old_state) handle_states(new_state, old_state);
}

running_state_machine::states_t running_state_machine::next(states_t state, events_t event) {
  if ((event == DISPLAY_REQUIRED_TRUE || event == OS_TIMERS_DISABLED || event == EXTERNAL_DISPLAY) &&
      state != ENGINE_OFF) {
    return USER_PRESENT;
  }
  switch (state) {
    case ENGINE_OFF:
      if (event == START_SENSOR) return USER_PRESENT;
      break;
    case USER_PRESENT:
      if (event == PROXIMITY_FAR) return USER_ABSENT;
      if (event == STOP_SENSOR) return ENGINE_OFF;
      break;
    case USER_ABSENT:
      if (event == PROXIMITY_NEAR) return USER_PRESENT;
      if (event == TIMEOUT_DIM_SCREEN) return DIMMING;
      if (event == STOP_SENSOR) return ENGINE_OFF;
      break;
    case DIMMING:
      if (event == USER_IS_ACTIVE) return USER_ABSENT;
      if (event == PROXIMITY_NEAR) return USER_PRESENT;
      if (event == STOP_SENSOR) return ENGINE_OFF;
      break;
  }
  return state;
}

void running_state_machine::handle_states(states_t new_state, states_t /*old_state*/) {
  // The entry actions below may take a while (daemon runs); DIMMING's timer
  // firing meanwhile would turn the display off in front of a user who has
  // just come back, USER_ABSENT's would leave a dim time-out in the queue.
  // Should the next state fail to build, the machine stays in DIMMING
  // without turning the display off: leaving it brightens anyway.
  if (current_state_) current_state_->stop_timer();
  std::unique_ptr<state_i> next_state;
  switch (new_state) {
    case ENGINE_OFF:
      next_state = std::make_unique<state_engine_off>(
          [this] {
            stop_wait_for_activity();
            suspend_engine();
          },
          [] { trace_line(log_level::info, tag) << "Leaving engine_off\n"; });
      break;
    case USER_PRESENT:
      next_state = std::make_unique<state_user_present>();
      stop_wait_for_activity();
      resume_engine();
      break;
    case USER_ABSENT:
      next_state = std::make_unique<state_user_absent>(
          [this] {
            if (!start_wait_for_activity()) {
              OSTREL_LOCATED(log_level::info, tag)
                  << "WARNING: Unable to create running state machine, failed to start activity process\n";
            }
          },
          [this] { push_event(TIMEOUT_DIM_SCREEN); }, timer_milliseconds(config_.time_to_dim_ms));
      break;
    case DIMMING:
      next_state = std::make_unique<state_dimming>([this] { dimming_start(); }, [this] { display_off_action(); },
                                                   [this] { dimming_end(); },
                                                   timer_milliseconds(config_.dim_duration_ms));
      break;
  }
  // The state is committed only now that its object exists: a throw above
  // leaves the machine in its old state with its old object.
  state_.store(new_state);
  // The new state's entry action has run; the old state's exit action runs now.
  std::unique_ptr<state_i> previous = std::move(current_state_);
  current_state_ = std::move(next_state);
  previous.reset();
}

void running_state_machine::push_event(events_t event) { links_.push(event, nullptr); }

void running_state_machine::dimming_start() {
  if (auto queue = links_.queue()) {
    // Any of these sends the machine back to USER_PRESENT instead of dimming.
    if (is_display_required()) {
      trace_line(log_level::info, tag) << "display required: resetting timers\n";
      queue->add_event(DISPLAY_REQUIRED_TRUE);
      return;
    }
    if (has_external_display()) {
      trace_line(log_level::info, tag) << "external display: resetting timers\n";
      queue->add_event(EXTERNAL_DISPLAY);
      return;
    }
    if (!is_screen_off_timer_enabled()) {
      trace_line(log_level::info, tag) << "screen off timer disabled: resetting timers\n";
      queue->add_event(OS_TIMERS_DISABLED);
      return;
    }
  }
  if (config_.reset_os_idle_timer && !zero_data_mode_) set_display_required();
  dim_screen(static_cast<uint64_t>(std::max<int64_t>(config_.dim_duration_ms, 0) + overlay_margin_ms));
}

void running_state_machine::display_off_action() {
  if (config_.force_lock_after_display_off) {
    trace_line(log_level::info, tag) << "Messaging OS to lock workstation\n";
    lock_screen();
  }
  if (config_.force_sleep_after_display_off) {
    trace_line(log_level::info, tag) << "Messaging OS to turn off display and sleep\n";
    turn_off_display();
  } else {
    trace_line(log_level::info, tag) << "Messaging OS to turn off display\n";
    turn_off_screen_with_os_timers();
  }
}

void running_state_machine::dimming_end() {
  trace_line(log_level::info, tag) << "Leaving dimmed state\n";
  if (!brighten_screen()) OSTREL_LOCATED(log_level::info, tag) << "Failed to brighten screen\n";
  if (!links_.reset_os_video_timers()) OSTREL_LOCATED(log_level::info, tag) << "Failed to reset os video timers\n";
}

bool running_state_machine::dim_screen(uint64_t milliseconds) {
  scope_trace trace(log_level::info, tag, "dim_screen");
  return links_.send(output_signal::SHOW_DIM_SCREEN_OVERLAY, milliseconds,
                     "Unable to lock device interface for dim screen\n");
}

bool running_state_machine::brighten_screen() {
  scope_trace trace(log_level::info, tag, "brighten_screen");
  return links_.send(output_signal::REMOVE_DIM_SCREEN_OVERLAY, nullptr,
                     "Unable to lock device interface for brighten screen\n");
}

bool running_state_machine::set_display_required() {
  scope_trace trace(log_level::info, tag, "set_display_required");
  return links_.send(output_signal::SET_DISPLAY_REQUIRED, nullptr,
                     "Unable to lock device interface for display required\n");
}

bool running_state_machine::lock_screen() {
  scope_trace trace(log_level::info, tag, "lock_screen");
  return links_.send(output_signal::LOCK_SCREEN, nullptr, "Unable to lock device interface for lock screen\n");
}

bool running_state_machine::turn_off_display() {
  scope_trace trace(log_level::info, tag, "turn_off_display");
  return links_.send(output_signal::TURN_OFF_DISPLAY, nullptr,
                     "Unable to lock device interface for turn off display\n");
}

bool running_state_machine::turn_off_screen_with_os_timers() {
  return links_.traced_send("turn_off_screen_with_os_timers", output_signal::OS_VIDEO_TIMER_SCREEN_OFF,
                            "Unable to lock device interface for overriding os video timer\n",
                            "Result of overriding os video timer: ");
}

bool running_state_machine::start_wait_for_activity() {
  scope_trace trace(log_level::info, tag, "start_wait_for_activity");
  const auto device = links_.device("Unable to lock device interface for wait for activity\n");
  if (!device) return false;
  trace_line(log_level::info, tag) << "Starting user activity proc";
  try {
    return device->register_callback(input_signal_package{input_signal::USER_ACTIVITY, {}, {}, nullptr,
                                                          signal_tag::NONE});
  } catch (const std::exception&) {
    trace_line(log_level::error, tag) << "Failed to start activity proc\n";
    return false;
  }
}

bool running_state_machine::stop_wait_for_activity() {
  scope_trace trace(log_level::info, tag, "stop_wait_for_activity");
  const auto device = links_.device("Unable to lock device interface for stopping user activity proc\n");
  if (!device) return false;
  trace_line(log_level::info, tag) << "Stopping user activity proc";
  const bool result =
      device->send_command(output_signal_package{output_signal::STOP_USER_ACTIVITY_PROCESS, nullptr, signal_tag::NONE});
  trace_line(log_level::info, tag) << "stopping user activty proc: " << (result ? "Success" : "Failed");
  return result;
}

bool running_state_machine::suspend_engine() {
  scope_trace trace(log_level::info, tag, "suspend_engine");
  return links_.suspend(engine_gone, "Could not suspend engine\n", log_level::info);
}

bool running_state_machine::resume_engine() {
  scope_trace trace(log_level::info, tag, "resume_engine");
  return links_.resume(engine_gone, "Could not resume engine\n", log_level::info);
}

}  // namespace ostrel
