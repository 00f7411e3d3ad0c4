// A daemon query through the service's own runner against the same daemon
// command started and waited for directly (posix_spawn and waitpid), in
// turns, so that both see the same load.
#pragma once

#include <string>
#include <vector>

namespace user_latency {

struct runner_round_trips {
  std::vector<double> runner_ms;
  std::vector<double> bare_ms;
  std::string failure;  // empty when every run answered
};

// `runs` of each; the query is the one the service makes most often.
runner_round_trips measure_runner_round_trips(int runs);

}  // namespace user_latency
