#include "state_machines/nolvane/state_machine.h"

#include "logging/service_message.h"
#include "logging/trace_line.h"
#include "state_machines/nolvane/running_state_machine.h"
#include "state_machines/nolvane/stopped_state_machine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace ostrel {

using logging::log_level;
using logging::scope_trace;
using logging::service_message;
using logging::trace_line;

namespace {

constexpr const char* tag = "sm";

const auto process_start = std::chrono::steady_clock::now();

// Milliseconds since the process started.
int32_t process_clock_ms() {
  return static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - process_start).count());
}

bool leaves_for_stopped(events_t event) {
  return event == SESSION_LOCK || event == REMOTE_DESKTOP || event == DISPLAY_OFF || event == STOP_MISCONFIGURED ||
         event == HPD_SENSOR_UNAVAILABLE;
}

}  // namespace

const char* state_machine::state_name(states_t state) {
  switch (state) {
    case INITIAL:
      return "INITIAL";
    case STOPPED:
      return "STOPPED";
    case RUNNING:
      return "RUNNING";
  }
  return "";
}

state_machine::state_machine(std::weak_ptr<device_interface> device, std::weak_ptr<engine_callback_interface> engine,
                             std::weak_ptr<event_queue> queue, std::atomic<bool>* stop_requested)
    : links_(tag, std::move(device), std::move(engine), std::move(queue)),
      stop_requested_(stop_requested),
      state_clock_ms_(process_clock_ms()) {
  trace_line(log_level::info, tag) << "state_machine::state_machine()";
}

state_machine::~state_machine() {
  trace_line(log_level::info, tag) << "state_machine::~state_machine";
  sub_state_machine_.reset();
}

void state_machine::set_device_interface(std::weak_ptr<device_interface> device) {
  links_.set_device(std::move(device));
}

void state_machine::set_engine_interface(std::weak_ptr<engine_callback_interface> engine) {
  links_.set_engine(std::move(engine));
}

void state_machine::set_event_queue(std::weak_ptr<event_queue> queue) { links_.set_queue(std::move(queue)); }

void state_machine::reset() {
  state_ = INITIAL;
  // A new load gives a running machine that could not be built a new chance.
  running_retry_timer_.reset();
  running_build_failures_ = 0;
  running_retry_due_ = false;
}

bool state_machine::start() {
  trace_line(log_level::info, tag) << "Starting leave detection state machine\n";
  if (links_.ask(input_signal::IS_USER_TOKEN_AVAILABLE,
                 "Unable to lock device interface for user token available\n")) {
    // The device interface pushes SESSION_UNLOCK or REMOTE_DESKTOP itself,
    // but nothing for a locked session; without an event the machine would
    // wait in INITIAL, where a display or remote event starts leave
    // detection on the lock screen.
    const bool unlocked =
        links_.ask(input_signal::IS_SESSION_LOCKED, "Unable to lock device interface for is session locked\n");
    links_.ask(input_signal::IS_REMOTE_SESSION, "Unable to lock device interface for is remote session\n");
    if (unlocked) {
      trace_line(log_level::info, tag) << "Leave detection state machine has started\n";
      return true;
    }
    trace_line(log_level::info, tag) << "Session is locked, going into stopped state\n";
  } else {
    trace_line(log_level::info, tag) << "User token is not available, going into stopped state\n";
  }
  if (!links_.push(SESSION_LOCK, "Unable to lock event queue when starting ldsm\n")) return false;
  trace_line(log_level::info, tag) << "Leave detection state machine has started\n";
  return true;
}

