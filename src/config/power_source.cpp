#include "config/power_source.h"

#include "logging/trace_line.h"

#include <windows.h>

namespace ostrel::config {

bool is_plugged_in(bool last_known) {
  SYSTEM_POWER_STATUS status{};
  if (!::GetSystemPowerStatus(&status)) {
    logging::trace_line(logging::log_level::error, "runner") << "Failed to get system power status\n";
    return last_known;
  }
  return status.ACLineStatus != 0;
}

}  // namespace ostrel::config
