#include "cycles.h"

#include <thread>

namespace nolvane_sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds poll_interval(2);

// Polls `done` until it holds or `timeout` has passed; the last look is at
// the deadline.
template <typename Condition>
bool poll_until(Condition done, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  while (!done()) {
    if (steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(poll_interval);
  }
  return true;
}

const char* const user_settings_ac = "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\PluggedIn";
// Two waits before dimming, both far longer than any cycle keeps the user away.
constexpr DWORD lock_screen_timeouts[] = {45, 46};

machine_state running(const char* substate) { return {"RUNNING", substate}; }
machine_state stopped(const char* substate) { return {"STOPPED", substate}; }

std::string describe(const expectation& e) {
  std::string text;
  if (!e.line.empty()) text = "the line \"" + e.line + "\"";
  if (e.state) text += (text.empty() ? "" : " then ") + std::string("state ") + to_string(*e.state);
  return text;
}

bool monitor_running() {
  for (const auto& p : winsim::machine::processes()) {
    if (p.running && p.command_line.find("--monitor_activity") != std::string::npos) return true;
  }
  return false;
}

}  // namespace

const machine_state cycle_runner::settled{"RUNNING", "USER_PRESENT"};

const char* cycle_name(cycle_kind kind) {
  switch (kind) {
    case cycle_kind::away_and_back: return "away and back";
    case cycle_kind::input_while_away: return "input while away";
    case cycle_kind::lock_and_unlock: return "lock and unlock";
    case cycle_kind::remote_session: return "remote session";
    case cycle_kind::external_monitor: return "external monitor";
    case cycle_kind::charger: return "charger";
    case cycle_kind::settings_change: return "settings change";
    case cycle_kind::stop_and_restart: return "stop and restart";
  }
  return "unknown";
}

cycle_runner::cycle_runner(laptop& machine, service_log& log, milliseconds step_timeout)
    : machine_(machine), log_(log), step_timeout_(step_timeout) {}

bool cycle_runner::wait_for(const expectation& expected, size_t cursor) {
  const auto deadline = steady_clock::now() + step_timeout_;
  bool line_seen = expected.line.empty();
  for (;;) {
    log_.update();
    if (!line_seen) line_seen = log_.find(expected.line, &cursor);
    if (line_seen && (!expected.state || log_.find_state(*expected.state, &cursor))) return true;
    const auto left = std::chrono::ceil<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    // The service's next line is what can change the answer.
    log_.wait(left);
  }
}

bool cycle_runner::step(const std::string& name, const std::function<void()>& act, const expectation& expected) {
  log_.update();
  const size_t cursor = log_.lines().size();
  const auto began = steady_clock::now();
  act();
  const bool answered = wait_for(expected, cursor);
  steps_.push_back({name, steady_clock::now() - began});
  if (!answered) {
    const auto now = log_.state();
    failure_ = name + ": no " + describe(expected) + " within " + std::to_string(step_timeout_.count()) +
               " ms; the service is in " + (now ? to_string(*now) : std::string("no state yet"));
  }
  return answered;
}

std::string cycle_runner::start() {
  steps_.clear();
  failure_.clear();
  return start_and_settle();
}

std::string cycle_runner::start_and_settle() {
  bool started = false;
  step("start", [&] { started = machine_.start_service(); }, {"", settled});
  if (!started) return "start: the service runs already";
  return failure_;
}

std::string cycle_runner::run(cycle_kind kind) {
  steps_.clear();
  failure_.clear();
  switch (kind) {
    case cycle_kind::away_and_back: return away_and_back();
    case cycle_kind::input_while_away: return input_while_away();
    case cycle_kind::lock_and_unlock: return lock_and_unlock();
    case cycle_kind::remote_session: return remote_session();
    case cycle_kind::external_monitor: return external_monitor();
    case cycle_kind::charger: return charger();
    case cycle_kind::settings_change: return settings_change();
    case cycle_kind::stop_and_restart: return stop_and_restart();
  }
  return "unknown cycle";
}

