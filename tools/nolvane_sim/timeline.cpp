#include "timeline.h"

#include <algorithm>

namespace nolvane_sim {

const char* lane_title(lane l) {
  switch (l) {
    case lane::presence: return "sensor presence";
    case lane::input: return "user input";
    case lane::state: return "state";
    case lane::substate: return "sub-state";
    case lane::overlay: return "overlay";
    case lane::display: return "display";
    case lane::session: return "lock and session";
    case lane::power: return "power source";
    case lane::daemon: return "daemon runs";
  }
  return "unknown";
}

void timeline::set(lane l, double at, const std::string& value) {
  auto& changes = changes_[static_cast<size_t>(l)];
  if (!changes.empty() && changes.back().value == value) return;
  changes.push_back({at, value});
  end_ = std::max(end_, at);
}

void timeline::mark(lane l, double at, const std::string& label) {
  moments_[static_cast<size_t>(l)].push_back({at, label});
  end_ = std::max(end_, at);
}

void timeline::run_started(double at, const std::string& option) {
  runs_.push_back({at, -1, option, ""});
  end_ = std::max(end_, at);
}

void timeline::run_ended(double start, const std::string& option, double at, const std::string& ending) {
  for (auto& r : runs_) {
    if (r.end < 0 && r.start == start && r.option == option) {
      r.end = at;
      r.ending = ending;
      break;
    }
  }
  end_ = std::max(end_, at);
}

void timeline::expect(double at, const std::string& text, bool held) {
  expectations_.push_back({at, text, held});
  end_ = std::max(end_, at);
}

std::vector<timeline::segment> timeline::segments(lane l) const {
  const auto& changes = changes_[static_cast<size_t>(l)];
  std::vector<segment> result;
  for (size_t i = 0; i < changes.size(); ++i) {
    const double to = i + 1 < changes.size() ? changes[i + 1].at : end_;
    if (!changes[i].value.empty() && to >= changes[i].at) result.push_back({changes[i].at, to, changes[i].value});
  }
  return result;
}

}  // namespace nolvane_sim
