#include "wake_probe.h"

#include "samples.h"

namespace user_latency {

wake_probe::wake_probe(std::chrono::milliseconds period)
    : period_(period), thread_(std::async(std::launch::async, [this] { sample(); })) {}

wake_probe::~wake_probe() { finish(); }

void wake_probe::sample() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const auto deadline = std::chrono::steady_clock::now() + period_;
    if (stop_changed_.wait_until(lock, deadline, [this] { return stop_; })) break;
    lateness_ms_.push_back(milliseconds_between(deadline, std::chrono::steady_clock::now()));
  }
}

std::vector<double> wake_probe::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stop_changed_.notify_all();
  if (thread_.valid()) thread_.get();
  return lateness_ms_;
}

}  // namespace user_latency
