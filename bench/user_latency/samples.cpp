#include "samples.h"

#include <algorithm>

namespace user_latency {

summary summarize(std::vector<double> samples_ms) {
  summary s;
  s.count = samples_ms.size();
  if (samples_ms.empty()) return s;
  std::sort(samples_ms.begin(), samples_ms.end());
  const size_t n = samples_ms.size();
  s.median_ms = n % 2 == 1 ? samples_ms[n / 2] : (samples_ms[n / 2 - 1] + samples_ms[n / 2]) / 2;
  // Nearest rank: the ceil(0.99 n)-th smallest.
  s.p99_ms = samples_ms[(n * 99 + 99) / 100 - 1];
  s.max_ms = samples_ms.back();
  return s;
}

double milliseconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::chrono::steady_clock::time_point journal_time(unsigned long long time_us) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::microseconds(time_us)));
}

}  // namespace user_latency
