// A one-shot, restartable timer: runs its action once, on its own task, when
// the time has passed without a restart. Destroying it cancels a pending
// firing and waits for a running action to finish.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>

class timeout {
 public:
  using action_t = std::function<void()>;

  // 0 ms runs the action at once on the calling thread; no task is started.
  timeout(uint32_t milliseconds, action_t action);
  ~timeout();
  timeout(const timeout&) = delete;
  timeout& operator=(const timeout&) = delete;

  // The time starts again from now; no effect once the timer has fired.
  void restart();

 private:
  void wait_loop();

  const std::chrono::milliseconds duration_;
  const action_t action_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> restart_{false};
  std::atomic<bool> waiting_{false};
  std::future<void> task_;
};
