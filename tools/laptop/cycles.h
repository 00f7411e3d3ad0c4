// Cycles of use on the simulated laptop: one situation each (the user away
// and back, typing while away, a lock, a remote session, an external
// monitor, the charger, a settings change, a service restart), every step
// followed by what the service must show. A cycle starts and ends with leave
// detection running and the user present, so cycles can follow each other in
// any order. Each step's time from the action to the service's answer is
// kept, for measurements of user latency.
#pragma once

#include "laptop.h"
#include "service_log.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace nolvane_sim {

enum class cycle_kind {
  away_and_back,
  input_while_away,
  lock_and_unlock,
  remote_session,
  external_monitor,
  charger,
  settings_change,
  stop_and_restart,
};
inline constexpr size_t cycle_kind_count = 8;

const char* cycle_name(cycle_kind kind);

// What a step waits for: a trace line containing `line` (when not empty),
// then, after it, the state (when given).
struct expectation {
  std::string line;
  std::optional<machine_state> state;
};

struct step_time {
  std::string step;
  std::chrono::steady_clock::duration took{};
};

class cycle_runner {
 public:
  // Leave detection running and the user present.
  static const machine_state settled;

  cycle_runner(laptop& machine, service_log& log, std::chrono::milliseconds step_timeout);

  // Starts the service and waits until it has settled; "" or what went wrong.
  std::string start();
  // Runs one cycle; "" when every step got its answer and the service ended
  // settled, else what went wrong.
  std::string run(cycle_kind kind);
  // The steps of the last start or cycle.
  const std::vector<step_time>& steps() const { return steps_; }

 private:
  // Acts, then waits for `expected`; false (with the failure noted) when the
  // service did not answer in time.
  bool step(const std::string& name, const std::function<void()>& act, const expectation& expected);
  bool wait_for(const expectation& expected, size_t cursor);
  std::string start_and_settle();

  struct action {
    std::string name;
    std::function<void()> act;
    expectation expected;
  };
  // The actions in order, as far as the service answers them; then the end check.
  std::string run_steps(const std::vector<action>& actions);
  std::string finish_cycle();

  std::string away_and_back();
  std::string input_while_away();
  std::string lock_and_unlock();
  std::string remote_session();
  std::string external_monitor();
  std::string charger();
  std::string settings_change();
  std::string stop_and_restart();

  laptop& machine_;
  service_log& log_;
  const std::chrono::milliseconds step_timeout_;
  std::vector<step_time> steps_;
  std::string failure_;
  DWORD lock_screen_timeout_ = 0;  // the last value a settings change wrote
};

}  // namespace nolvane_sim
