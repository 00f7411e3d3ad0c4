// Measured durations and what the table says of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace user_latency {

struct summary {
  size_t count = 0;
  double median_ms = 0;
  double p99_ms = 0;  // the smallest value that at least 99 % of the samples do not exceed
  double max_ms = 0;
};

summary summarize(std::vector<double> samples_ms);

double milliseconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);
// A desktop journal time (microseconds of the steady clock) as a time point.
std::chrono::steady_clock::time_point journal_time(unsigned long long time_us);

}  // namespace user_latency
