// Waiting on observable conditions in tests: poll a predicate until it holds
// or a deadline passes. Never a bare sleep.
#pragma once

#include <chrono>
#include <thread>

namespace ostrel::test {

template <typename Predicate>
bool wait_for(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace ostrel::test
