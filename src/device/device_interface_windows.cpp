#include "device/device_interface_windows.h"

#include "events/event_queue.h"
#include "logging/trace_line.h"

#include <any>
#include <utility>

using ostrel::logging::log_level;
using ostrel::logging::scope_trace;
using ostrel::logging::trace_line;

namespace {

constexpr const char* tag = "runner";

void enter(const char* function, const char* signal, ostrel::signal_tag signal_tag) {
  trace_line(log_level::info, tag, function) << "Enter Signal: " << signal
                                             << ", Tag: " << ostrel::signal_tag_name(signal_tag) << "\n";
}

// A request never throws to the state machine: what it threw is logged (a
// payload of the wrong type at `bad_payload_level`) and it answers false.
template <typename Request>
bool without_throwing(log_level bad_payload_level, Request&& request) {
  try {
    return request();
  } catch (const std::bad_any_cast& e) {
    trace_line(bad_payload_level, tag) << e.what() << "\n";
  } catch (...) {
    ostrel::log_current_exception();
  }
  return false;
}

constexpr ostrel::session_task::trace_texts activity_texts{
    "Activity proc is active active. Stopping\n",
    "Setting activity event\n",
    "Activty Waiting\n",
    "Activity Get\n",
    "WARNIGN: Activity handle is null",
    "Activity Event reset\n",
    "Failed to reset Activity Event\n",
    "Creating activity event",
    /*trace_teardown=*/false,
    /*closing=*/nullptr,
    /*closed=*/nullptr,
};

constexpr ostrel::session_task::trace_texts dim_texts{
    /*stopping=*/nullptr,
    "Setting dim event\n",
    "Dim Waiting\n",
    "Dim Get\n",
    "WARNIGN: Dim handle is null",
    "Event reset\n",
    "Failed to reset event\n",
    "Creating dim screen event",
    /*trace_teardown=*/true,
    "Closing dim handle\n",
    "Resetting Dim handlse",
};

}  // namespace

demo_helpers_leave_windows::demo_helpers_leave_windows()
    : activity_task_(activity_texts),
      dim_task_(dim_texts),
      context_{activity_task_, dim_task_, video_timers_, [this] { return queue(); },
               [this](std::function<void()> body) { return start_task(std::move(body)); }} {}

demo_helpers_leave_windows::~demo_helpers_leave_windows() { demo_helpers_leave_windows::teardown(); }

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

bool demo_helpers_leave_windows::send_command(const ostrel::output_signal_package& package) {
  enter("send_command", ostrel::output_signal_name(package.signal), package.tag);
  return without_throwing(log_level::error, [&] { return ostrel::send_request(context_, package); });
}

bool demo_helpers_leave_windows::register_callback(const ostrel::input_signal_package& package) {
  enter("register_callback", ostrel::input_signal_name(package.signal), package.tag);
  return without_throwing(log_level::info, [&] { return ostrel::query_request(context_, package); });
}

std::optional<std::any> demo_helpers_leave_windows::get_data(const ostrel::input_signal_package& package) {
  enter("get_data", ostrel::input_signal_name(package.signal), package.tag);
  trace_line(log_level::error, tag) << "ERROR: Get data for signal " << ostrel::input_signal_name(package.signal)
                                    << " not implemented\n";
  return std::nullopt;
}

void demo_helpers_leave_windows::user_activity_teardown() {
  scope_trace trace(log_level::info, tag, "user_activity_teardown");
  activity_task_.teardown();
}

void demo_helpers_leave_windows::dim_screen_teardown() {
  scope_trace trace(log_level::info, tag, "dim_screen_teardown");
  dim_task_.teardown();
}

void demo_helpers_leave_windows::teardown() {
  scope_trace trace(log_level::info, tag, "teardown");
  user_activity_teardown();
  dim_screen_teardown();
}
