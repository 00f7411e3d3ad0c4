#include "state_machines/nolvane/running_states.h"

#include "logging/trace_line.h"

using ostrel::logging::log_level;
using ostrel::logging::trace_line;

state_engine_off::state_engine_off(const state_action& entry, state_action exit) : exit_(std::move(exit)) {
  if (entry) entry();
}

state_engine_off::~state_engine_off() {
  if (exit_) exit_();
}

state_user_absent::state_user_absent(const state_action& entry, state_action on_timer, uint32_t milliseconds)
    : timer_(std::make_unique<timeout>(milliseconds, std::move(on_timer))) {
  if (entry) entry();
}

state_user_absent::~state_user_absent() = default;  // the timer member cancels and joins

void state_user_absent::on_user_activity() {
  trace_line(log_level::info, "rsm") << "Resetting dim timer\n";
  if (timer_) timer_->restart();
  trace_line(log_level::info, "rsm") << "Resetting dim timer done\n";
}

// A time-out pushed while the next state's entry actions run would wait in
// the queue and dim the screen at once when the user leaves again.
void state_user_absent::stop_timer() { timer_.reset(); }

state_dimming::state_dimming(const state_action& entry, state_action on_timer, state_action exit,
                             uint32_t milliseconds)
    : timer_(std::make_unique<timeout>(milliseconds, std::move(on_timer))), exit_(std::move(exit)) {
  trace_line(log_level::info, "rsm") << "enter state_dimming\n";
  if (entry) entry();
}

void state_dimming::stop_timer() { timer_.reset(); }

state_dimming::~state_dimming() {
  trace_line(log_level::info, "rsm") << "leave state_dimming\n";
  // The display-off timer is stopped before the screen is brightened again:
  // were it to fire while the exit action runs, the display would go dark in
  // front of a user who has just come back.
  timer_.reset();
  if (exit_) exit_();
}
