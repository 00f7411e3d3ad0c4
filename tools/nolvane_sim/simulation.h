// Runs the service on the simulated laptop through a scenario, acting only
// through winsim::machine, and shows what happens as it happens: the
// service's trace lines, its status reports and event-log entries, the
// daemon runs, the desktop journal and the display.
#pragma once

#include "laptop.h"
#include "overlay_watch.h"
#include "scenario.h"
#include "service_log.h"
#include "timeline.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace nolvane_sim {

class simulation {
 public:
  // Expects a fresh machine (WINSIM_MACHINE set, state reset).
  explicit simulation(std::ostream& out);
  ~simulation();
  simulation(const simulation&) = delete;
  simulation& operator=(const simulation&) = delete;

  // 0 when every expectation held and the service ended; 1 otherwise.
  int run(const std::vector<step>& steps);
  // What happened over time, for the picture of the run.
  const timeline& recorded() const { return timeline_; }

 private:
  void execute(const step& s);
  void sensor_command(const step& s, std::string* note);
  bool expect(const step& s);
  // Ends the service if it still runs; true when it ended with result 0.
  bool finish();

  // Prints what happened since the last call.
  void show_news();
  bool show_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void show_until(std::chrono::steady_clock::time_point deadline);
  void print(const std::string& source, const std::string& text);
  void show_traces();
  void show_processes();
  void show_journal();
  void show_desktop_state();
  // Seconds since the scenario began.
  double since_begin(std::chrono::steady_clock::time_point at) const;
  double now() const { return since_begin(std::chrono::steady_clock::now()); }

  std::ostream& out_;
  laptop laptop_;
  service_log log_;
  std::chrono::steady_clock::time_point begin_;
  UCHAR trace_level_ = trace_level_info;  // the service's info and error lines
  std::vector<std::string> trace_tags_;  // empty: every trace line is shown
  int failures_ = 0;

  // What has been shown already.
  size_t traces_shown_ = 0;
  size_t statuses_shown_ = 0;
  size_t event_log_shown_ = 0;
  uint64_t last_start_shown_ = 0;      // process records, by start order
  std::set<uint64_t> ends_shown_;
  bool display_on_ = true;
  winsim::machine::desktop_journal_reader journal_reader_;
  std::vector<std::string> journal_;  // the texts read so far, for expectations
  overlay_watch overlay_;
  timeline timeline_;
  // Expectations of trace lines and journal entries match in order: each
  // searches after the line the one before matched.
  size_t trace_cursor_ = 0;
  size_t journal_cursor_ = 0;
};

}  // namespace nolvane_sim