bool state_machine::set_config(std::shared_ptr<config::reader> reader) {
  reader_ = reader;
  auto locked = reader_.lock();
  if (!locked) {
    trace_line(log_level::error, tag) << "CONFIG ERROR: Unable to lock config reader when reading SM config\n";
    return false;
  }
  namespace v = config::values;
  const int32_t lock_screen_timeout = locked->read_dword(v::lock_screen_timeout);
  const int32_t from_dim_to_lock_timeout = locked->read_dword(v::dim_duration);
  const int32_t flags[] = {
      locked->read_dword(v::enable_with_external_monitor),
      locked->read_dword(v::enable_with_display_required),
      locked->read_dword(v::enable_always_require_sign_in),
      locked->read_dword(v::reset_os_idle_timer),
      locked->read_dword(v::allow_leave_when_system_timer_disabled),
      locked->read_dword(v::sleep_after_display_off),
      locked->read_dword(v::lock_after_display_off),
  };
  static const char* const flag_messages[] = {
      "CONFIG ERROR: 'allow_leave_with_external_monitor' is not boolean\n",
      "CONFIG ERROR: 'allow_hpd_with_display_required' is not boolean\n",
      "CONFIG ERROR: 'always_require_sign_in' is not boolean\n",
      "CONFIG ERROR: 'reset_os_idle_timer' is not boolean\n",
      "CONFIG ERROR: 'allow_hpd_when_system_timer_disabled' is not boolean\n",
      "CONFIG ERROR: 'force_sleep_after_display_off' is not boolean\n",
      "CONFIG ERROR: 'force_lock_after_display_off' is not boolean\n",
  };

  bool valid = true;
  if (lock_screen_timeout < 0) {
    trace_line(log_level::error, tag) << "CONFIG ERROR: 'lock_screen_timeout' is negative\n";
    valid = false;
  }
  if (from_dim_to_lock_timeout < 0) {
    trace_line(log_level::error, tag) << "CONFIG ERROR: 'from_dim_to_lock_timeout' is negative\n";
    valid = false;
  }
  for (size_t i = 0; i < sizeof(flags) / sizeof(flags[0]); ++i) {
    if (static_cast<uint32_t>(flags[i]) > 1) {
      trace_line(log_level::error, tag) << flag_messages[i];
      valid = false;
    }
  }
  if (!valid) return false;

  // Widened before the arithmetic so that no value of the settings can
  // overflow; the user-absent wait is never below five seconds.
  const int64_t l = lock_screen_timeout;
  const int64_t d = from_dim_to_lock_timeout;
  sm_config fresh;
  fresh.time_to_dim_ms = (std::max(l, d + 5) - d) * 1000;
  fresh.dim_duration_ms = d * 1000;
  fresh.allow_leave_with_external_monitor = flags[0] != 0;
  fresh.allow_hpd_with_display_required = flags[1] != 0;
  fresh.always_require_sign_in = flags[2] != 0;
  fresh.reset_os_idle_timer = flags[3] != 0;
  fresh.allow_hpd_when_system_timer_disabled = flags[4] != 0;
  fresh.force_sleep_after_display_off = flags[5] != 0;
  fresh.force_lock_after_display_off = flags[6] != 0;
  config_ = fresh;
  return true;
}

void state_machine::set_device_compatibility(bool compatible) {
  auto reader = reader_.lock();
  if (!reader) {
    OSTREL_LOCATED(log_level::error, tag)
        << "CONFIG WARNING: Unable to lock config reader when setting device compatability\n";
    return;
  }
  if ((reader->read_dword(config::values::device_compatibility) != 0) == compatible) return;
  OSTREL_LOCATED(log_level::info, tag) << "Setting device compatability to " << (compatible ? 1 : 0) << "\n";
  reader->write_dword(config::values::device_compatibility, compatible ? 1 : 0);
}

// Leave detection runs again only with the user back at an unlocked session,
// as the stopped machine sees it now: a START_MACHINE queued behind a lock,
// or a sensor report that was on its way when the session locked, must not
// start it on the lock screen. The event still reaches the stopped machine.
bool state_machine::stopped_machine_allows_running(events_t event) const {
  const auto* stopped = dynamic_cast<const stopped_state_machine*>(sub_state_machine_.get());
  return stopped != nullptr && stopped->allows_running_on(event) && !running_build_blocked();
}

bool state_machine::running_build_blocked() const { return running_build_failures_ > 0 && !running_retry_due_; }

void state_machine::enter_stopped() {
  // The new machine is complete before the old one goes: it suspends the
  // engine before the running machine's destructor tears things down.
  std::unique_ptr<sub_state_machine_interface> fresh =
      std::make_unique<stopped_state_machine>(config_, links_.device_link(), links_.queue_link(),
                                              links_.engine_link());
  std::swap(sub_state_machine_, fresh);
  state_ = STOPPED;
}

void state_machine::enter_running() {
  try {
    std::unique_ptr<sub_state_machine_interface> fresh =
        std::make_unique<running_state_machine>(config_, links_.device_link(), links_.engine_link(),
                                                links_.queue_link());
    std::swap(sub_state_machine_, fresh);
  } catch (const std::runtime_error& e) {
    running_machine_failed(e.what());
    return;
  }
  state_ = RUNNING;
  state_clock_ms_ = process_clock_ms();
  last_substate_name_ = "none";
  running_build_failures_ = 0;
  running_retry_timer_.reset();
}

// Leave detection cannot run. The service waits in STOPPED, with a stopped
// machine and the engine suspended, instead of reporting RUNNING without a
// running machine, and retries after a pause.
void state_machine::running_machine_failed(const char* what) {
  ++running_build_failures_;
  if (running_build_failures_ == 1) trace_line(log_level::error, tag) << "Handle incoming event failed: " << what;
  // Only STOPPED's own stopped machine is kept: one left from before a reset
  // holds the previous load's engine and queue, and may wait in a state that
  // never asks to run again.
  if (state_ != STOPPED) enter_stopped();
  if (running_build_failures_ > running_machine_retries || !arm_running_retry()) give_up_running();
}

bool state_machine::arm_running_retry() {
  running_retry_due_ = false;
  // A copy: the timer's task must not read the member the next load replaces.
  std::weak_ptr<event_queue> queue = links_.queue_link();
  try {
    running_retry_timer_ = std::make_unique<timeout>(
        static_cast<uint32_t>(running_machine_retry_delay.count()), [this, queue] {
          running_retry_due_ = true;
          if (auto locked = queue.lock()) locked->add_event(START_MACHINE);
        });
  } catch (const std::exception&) {
    return false;  // no thread for the timer either
  }
  return true;
}

