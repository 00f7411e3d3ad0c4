// Whether the machine runs on mains power (the settings exist once per power
// source, and the service reloads when the source changes).
#pragma once

namespace ostrel::config {

// GetSystemPowerStatus: true when the AC line status is not offline, so both
// online (1) and unknown (255) count as mains power. When the status cannot
// be read, logs "Failed to get system power status" (error, "runner") and
// returns `last_known`, so a failed query never looks like a change of source.
bool is_plugged_in(bool last_known);

}  // namespace ostrel::config
