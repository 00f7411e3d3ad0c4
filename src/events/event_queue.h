// The one channel from every producer thread to the state-machine thread.
// QUIT is never stored: it empties the queue and ends the processing loop.
#pragma once

#include "events/events.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace ostrel {

class event_queue {
 public:
  using event_callback = std::function<void(events_t)>;

  event_queue() = default;
  ~event_queue();
  event_queue(const event_queue&) = delete;
  event_queue& operator=(const event_queue&) = delete;

  // Set before the processing loop starts; replaces (and destroys) the old one.
  void set_event_callback(event_callback callback);
  // Thread-safe, also from inside the callback.
  void add_event(events_t event);
  // Takes and delivers at most one event; delivery happens outside the lock.
  bool process_next_event();
  // Delivers events until the running flag goes false (QUIT).
  void process_events();

 private:
  void quit_locked();

  std::mutex mutex_;
  std::condition_variable event_added_;
  std::deque<events_t> pending_;
  event_callback event_cb_;
  std::atomic<bool> running_{true};
};

}  // namespace ostrel
