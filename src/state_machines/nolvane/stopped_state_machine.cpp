#include "state_machines/nolvane/stopped_state_machine.h"

#include "logging/trace_line.h"

namespace ostrel {

using logging::log_level;
using logging::scope_trace;
using logging::trace_line;

namespace {
constexpr const char* tag = "ssm";
constexpr const char* queue_gone = "Unabled to lock event queue when handling next state from ldsm\n";
}  // namespace

const char* stopped_state_machine::state_name(states_t state) {
  switch (state) {
    case LOCKED:
      return "LOCKED";
    case UNLOCKED:
      return "UNLOCKED";
    case MISCONFIGURED:
      return "MISCONFIGURED";
    case ABSENT:
      return "ABSENT";
    case LOCKED_ABSENT:
      return "LOCKED_ABSENT";
    case RELOAD_LOCKED:
      return "RELOAD_LOCKED";
    case RELOAD_ABSENT:
      return "RELOAD_ABSENT";
    case RELOAD_LOCKED_ABSENT:
      return "RELOAD_LOCKED_ABSENT";
    case RELOAD_UNLOCKED:
      return "RELOAD_UNLOCKED";
    case RELOAD_MISCONFIGURED:
      return "RELOAD_MISCONFIGURED";
    case SENSOR_UNAVAILABLE:
      break;
  }
  return "unknown";
}

stopped_state_machine::stopped_state_machine(const sm_config& config, std::weak_ptr<device_interface> device,
                                             std::weak_ptr<event_queue> queue,
                                             std::weak_ptr<engine_callback_interface> engine)
    : config_(config), links_(tag, std::move(device), std::move(engine), std::move(queue)) {
  trace_line(log_level::info, tag) << "stopped_state_machine::stopped_state_machine()";
  suspend_engine();
}

stopped_state_machine::~stopped_state_machine() {
  // The engine is resumed by the running machine that follows, not here.
  trace_line(log_level::info, tag, "~stopped_state_machine") << "Enter";
  trace_line(log_level::info, tag, "~stopped_state_machine") << "Exit";
}

std::string stopped_state_machine::get_state_name() const { return state_name(state_); }

float stopped_state_machine::get_state_value() const { return static_cast<float>(state_); }

bool stopped_state_machine::allows_running_on(events_t event) const {
  return state_ == UNLOCKED || (state_ == SENSOR_UNAVAILABLE && event == HPD_SENSOR_AVAILABLE);
}

void stopped_state_machine::handle_incoming_event(events_t event) {
  trace_line(log_level::info, tag) << "Incoming event in Locked state " << event_name(event) << "\n";
  remember(event);
  state_ = next(state_, event);
  // Disabled, an unlocked session only waits for the reload (no START_MACHINE,
  // no lock), as MISCONFIGURED does.
  if (misconfigured_ && (state_ == UNLOCKED || state_ == SENSOR_UNAVAILABLE || state_ == ABSENT)) {
    state_ = MISCONFIGURED;
  }
  if (state_ == UNLOCKED && sensor_unavailable_) state_ = SENSOR_UNAVAILABLE;
  // Also when nothing changed: a START_MACHINE or QUIT that could not be
  // pushed before is pushed again, and ABSENT locks again.
  handle_state(state_);
}

void stopped_state_machine::remember(events_t event) {
  switch (event) {
    case DISPLAY_OFF:
      display_off_ = true;
      break;
    case DISPLAY_ON:
      display_off_ = false;
      break;
    case REMOTE_DESKTOP:
      remote_ = true;
      break;
    case NOT_REMOTE_DESKTOP:
      remote_ = false;
      break;
    case HPD_SENSOR_UNAVAILABLE:
      sensor_unavailable_ = true;
      break;
    case HPD_SENSOR_AVAILABLE:
      sensor_unavailable_ = false;
      break;
    case STOP_MISCONFIGURED:
      misconfigured_ = true;
      break;
    default:
      break;
  }
}

stopped_state_machine::states_t stopped_state_machine::next(states_t state, events_t event) const {
  const bool away = event == REMOTE_DESKTOP || event == DISPLAY_OFF;
  // The display back on a remote session, or a local session with the display still off, is not back.
  const bool back = (event == NOT_REMOTE_DESKTOP || event == DISPLAY_ON) && !display_off_ && !remote_;
  switch (state) {
    case LOCKED:
      if (event == SESSION_UNLOCK) return UNLOCKED;
      if (away) return LOCKED_ABSENT;
      if (event == RELOAD) return RELOAD_LOCKED;
      break;
    case UNLOCKED:
      if (event == SESSION_LOCK) return LOCKED;
      if (away) return ABSENT;
      if (event == STOP_MISCONFIGURED) return MISCONFIGURED;
      if (event == HPD_SENSOR_UNAVAILABLE) return SENSOR_UNAVAILABLE;
      // The user is back: nothing holds a reload back.
      if (event == RELOAD) return RELOAD_UNLOCKED;
      break;
    case MISCONFIGURED:
      if (event == RELOAD) return RELOAD_UNLOCKED;
      break;
    case ABSENT:
      if (event == SESSION_LOCK) return LOCKED_ABSENT;
      if (back) return UNLOCKED;
      if (event == RELOAD) return RELOAD_ABSENT;
      break;
    case LOCKED_ABSENT:
      if (event == SESSION_UNLOCK) return ABSENT;
      if (back) return LOCKED;
      if (event == RELOAD) return RELOAD_LOCKED_ABSENT;
      break;
    case RELOAD_LOCKED:
      if (event == SESSION_UNLOCK) return RELOAD_UNLOCKED;
      if (away) return RELOAD_LOCKED_ABSENT;
      break;
    case RELOAD_ABSENT:
      if (event == SESSION_LOCK) return RELOAD_LOCKED_ABSENT;
      if (back) return RELOAD_UNLOCKED;
      break;
    case RELOAD_LOCKED_ABSENT:
      if (event == SESSION_UNLOCK) return RELOAD_ABSENT;
      if (back) return RELOAD_LOCKED;
      break;
    case RELOAD_UNLOCKED:
      break;
    case RELOAD_MISCONFIGURED:
      if (event == RELOAD) return RELOAD_UNLOCKED;
      break;
    case SENSOR_UNAVAILABLE:
      if (event == HPD_SENSOR_AVAILABLE) return UNLOCKED;
      // Followed like UNLOCKED, so that a sensor coming back never finds the
      // session locked, remote or dark.
      if (event == SESSION_LOCK) return LOCKED;
      if (away) return ABSENT;
      if (event == RELOAD) return RELOAD_UNLOCKED;
      break;
  }
  return state;
}

void stopped_state_machine::handle_state(states_t state) {
  switch (state) {
    case UNLOCKED:
      links_.push(START_MACHINE, queue_gone);
      break;
    case ABSENT:
      if (config_.always_require_sign_in) {
        OSTREL_LOCATED(log_level::info, tag) << "Locking screen because always_require_sign_in is set\n";
        turn_off_display_and_lock();
      }
      break;
    case RELOAD_UNLOCKED:
      links_.push_quit("Adding QUIT from stopped state machine\n", queue_gone);
      break;
    default:
      break;
  }
}

void stopped_state_machine::suspend_engine() {
  scope_trace trace(log_level::info, tag, "suspend_engine");
  links_.suspend("Unable to lock engine interface from stopped state machine\n", "Could not suspend engine\n",
                 log_level::error);
}

void stopped_state_machine::turn_off_display_and_lock() {
  scope_trace trace(log_level::info, tag, "turn_off_display_and_lock");
  links_.send(output_signal::TURN_OFF_DISPLAY_AND_LOCK, nullptr,
              "Unable to lock device interface for turn off display\n");
}

}  // namespace ostrel
