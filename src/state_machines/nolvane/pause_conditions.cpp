// The running machine's pause-condition task: every 2 seconds it asks whether
// an application requires the display, an external display is attached or
// the screen-off time-out is disabled, and steers the machine into or out of
// ENGINE_OFF with STOP_SENSOR and START_SENSOR.
#include "logging/trace_line.h"
#include "state_machines/nolvane/running_state_machine.h"

#include <chrono>
#include <exception>
#include <system_error>

namespace ostrel {

using logging::log_level;
using logging::scope_trace;
using logging::trace_line;

namespace {

constexpr const char* tag = "rsm";
constexpr std::chrono::nanoseconds poll_interval(2'000'000'000);

}  // namespace

const char* run_sensor_condition_name(run_sensor_condition condition) {
  switch (condition) {
    case run_sensor_condition::display_required:
      return "display_required";
    case run_sensor_condition::external_display_connected:
      return "external_display_connected";
    case run_sensor_condition::system_timer_disabled:
      return "system_timer_disabled";
  }
  return "Unkownon run_sensor_condition";
}

bool running_state_machine::is_display_required() {
  std::lock_guard<std::mutex> lock(display_required_lock_);
  if (config_.allow_hpd_with_display_required) return false;
  return links_.ask(input_signal::IS_DISPLAY_REQUIRED, "Unable to lock device interface for display required\n");
}

bool running_state_machine::has_external_display() {
  std::lock_guard<std::mutex> lock(external_display_lock_);
  if (config_.allow_leave_with_external_monitor) return false;
  return links_.ask(input_signal::HAS_EXTERNAL_DISPLAY, "Unable to lock device interface for external display\n");
}

bool running_state_machine::is_screen_off_timer_enabled() {
  std::lock_guard<std::mutex> lock(screen_off_timer_lock_);
  if (config_.allow_hpd_when_system_timer_disabled) return true;
  return links_.ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED,
                    "Unable to lock device interface for screen off timer enabled\n");
}

bool running_state_machine::start_check_pause_conditions(std::atomic<bool>& stop) {
  scope_trace trace(log_level::info, tag, "start_check_pause_conditions");
  try {
    pause_task_ = std::async(std::launch::async, &running_state_machine::check_pause_conditions, this, &stop);
  } catch (const std::system_error& e) {
    trace_line(log_level::error, tag) << "Unable to start check pause conditions: " << e.what() << "\n";
    return false;
  }
  return true;
}

void running_state_machine::stop_check_pause_conditions() {
  scope_trace trace(log_level::info, tag, "stop_check_pause_conditions");
  trace_line(log_level::info, tag) << "Stopping check pause conditions\n";
  {
    std::lock_guard<std::mutex> lock(wait_lock_);
    pause_check_stop_ = true;
  }
  wait_condition_.notify_all();
  trace_line(log_level::info, tag) << "Notified check pause conditions\n";
  if (pause_task_.valid()) {
    trace_line(log_level::info, tag) << "Waiting for check pause conditions to stop\n";
    pause_task_.get();
    trace_line(log_level::info, tag) << "Wait done\n";
  }
}

void running_state_machine::check_pause_conditions(running_state_machine* machine, std::atomic<bool>* stop) {
  trace_line(log_level::info, tag) << "Check Pause Condition async starting\n";
  while (!*stop) {
    try {
      machine->poll_pause_conditions();
    } catch (const std::exception& e) {
      trace_line(log_level::error, tag) << "Check pause conditions failed: " << e.what() << "\n";
    }
    std::unique_lock<std::mutex> lock(machine->wait_lock_);
    // The stop flag is set under the wait lock and tested here before
    // sleeping, so a stop that arrives while the queries run is not missed.
    const bool stopped = machine->wait_condition_.wait_until(
        lock, std::chrono::steady_clock::now() + poll_interval, [stop] { return stop->load(); });
    if (stopped) trace_line(log_level::info, tag) << "Wait interuped by stop signal\n";
  }
  trace_line(log_level::info, tag) << "Exiting check pause conditions async\n";
}

void running_state_machine::poll_pause_conditions() {
  conditions_[run_sensor_condition::display_required] = is_display_required();
  conditions_[run_sensor_condition::external_display_connected] = has_external_display();
  conditions_[run_sensor_condition::system_timer_disabled] = !is_screen_off_timer_enabled();

  bool any = false;
  for (const auto& entry : conditions_) any = any || entry.second;

  if (state_.load() != ENGINE_OFF) {
    // The map is ordered, so the first holding condition is the one named.
    for (const auto& entry : conditions_) {
      if (!entry.second) continue;
      trace_line(log_level::info, tag) << "Condition: " << run_sensor_condition_name(entry.first)
                                       << " true. Suspending engine\n";
      links_.push(STOP_SENSOR, "Unable to lock event queue to stop sensor\n", log_level::info);
      break;
    }
  } else if (!any) {
    trace_line(log_level::info, tag) << "Stop engine condition removed. Resuming enginen";
    links_.push(START_SENSOR, "Unable to lock event queue to resume sensor\n", log_level::info);
  }
}

}  // namespace ostrel