std::string cycle_runner::finish_cycle() {
  if (!failure_.empty()) return failure_;
  log_.update();
  if (log_.state() != settled) return "ended in " + (log_.state() ? to_string(*log_.state()) : std::string("no state"));
  if (!winsim::machine::display_on()) return "ended with the display off";
  // The user is present: neither the activity watcher's monitor nor the dim
  // overlay has a reason to be there (a terminated child takes a moment to
  // be reaped).
  if (!poll_until([&] { return !monitor_running() && winsim::machine::open_window_count() == 0; }, step_timeout_)) {
    return monitor_running() ? "ended with the activity monitor running" : "ended with the dim overlay shown";
  }
  return {};
}

std::string cycle_runner::run_steps(const std::vector<action>& actions) {
  for (const auto& a : actions) {
    if (!step(a.name, a.act, a.expected)) break;
  }
  return finish_cycle();
}

std::string cycle_runner::away_and_back() {
  return run_steps({{"user away", [&] { machine_.user_present(false); }, {"", running("USER_ABSENT")}},
                    {"user back", [&] { machine_.user_present(true); }, {"", settled}}});
}

std::string cycle_runner::input_while_away() {
  const unsigned long readings = winsim::machine::last_input_queries();
  if (!step("user away", [&] { machine_.user_present(false); }, {"", running("USER_ABSENT")})) return failure_;
  // Input before the activity monitor's first reading would be part of it,
  // not news to it.
  if (!poll_until([&] { return winsim::machine::last_input_queries() != readings; }, step_timeout_)) {
    return "input: the activity monitor never read the last input";
  }
  return run_steps({{"input", [&] { machine_.input(); }, {"Resetting dim timer done", std::nullopt}},
                    {"user back", [&] { machine_.user_present(true); }, {"", settled}}});
}

std::string cycle_runner::lock_and_unlock() {
  return run_steps({{"lock", [&] { machine_.session(session_change::lock); }, {"", stopped("LOCKED")}},
                    {"unlock", [&] { machine_.session(session_change::unlock); }, {"", settled}}});
}

std::string cycle_runner::remote_session() {
  return run_steps(
      {{"remote connect", [&] { machine_.session(session_change::remote); }, {"", stopped("ABSENT")}},
       {"remote disconnect", [&] { machine_.session(session_change::local); }, {"", settled}}});
}

std::string cycle_runner::external_monitor() {
  return run_steps({{"monitor attached", [&] { machine_.external_monitor(true); }, {"", running("ENGINE_OFF")}},
                    {"monitor detached", [&] { machine_.external_monitor(false); }, {"", settled}}});
}

std::string cycle_runner::charger() {
  return run_steps({{"charger unplugged", [&] { machine_.power(false); }, {"ACDC: OnBattery", settled}},
                    {"charger plugged in", [&] { machine_.power(true); }, {"ACDC: PluggedIn", settled}}});
}

std::string cycle_runner::settings_change() {
  lock_screen_timeout_ = lock_screen_timeout_ == lock_screen_timeouts[0] ? lock_screen_timeouts[1]
                                                                         : lock_screen_timeouts[0];
  return run_steps({{"settings change",
                     [&] { machine_.write_setting(user_settings_ac, "LockScreenTimeout", lock_screen_timeout_); },
                     {"Reported starting", settled}}});
}

std::string cycle_runner::stop_and_restart() {
  std::optional<int> result;
  step("stop", [&] { result = machine_.stop_service(step_timeout_); }, {});
  if (!result) return "stop: the service still runs after " + std::to_string(step_timeout_.count()) + " ms";
  if (*result != 0) return "stop: the service program returned " + std::to_string(*result);
  const auto statuses = winsim::machine::service_statuses();
  if (statuses.empty() || statuses.back().dwCurrentState != SERVICE_STOPPED || statuses.back().dwWin32ExitCode != 0) {
    return "stop: the last status is not SERVICE_STOPPED with exit code 0";
  }
  const std::string started = start_and_settle();
  if (!started.empty()) return started;
  return finish_cycle();
}

}  // namespace nolvane_sim
