#include "state_machines/nolvane/timeout.h"

#include "logging/trace_line.h"

#include <algorithm>
#include <exception>

using ostrel::logging::log_level;
using ostrel::logging::trace_line;

timeout::timeout(uint32_t milliseconds, action_t action)
    : duration_(milliseconds), action_(std::move(action)) {
  if (milliseconds == 0) {
    if (action_) action_();
    return;
  }
  task_ = std::async(std::launch::async, [this] { wait_loop(); });
}

timeout::~timeout() {
  {
    // The flag changes under the timer's mutex: the task checks it under the
    // same mutex before every wait, so the wake-up below cannot be lost. If
    // the action is running (it holds the mutex) this waits for it to end.
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  wake_.notify_all();
  if (task_.valid()) task_.wait();
}

void timeout::restart() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    restart_ = true;
  }
  wake_.notify_all();
}

void timeout::wait_loop() {
  using clock = std::chrono::steady_clock;
  constexpr auto longest_single_wait = std::chrono::hours(24);

  auto deadline = clock::now() + duration_;
  waiting_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  bool fired = false;
  while (!cancelled_) {
    const auto now = clock::now();
    if (!restart_ && now < deadline) {
      wake_.wait_until(lock, std::min(deadline, now + longest_single_wait));
    }
    if (cancelled_) break;
    if (restart_) {
      restart_ = false;
      deadline = clock::now() + duration_;
      continue;
    }
    if (clock::now() >= deadline) {
      fired = true;
      break;
    }
  }
  if (fired && !cancelled_ && action_) {
    // The action runs under the mutex, so a destructor cannot return while it
    // is still running.
    try {
      action_();
    } catch (const std::exception& e) {
      trace_line(log_level::error, "rsm") << "Timer action failed: " << e.what() << "\n";
    } catch (...) {
      trace_line(log_level::error, "rsm") << "Timer action failed\n";
    }
  }
  waiting_ = false;
}
