// The service's trace lines as the trace session receives them, and what
// they tell about the leave-detection state machine. The lines are taken
// out of the session as they are read, so a long run holds only the lines
// it has not forgotten yet.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace nolvane_sim {

// The top-level state and sub-state of the service's state machine, as its
// trace line "event:E state:S substate:U ..." names them.
struct machine_state {
  std::string state;
  std::string substate;
  bool operator==(const machine_state& other) const {
    return state == other.state && substate == other.substate;
  }
  bool operator!=(const machine_state& other) const { return !(*this == other); }
};

std::string to_string(const machine_state& s);

// The state a trace line reports, if it is the state machine's state line.
std::optional<machine_state> state_of_line(const std::string& line);

class service_log {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  // Takes the lines the session received since the last call; how many.
  size_t update();
  // Blocks until the session has lines that update() has not taken yet, or
  // `timeout` has passed; true when it has.
  bool wait(std::chrono::milliseconds timeout) const;
  // The lines kept: every line since the last forget().
  const std::vector<std::string>& lines() const { return lines_; }
  // When the session received each kept line.
  const std::vector<time_point>& times() const { return times_; }

  // The first kept line at or after `*cursor` that contains `part`; moves
  // the cursor past it.
  bool find(const std::string& part, size_t* cursor) const;
  // The same for the first state line that reports `expected`.
  bool find_state(const machine_state& expected, size_t* cursor) const;
  // The state the latest state line reported.
  std::optional<machine_state> state() const { return state_; }

  // Drops the kept lines; the state they reported stays known. Cursors
  // into the old lines start again at 0.
  void forget() {
    lines_.clear();
    times_.clear();
  }

 private:
  std::vector<std::string> lines_;
  std::vector<time_point> times_;
  std::optional<machine_state> state_;
};

}  // namespace nolvane_sim
