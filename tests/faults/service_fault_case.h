// One case of the fault matrix: the whole service on a fresh simulated
// laptop, through start-up and one leave cycle (the user leaves, the screen
// dims, the display goes off, input brings it back), then a STOP; one Win32
// call, when named, fails once on its n-th call. The case runs in a process
// of its own so that a crash or a hang cannot take the matrix with it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ostrel::test {

struct fault_case {
  std::string function;  // empty: nothing fails (the recording run)
  size_t call = 0;       // 1 for the first call
  DWORD error = 0;       // as the function reports it (Win32 error, LSTATUS, HRESULT, NTSTATUS)
};

// What the case process saw. Counts of leaks are what was left over after
// the service had ended, against the count before it started.
struct fault_report {
  bool fired = false;              // the named call was made (and failed)
  bool program_returned = false;   // the program entry returned
  long program_result = -1;        // its result: 0, or 1 when the dispatcher failed
  bool stopped_by_itself = false;  // it ended before the test sent STOP
  long stop_ms = -1;               // from STOP to the program's return; -1: no STOP sent
  bool stop_in_time = true;        // a STOP sent ended the program within the limit
  bool stopped_reported = false;   // the last status the SCM accepted is SERVICE_STOPPED
  long exit_code = -1;             // that status's Win32 exit code
  bool running = false;           // leave detection ran: the sensor was subscribed
  bool dimmed = false;            // the dim overlay came up
  bool display_off = false;       // the display went off
  bool back = false;              // input brought the display and leave detection back
  long handles_left = 0;
  long threads_left = 0;
  long children_left = 0;
  std::map<std::string, size_t> calls;  // the process's record of calls
  std::vector<std::string> lines;       // trace lines, then event-log texts
};

// The longest a STOP may take to end the service.
inline constexpr long stop_limit_ms = 5000;

// Runs the case in this process. When a STOP cannot end the service,
// `abandon` gets what was seen so far and must not return: the service's
// threads still run, so nothing here can be torn down.
fault_report run_fault_case(const fault_case& c, const std::function<void(const fault_report&)>& abandon);

// The report as the case process hands it to the matrix: one "key=value" per line.
std::string serialize(const fault_report& report);
fault_report parse_report(const std::string& text);

}  // namespace ostrel::test
