#include "device/session_task.h"

#include "logging/trace_line.h"

#include <exception>

namespace ostrel {
namespace {

using logging::log_level;
using logging::trace_line;

constexpr const char* tag = "runner";

unique_event create_cancel_event() {
  return unique_event(
      ::CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, /*lpName=*/nullptr));
}

}  // namespace

void log_current_exception() {
  try {
    throw;
  } catch (const std::exception& e) {
    trace_line(log_level::error, tag) << "ERROR: " << e.what() << "\n";
  } catch (...) {
    trace_line(log_level::error, tag) << "ERROR: Unknown exception\n";
  }
}

void session_task::trace(const char* text) const {
  if (text != nullptr) trace_line(log_level::info, tag) << text;
}

void session_task::take_result() {
  try {
    task_.get();
  } catch (...) {
    log_current_exception();
  }
}

void session_task::set_cancel_event(bool traced) {
  if (traced) trace(texts_.setting_event);
  ::SetEvent(cancel_event_.get());
}

void session_task::wait_for_task(bool traced) {
  if (traced) trace(texts_.waiting);
  task_.wait();
  if (traced) trace(texts_.got);
  take_result();
}

void session_task::ready_cancel_event() {
  if (cancel_event_) {
    trace("Resetting event");
    trace(::ResetEvent(cancel_event_.get()) ? texts_.event_reset : texts_.reset_failed);
  } else {
    trace(texts_.creating);
    cancel_event_ = create_cancel_event();
  }
}

void session_task::reset() {
  if (task_.valid()) {
    trace(texts_.stopping);
    stopping_ = true;
    if (cancel_event_) {
      set_cancel_event(/*traced=*/true);
      wait_for_task(/*traced=*/true);
    } else {
      // Cannot happen once a task has started; the assignment below then
      // waits for the daemon to end by itself.
      trace(texts_.no_event);
    }
  }
  ready_cancel_event();
  task_ = std::future<void>();
  stopping_ = false;
}

void session_task::teardown() {
  stopping_ = true;
  if (cancel_event_) set_cancel_event(texts_.trace_teardown);
  if (task_.valid()) wait_for_task(texts_.trace_teardown);
  if (cancel_event_) {
    trace(texts_.closing);
    cancel_event_.reset();
  }
  trace(texts_.closed);
  task_ = std::future<void>();
  stopping_ = false;
}

}  // namespace ostrel
