#include "user_cycles.h"

#include "samples.h"

#include <winsim/machine.h>

#include <algorithm>

namespace user_latency {
namespace {

using nolvane_sim::machine_state;
using std::chrono::milliseconds;

const machine_state dimming{"RUNNING", "DIMMING"};
const machine_state absent{"RUNNING", "USER_ABSENT"};
const machine_state settled{"RUNNING", "USER_PRESENT"};
const machine_state display_off_state{"STOPPED", "ABSENT"};
constexpr size_t sensor = 0;

milliseconds left_until(std::chrono::steady_clock::time_point deadline) {
  return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now()));
}

bool runs_option(const winsim::machine::process_record& p, const std::string& option) {
  return p.command_line.find(option) != std::string::npos;
}

// The external-display query that started after `from` and ended before `to`, if any.
// The external-display queries under way at some time between `from` and
// `to`, in order of their start: the DIMMING entry's own query is the last;
// any before it is a pause-condition poll's that the entry had to wait for.
std::vector<const winsim::machine::process_record*> queries_during(
    const std::vector<winsim::machine::process_record>& processes, std::chrono::steady_clock::time_point from,
    std::chrono::steady_clock::time_point to) {
  std::vector<const winsim::machine::process_record*> found;
  for (const auto& p : processes) {
    if (runs_option(p, "--has_external_display") && p.started_at <= to && (p.running || p.ended_at > from)) {
      found.push_back(&p);
    }
  }
  std::sort(found.begin(), found.end(), [](const auto* x, const auto* y) { return x->started_at < y->started_at; });
  return found;
}

}  // namespace

user_cycles::user_cycles(nolvane_sim::laptop& laptop, nolvane_sim::service_log& log, milliseconds time_to_dim,
                         milliseconds step_timeout)
    : laptop_(laptop), log_(log), time_to_dim_(time_to_dim), step_timeout_(step_timeout) {
  overlay_.update(journal_.take());  // what happened before is not this run's
}

std::optional<nolvane_sim::overlay_watch::change> user_cycles::wait_for_overlay(bool shown,
                                                                                clock::time_point deadline) {
  for (;;) {
    for (const auto& c : overlay_.update(journal_.take())) {
      if (c.shown == shown) return c;
    }
    const auto left = left_until(deadline);
    if (left.count() == 0) return std::nullopt;
    journal_.wait(static_cast<DWORD>(left.count()));
  }
}

bool user_cycles::wait_for_state(const machine_state& state, size_t* cursor, clock::time_point deadline) {
  for (;;) {
    log_.update();
    if (log_.find_state(state, cursor)) return true;
    const auto left = left_until(deadline);
    if (left.count() == 0) return false;
    log_.wait(left);
  }
}

std::optional<user_cycles::clock::time_point> user_cycles::line_time(const std::string& part, size_t cursor) const {
  if (!log_.find(part, &cursor)) return std::nullopt;
  return log_.times()[cursor - 1];
}

std::string user_cycles::fail(const std::string& what) const {
  const auto now = log_.state();
  return what + "; the service is in " + (now ? nolvane_sim::to_string(*now) : std::string("no state yet"));
}

std::string user_cycles::settle(const std::string& after) {
  const auto deadline = clock::now() + step_timeout_;
  // The pause-condition poll may be running a query; it ends by itself.
  if (!winsim::machine::wait_for_no_running_processes(static_cast<DWORD>(left_until(deadline).count()))) {
    return fail(after + ": daemon runs left");
  }
  overlay_.update(journal_.take());
  if (overlay_.shown()) return fail(after + ": the overlay is still shown");
  if (!winsim::machine::wait_for_sensor_event_sink(sensor, true, static_cast<DWORD>(left_until(deadline).count()))) {
    return fail(after + ": the sensor is not subscribed");
  }
  log_.forget();
  winsim::machine::forget_ended_processes();
  return {};
}

