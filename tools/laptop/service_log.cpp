#include "service_log.h"

#include <winsim/machine.h>

namespace nolvane_sim {
namespace {

// The word after `key` up to the next blank; empty when `key` is missing.
std::string word_after(const std::string& line, const std::string& key) {
  const size_t at = line.find(key);
  if (at == std::string::npos) return {};
  const size_t begin = at + key.size();
  const size_t end = line.find_first_of(" \n", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

std::string to_string(const machine_state& s) { return s.state + "/" + s.substate; }

std::optional<machine_state> state_of_line(const std::string& line) {
  if (line.compare(0, 11, "[sm] event:") != 0) return std::nullopt;
  machine_state s{word_after(line, " state:"), word_after(line, " substate:")};
  if (s.state.empty() || s.substate.empty()) return std::nullopt;
  return s;
}

size_t service_log::update() {
  auto taken = winsim::machine::take_trace_events();
  for (auto& event : taken) {
    if (auto s = state_of_line(event.message)) state_ = std::move(s);
    lines_.push_back(std::move(event.message));
    times_.push_back(event.time);
  }
  return taken.size();
}

bool service_log::wait(std::chrono::milliseconds timeout) const {
  return winsim::machine::wait_for_trace_events(static_cast<DWORD>(timeout.count()));
}

bool service_log::find(const std::string& part, size_t* cursor) const {
  for (size_t i = *cursor; i < lines_.size(); ++i) {
    if (lines_[i].find(part) != std::string::npos) {
      *cursor = i + 1;
      return true;
    }
  }
  return false;
}

bool service_log::find_state(const machine_state& expected, size_t* cursor) const {
  for (size_t i = *cursor; i < lines_.size(); ++i) {
    if (state_of_line(lines_[i]) == expected) {
      *cursor = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace nolvane_sim
