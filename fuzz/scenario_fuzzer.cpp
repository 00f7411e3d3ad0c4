// Any text as a nolvane_sim scenario. A scenario is either refused with a
// parse_error or accepted as steps that the simulation can carry out: its
// times fit the simulation's clock and its numbers convert the way the
// simulation converts them.
#include "scenario.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

using clock_duration = std::chrono::steady_clock::duration;

// The simulation turns times into clock durations.
void check_time(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) __builtin_trap();
  const double limit = std::chrono::duration<double>(clock_duration::max()).count();
  if (seconds >= limit) __builtin_trap();
}

// The simulation reads numbers with std::stoll / std::stoul, base 0.
void check_number(const std::string& word) {
  try {
    (void)std::stoll(word, nullptr, 0);
    (void)std::stoul(word, nullptr, 0);
  } catch (const std::exception&) {
    __builtin_trap();
  }
}

void check_step(const nolvane_sim::step& s) {
  if (s.words.empty()) __builtin_trap();
  if (s.at_seconds != -1.0) check_time(s.at_seconds);
  const auto& w = s.words;
  if (w[0] == "wait") {
    double seconds = 0;
    if (w.size() != 2 || !nolvane_sim::parse_seconds(w[1], &seconds)) __builtin_trap();
    check_time(seconds);
  } else if (w[0] == "firmware") {
    check_number(w.at(1));
  } else if (w[0] == "registry" && w.at(3) == "dword") {
    check_number(w.at(4));
  } else if (w[0] == "expect" && w.at(1) == "status" && w.size() == 5) {
    check_number(w[4]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  try {
    for (const auto& s : nolvane_sim::parse_scenario(text)) check_step(s);
  } catch (const nolvane_sim::parse_error&) {
  }
  return 0;
}
