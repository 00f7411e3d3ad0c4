// The user leaving the laptop and coming back while the screen dims, and
// the display going off, on the simulated laptop with the real service. The
// moments the user feels are taken from the simulation's own records, not
// from when the driver happens to look: the desktop journal for the overlay,
// the trace session for the service's state, the process records for the
// daemon runs, the Sensor API for the sensor subscription.
#pragma once

#include "laptop.h"
#include "overlay_watch.h"
#include "service_log.h"

#include <chrono>
#include <string>
#include <vector>

namespace user_latency {

// Milliseconds, one value per cycle that measured it.
struct user_measurements {
  std::vector<double> return_to_gone;         // presence report during DIMMING -> overlay gone
  std::vector<double> input_to_gone;          // input during DIMMING -> overlay gone
  std::vector<double> input_to_seen;          // input during DIMMING -> the activity monitor's end
  std::vector<double> input_seen_to_gone;     // the activity monitor's end -> overlay gone
  std::vector<double> dim_lateness;           // overlay shown - (away report + configured wait)
  std::vector<double> dim_event_lateness;     // the dim time-out taken by the state machine, likewise
  std::vector<double> dimming_entry;          // dim time-out taken -> the overlay's daemon started
  // The same, split by whether the pause-condition poll was running its
  // external-display query when the time-out was taken: the DIMMING entry
  // then waits for that query's lock before it runs its own.
  std::vector<double> dimming_entry_behind_poll;
  std::vector<double> dimming_entry_alone;
  // The DIMMING entry's own external-display query: from the time-out taken
  // to its daemon's start, the daemon's run, and from its end to the
  // overlay's daemon's start.
  std::vector<double> entry_to_query;
  std::vector<double> query_run;
  std::vector<double> query_to_overlay;
  std::vector<double> overlay_start;          // the overlay's daemon started -> overlay shown
  std::vector<double> display_off_to_suspended;  // display-off notification -> sensor unsubscribed
};

class user_cycles {
 public:
  user_cycles(nolvane_sim::laptop& laptop, nolvane_sim::service_log& log, std::chrono::milliseconds time_to_dim,
              std::chrono::milliseconds step_timeout);

  // The user leaves and the screen dims; the user comes back by a presence
  // report, or first touches keyboard or mouse and then comes back. "" or
  // what went wrong.
  std::string leave(bool touch_first);
  // The display goes off and on again while the user sits there.
  std::string display_off_and_on();

  const user_measurements& measured() const { return measured_; }

 private:
  using clock = std::chrono::steady_clock;

  // Waits for the overlay to be shown or gone; its change, or nothing at the deadline.
  std::optional<nolvane_sim::overlay_watch::change> wait_for_overlay(bool shown, clock::time_point deadline);
  // Waits for a state line at or after `*cursor`; moves the cursor past it.
  bool wait_for_state(const nolvane_sim::machine_state& state, size_t* cursor, clock::time_point deadline);
  // The time of the first line at or after `cursor` containing `part`.
  std::optional<clock::time_point> line_time(const std::string& part, size_t cursor) const;
  // Leave detection running, the user present, no overlay or activity
  // monitor left, the sensor subscribed; then the cycle's records go.
  std::string settle(const std::string& after);
  std::string fail(const std::string& what) const;

  nolvane_sim::laptop& laptop_;
  nolvane_sim::service_log& log_;
  winsim::machine::desktop_journal_reader journal_;
  nolvane_sim::overlay_watch overlay_;
  const std::chrono::milliseconds time_to_dim_;
  const std::chrono::milliseconds step_timeout_;
  user_measurements measured_;
};

}  // namespace user_latency
