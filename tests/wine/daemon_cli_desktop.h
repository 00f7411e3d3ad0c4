// What the daemon's command-line suite does differently on its two builds:
// natively it sets up a simulated desktop as Wine's looks (daemon_cli_winsim.cpp);
// cross-built it runs under Wine and takes the desktop as it is
// (daemon_cli_wine.cpp).
#pragma once

namespace daemon_cli {

// The desktop the daemon sees during the whole run: a console session that
// is neither remote nor locked and whose lock state cannot be asked
// (WTSQuerySessionInformationW fails), no "\\.\LCD", LockWorkStation
// failing with 120, physical monitors that cannot be counted
// (GetNumberOfPhysicalMonitorsFromHMONITOR fails with 120).
void set_up_desktop();
void tear_down_desktop();

// Keyboard or mouse input now.
void give_input();

}  // namespace daemon_cli
