// The benchmark's one table: each figure, its goal and whether it holds, as
// a Markdown table (so the README can show a run as it came).
#pragma once

#include "samples.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace user_latency {

class table {
 public:
  // `judge`: whether goals are judged at all (a short run only shows the figures).
  explicit table(bool judge) : judge_(judge) {}

  // A figure without a goal.
  void add(const std::string& figure, const std::string& value);
  // A figure with a goal, and whether it holds.
  void add(const std::string& figure, const std::string& value, const std::string& goal, bool holds);
  // A distribution against a goal on its 99th percentile.
  void add_p99(const std::string& figure, const summary& s, double goal_ms);

  void print(std::ostream& out) const;
  // Every judged goal holds.
  bool all_hold() const;

 private:
  struct row {
    std::string figure;
    std::string value;
    std::string goal;
    std::optional<bool> holds;
  };
  bool judge_;
  std::vector<row> rows_;
};

// "median 1.20 ms, p99 3.40 ms, max 5.60 ms (n 200)"
std::string describe(const summary& s);
std::string fixed(double value, int decimals);

}  // namespace user_latency