std::string user_cycles::leave(bool touch_first) {
  // The user's last touch before leaving keeps the OS's own display time-out away.
  laptop_.input();
  log_.update();
  size_t cursor = log_.lines().size();
  const auto away_at = clock::now();
  if (!laptop_.user_present(false)) return fail("away: nobody listens to the sensor");
  const auto due = away_at + time_to_dim_;
  const auto shown = wait_for_overlay(true, due + step_timeout_);
  if (!shown) return fail("away: the overlay was not shown");
  const auto shown_at = journal_time(shown->time_us);
  measured_.dim_lateness.push_back(milliseconds_between(due, shown_at));
  if (!wait_for_state(dimming, &cursor, clock::now() + step_timeout_)) return fail("away: no DIMMING");

  // Where the lateness comes from: the dim time-out reaching the state
  // machine, the DIMMING entry until the overlay's daemon starts, its start.
  if (const auto taken = line_time("handle_incoming_event: TIMEOUT_DIM_SCREEN", 0)) {
    measured_.dim_event_lateness.push_back(milliseconds_between(due, *taken));
    const auto processes = winsim::machine::processes();
    for (const auto& p : processes) {
      if (static_cast<int>(p.id) != shown->pid || !runs_option(p, "--dim_screen")) continue;
      const double entry = milliseconds_between(*taken, p.started_at);
      measured_.dimming_entry.push_back(entry);
      const auto queries = queries_during(processes, *taken, p.started_at);
      (queries.size() > 1 ? measured_.dimming_entry_behind_poll : measured_.dimming_entry_alone).push_back(entry);
      measured_.overlay_start.push_back(milliseconds_between(p.started_at, shown_at));
      const auto* query = queries.empty() ? nullptr : queries.back();
      if (query && query->started_at >= *taken && !query->running && query->ended_at <= p.started_at) {
        measured_.entry_to_query.push_back(milliseconds_between(*taken, query->started_at));
        measured_.query_run.push_back(milliseconds_between(query->started_at, query->ended_at));
        measured_.query_to_overlay.push_back(milliseconds_between(query->ended_at, p.started_at));
      }
    }
  }

  if (touch_first) {
    const auto touched_at = clock::now();
    laptop_.input();
    const auto gone = wait_for_overlay(false, touched_at + step_timeout_);
    if (!gone) return fail("input: the overlay stayed");
    const auto gone_at = journal_time(gone->time_us);
    measured_.input_to_gone.push_back(milliseconds_between(touched_at, gone_at));
    // The monitor that saw the input ended by itself after it.
    for (const auto& p : winsim::machine::processes()) {
      if (runs_option(p, "--monitor_activity") && !p.running && !p.terminated && p.ended_at >= touched_at) {
        measured_.input_to_seen.push_back(milliseconds_between(touched_at, p.ended_at));
        measured_.input_seen_to_gone.push_back(milliseconds_between(p.ended_at, gone_at));
        break;
      }
    }
    if (!wait_for_state(absent, &cursor, clock::now() + step_timeout_)) return fail("input: no USER_ABSENT");
    if (!laptop_.user_present(true)) return fail("back: nobody listens to the sensor");
  } else {
    const auto back_at = clock::now();
    if (!laptop_.user_present(true)) return fail("back: nobody listens to the sensor");
    const auto gone = wait_for_overlay(false, back_at + step_timeout_);
    if (!gone) return fail("back: the overlay stayed");
    measured_.return_to_gone.push_back(milliseconds_between(back_at, journal_time(gone->time_us)));
  }
  if (!wait_for_state(settled, &cursor, clock::now() + step_timeout_)) return fail("back: no USER_PRESENT");
  return settle("back");
}

std::string user_cycles::display_off_and_on() {
  log_.update();
  size_t cursor = log_.lines().size();
  clock::time_point notified{};
  if (!laptop_.display(false, &notified).delivered) return fail("display off: not delivered");
  if (!winsim::machine::wait_for_sensor_event_sink(sensor, false, static_cast<DWORD>(step_timeout_.count()))) {
    return fail("display off: the sensor stayed subscribed");
  }
  measured_.display_off_to_suspended.push_back(
      milliseconds_between(notified, winsim::machine::sensor_event_sink_changed_at(sensor)));
  if (!wait_for_state(display_off_state, &cursor, clock::now() + step_timeout_)) {
    return fail("display off: no STOPPED/ABSENT");
  }
  if (!laptop_.display(true).delivered) return fail("display on: not delivered");
  if (!wait_for_state(settled, &cursor, clock::now() + step_timeout_)) return fail("display on: no USER_PRESENT");
  return settle("display on");
}

}  // namespace user_latency
