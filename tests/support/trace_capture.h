// Captures the service's log lines through a simulated ETW trace session, so
// tests observe logging through its real path. Needs winsim (native builds).
#pragma once

#include <winsim/machine.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostrel::test {

class trace_capture {
 public:
  // Starts a trace session at `level` (0 = all levels) and registers the
  // service's provider once per test process.
  explicit trace_capture(UCHAR level = 0);
  ~trace_capture();
  trace_capture(const trace_capture&) = delete;
  trace_capture& operator=(const trace_capture&) = delete;

  std::vector<std::string> messages() const;
  std::vector<winsim::machine::trace_event> events() const;
  // Lines equal to `line` (a final "\n" is added when missing).
  size_t count(const std::string& line) const;
  bool contains(const std::string& line) const { return count(line) > 0; }
  // The ETW level of the first line equal to `line` (2 error, 4 info,
  // 5 debug), or 0 when there is none.
  UCHAR level_of(const std::string& line) const;
  // Lines that contain `part` anywhere.
  size_t count_containing(const std::string& part) const;
  bool wait_for_line(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
  void clear();
  // All lines joined, for failure messages.
  std::string dump() const;
};

}  // namespace ostrel::test
