#include "activity_monitor.h"

#include "console_output.h"

#include <windows.h>

namespace ostrel::daemon {
namespace {

constexpr DWORD polling_interval_ms = 100;

static_assert(sizeof(LASTINPUTINFO) == 8, "LASTINPUTINFO is a size and a tick count");

// The time of the last input, set once from the first reading in the process.
bool have_last_input = false;
DWORD last_input_time = 0;

bool read_last_input(LASTINPUTINFO& info) {
  info = LASTINPUTINFO{};
  info.cbSize = sizeof(LASTINPUTINFO);
  return GetLastInputInfo(&info) != FALSE;
}

}  // namespace

int monitor_activity() {
  LASTINPUTINFO info;
  if (read_last_input(info)) {
    if (!have_last_input) {
      last_input_time = info.dwTime;
      have_last_input = true;
    }
    do {
      if (info.dwTime != last_input_time) {
        last_input_time = info.dwTime;
        print_output("Got activity");
        return 0;
      }
      Sleep(polling_interval_ms);
    } while (read_last_input(info));
  }
  print_error("Failed to get last input info\n");
  return 1;
}

}  // namespace ostrel::daemon
