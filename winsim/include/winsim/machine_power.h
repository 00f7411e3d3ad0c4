// Controls of the simulated power supply (what GetSystemPowerStatus reports).
// GetSystemPowerStatus failures are made with fail_call("GetSystemPowerStatus", ...).
#pragma once

#include <windows.h>

namespace winsim::machine {

// AC_LINE_OFFLINE (0), AC_LINE_ONLINE (1), AC_LINE_BACKUP_POWER (2) or
// AC_LINE_UNKNOWN (255); anything else throws std::invalid_argument. A new
// machine is online. Changing it sends no notification by itself: the power
// event (PBT_APMPOWERSTATUSCHANGE) is sent with send_control.
void set_ac_line_status(BYTE status);
BYTE ac_line_status();

// Battery charge 0..100 or BATTERY_PERCENTAGE_UNKNOWN (255); other values
// throw std::invalid_argument. A new machine has 100.
void set_battery_percent(BYTE percent);

}  // namespace winsim::machine
