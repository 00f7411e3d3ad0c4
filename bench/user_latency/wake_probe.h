// How late a sleeping thread of this process runs after its deadline: the
// machine's own scheduling delay, which every timer of the service suffers
// too. Sampled on a thread of its own for as long as the probe lives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

namespace user_latency {

class wake_probe {
 public:
  explicit wake_probe(std::chrono::milliseconds period);
  ~wake_probe();
  wake_probe(const wake_probe&) = delete;
  wake_probe& operator=(const wake_probe&) = delete;

  // Stops sampling; the lateness of every wake-up, in milliseconds.
  std::vector<double> finish();

 private:
  void sample();

  const std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable stop_changed_;
  bool stop_ = false;  // guarded by mutex_
  std::vector<double> lateness_ms_;  // written by the probe's thread until it ends
  std::future<void> thread_;
};

}  // namespace user_latency