void state_machine::give_up_running() {
  running_retry_timer_.reset();
  running_retry_due_ = false;
  constexpr const char* text =
      "ERROR: Unable to create running state machine. Leave detection stays stopped until the service reloads\n";
  trace_line(log_level::error, tag) << text;
  service_message() << text;
}

state_machine::states_t state_machine::next_state(states_t state, events_t event) {
  switch (event) {
    case HPD_SENSOR_UNAVAILABLE:
      OSTREL_LOCATED(log_level::info, tag) << "HPD sensor unavailable\n";
      set_device_compatibility(false);
      break;
    case HPD_SENSOR_AVAILABLE:
      OSTREL_LOCATED(log_level::info, tag) << "HPD sensor available\n";
      set_device_compatibility(true);
      break;
    case DISPLAY_OFF:
    case DISPLAY_ON:
      if (!links_.reset_os_video_timers()) {
        OSTREL_LOCATED(log_level::info, tag) << "WARNING: Failed to reset os video timers\n";
      }
      break;
    default:
      break;
  }

  switch (state) {
    case INITIAL:
      if (leaves_for_stopped(event)) return STOPPED;
      if (event == SESSION_UNLOCK || event == NOT_REMOTE_DESKTOP || event == DISPLAY_ON || event == START_MACHINE) {
        return RUNNING;
      }
      if (event == RELOAD) {
        if (auto queue = links_.queue()) {
          trace_line(log_level::info, tag) << "Adding QUIT from leave detection state machine\n";
          queue->add_event(QUIT);
        } else {
          OSTREL_LOCATED(log_level::error, tag) << "Unabled to lock event queue when handling next state from ldsm\n";
        }
      }
      return INITIAL;
    case STOPPED:
      if ((event == START_MACHINE || event == HPD_SENSOR_AVAILABLE) && stopped_machine_allows_running(event)) {
        return RUNNING;
      }
      return STOPPED;
    case RUNNING:
      if (leaves_for_stopped(event)) return STOPPED;
      return RUNNING;
  }
  return state;
}

void state_machine::handle_incoming_event(events_t event) {
  trace_line(log_level::info, tag) << "state_machine::handle_incoming_event: " << event_name(event);
  const states_t old_state = state_;
  const events_t previous_event = last_event_;
  // The state changes once its sub-state machine exists.
  const states_t wanted = next_state(old_state, event);
  if (wanted == STOPPED && old_state != STOPPED) enter_stopped();
  if (wanted == RUNNING && old_state != RUNNING) enter_running();

  if (!sub_state_machine_) {
    push_states_to_engine({static_cast<float>(event), static_cast<float>(state_), static_cast<float>(old_state),
                           -1.0f, -1.0f});
    return;
  }

  const float before = sub_state_machine_->get_state_value();
  const bool new_event = event != previous_event;
  // While no running machine can be built, the stopped machine's own
  // requests to run are not handed back to it: in UNLOCKED it answers every
  // event with another START_MACHINE, which would make a busy loop.
  const bool swallowed = state_ == STOPPED && event == START_MACHINE && running_build_blocked();
  if (!swallowed) {
    if (new_event) {
      trace_line(log_level::info, tag) << "Start handling of sub-state machine of event: " << event_name(event);
    }
    sub_state_machine_->handle_incoming_event(event);
    if (new_event) {
      trace_line(log_level::info, tag) << "End handling of sub-state machine of event: " << event_name(event);
    }
  }
  const std::string name = sub_state_machine_->get_state_name();
  if (new_event || name != last_substate_name_) {
    const int32_t now = process_clock_ms();
    const float seconds = static_cast<float>(now - state_clock_ms_) / 1000.0f;
    trace_line(log_level::info, tag) << "event:" << event_name(event) << " state:" << state_name(state_)
                                     << " substate:" << name << " prev_event:" << event_name(previous_event)
                                     << " prev_state:" << state_name(old_state)
                                     << " prev_substate:" << last_substate_name_ << " duration:" << seconds << "\n";
    state_clock_ms_ = now;
  }
  last_event_ = event;
  last_substate_name_ = name;
  push_states_to_engine({static_cast<float>(event), static_cast<float>(state_), static_cast<float>(old_state),
                         sub_state_machine_->get_state_value(), before});
}

void state_machine::push_states_to_engine(const state_vector& vector) {
  const auto engine = links_.engine("Unable to lock engine interface from push states to engine\n");
  if (!engine) return;
  if (!engine->engine_send_cb) {
    trace_line(log_level::error, tag) << "Engine interface sensor input callback is nullptr\n";
    return;
  }
  // Little-endian whatever the host, as the engine expects.
  const float values[] = {vector.event, vector.state, vector.previous_state, vector.substate,
                          vector.previous_substate};
  uint8_t bytes[sizeof(values)];
  for (size_t i = 0; i < 5; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &values[i], sizeof(bits));
    for (size_t b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<uint8_t>(bits >> (8 * b));
  }
  engine->engine_send_cb(state_vector_id, bytes, sizeof(bytes));
}

}  // namespace ostrel
