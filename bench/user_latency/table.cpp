#include "table.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace user_latency {

std::string fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

std::string describe(const summary& s) {
  if (s.count == 0) return "no samples";
  return "median " + fixed(s.median_ms, 2) + " ms, p99 " + fixed(s.p99_ms, 2) + " ms, max " + fixed(s.max_ms, 2) +
         " ms (n " + std::to_string(s.count) + ")";
}

void table::add(const std::string& figure, const std::string& value) { rows_.push_back({figure, value, "", {}}); }

void table::add(const std::string& figure, const std::string& value, const std::string& goal, bool holds) {
  rows_.push_back({figure, value, goal, judge_ ? std::optional<bool>(holds) : std::nullopt});
}

void table::add_p99(const std::string& figure, const summary& s, double goal_ms) {
  add(figure, describe(s), "p99 ≤ " + fixed(goal_ms, 0) + " ms", s.count > 0 && s.p99_ms <= goal_ms);
}

void table::print(std::ostream& out) const {
  const std::vector<std::string> heading{"figure", "measured", "goal", "holds"};
  std::vector<std::vector<std::string>> cells{heading};
  for (const auto& r : rows_) {
    const std::string holds = !r.holds ? (r.goal.empty() ? "" : "not judged") : (*r.holds ? "yes" : "NO");
    cells.push_back({r.figure, r.value, r.goal, holds});
  }
  std::vector<size_t> width(heading.size(), 0);
  // Widths in characters as a terminal shows them: "≤" is one, not three bytes.
  const auto shown_width = [](const std::string& s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], shown_width(line[i]));
  }
  const auto print_line = [&](const std::vector<std::string>& line) {
    out << "|";
    for (size_t i = 0; i < line.size(); ++i) out << " " << line[i] << std::string(width[i] - shown_width(line[i]), ' ') << " |";
    out << "\n";
  };
  print_line(cells[0]);
  out << "|";
  for (size_t w : width) out << std::string(w + 2, '-') << "|";
  out << "\n";
  for (size_t i = 1; i < cells.size(); ++i) print_line(cells[i]);
}

bool table::all_hold() const {
  return std::all_of(rows_.begin(), rows_.end(), [](const row& r) { return !r.holds || *r.holds; });
}

}  // namespace user_latency
