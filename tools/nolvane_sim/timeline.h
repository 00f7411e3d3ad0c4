// What a scenario run looked like over time, lane by lane, for a picture of
// it: the sensor's presence, the user's input, the service's state and
// sub-state, the overlay, the display, lock and session, the power source,
// each daemon run, and the scenario's expectations. Times are seconds since
// the run began.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace nolvane_sim {

enum class lane { presence, input, state, substate, overlay, display, session, power, daemon };
inline constexpr size_t lane_count = 9;

// The lane's name as the picture shows it.
const char* lane_title(lane l);

class timeline {
 public:
  struct segment {
    double from = 0;
    double to = 0;
    std::string value;
  };
  struct moment {
    double at = 0;
    std::string label;
  };
  struct daemon_run {
    double start = 0;
    double end = -1;     // below 0: still running when the run ended
    std::string option;  // "--dim_screen 5500"
    std::string ending;  // "exit 0", "terminated", "" while running
  };
  struct expectation {
    double at = 0;
    std::string text;  // "line 12: expect overlay gone"
    bool held = true;
  };

  // From `at` on, lane `l` holds `value` ("" for nothing). A value set again
  // changes nothing.
  void set(lane l, double at, const std::string& value);
  // Something that happened at one moment, such as an input.
  void mark(lane l, double at, const std::string& label);
  void run_started(double at, const std::string& option);
  // The run that started at `start` with `option` and has not ended yet.
  void run_ended(double start, const std::string& option, double at, const std::string& ending);
  void expect(double at, const std::string& text, bool held);
  // The run is over at `at`: every value holds until then.
  void finish(double at) { end_ = at; }

  double end() const { return end_; }
  // The lane's values as segments up to the end, empty values left out.
  std::vector<segment> segments(lane l) const;
  const std::vector<moment>& moments(lane l) const { return moments_[static_cast<size_t>(l)]; }
  const std::vector<daemon_run>& runs() const { return runs_; }
  const std::vector<expectation>& expectations() const { return expectations_; }

 private:
  struct change {
    double at;
    std::string value;
  };
  std::array<std::vector<change>, lane_count> changes_;
  std::array<std::vector<moment>, lane_count> moments_;
  std::vector<daemon_run> runs_;
  std::vector<expectation> expectations_;
  double end_ = 0;
};

}  // namespace nolvane_sim
