#include "events/event_queue.h"

#include "logging/trace_line.h"

namespace ostrel {

using logging::log_level;
using logging::trace_line;

event_queue::~event_queue() {
  running_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  event_added_.notify_one();
}

void event_queue::set_event_callback(event_callback callback) { event_cb_ = std::move(callback); }

void event_queue::quit_locked() {
  pending_.clear();
  running_ = false;
}

void event_queue::add_event(events_t event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (event == QUIT) {
    quit_locked();
  } else {
    pending_.push_back(event);
  }
  event_added_.notify_one();
}

bool event_queue::process_next_event() {
  events_t event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return false;
    event = pending_.front();
    pending_.pop_front();
  }
  if (event_cb_) {
    event_cb_(event);
    return true;
  }
  if (event == RELOAD) {
    trace_line(log_level::info, "runner") << "Adding QUIT due to missing evebt_cb\n";
    add_event(QUIT);
    return true;
  }
  trace_line(log_level::error, "runner") << "Event callback is nullptr\n";
  return false;
}

void event_queue::process_events() {
  trace_line(log_level::info, "runner") << "Start process events: " << (running_ ? 1 : 0) << "\n";
  running_ = true;
  while (running_) {
    while (process_next_event()) {
      if (!running_) return;  // QUIT while delivering: ends without the closing line
    }
    std::unique_lock<std::mutex> lock(mutex_);
    event_added_.wait(lock, [this] { return !pending_.empty() || !running_; });
  }
  trace_line(log_level::info, "runner") << "Done processing events\n";
}

}  // namespace ostrel
