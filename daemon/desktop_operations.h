// The daemon's queries and actions on the user's desktop, each a short run of
// Win32 calls made from inside the user's session. They print only their own
// trace and error texts; the dispatch turns their results into output and
// exit codes.
#pragma once

#include <windows.h>

namespace ostrel::daemon {

// AC brightness of the built-in display (0 to 100), -1 on failure.
int get_brightness();
// Sets the AC and DC brightness of the built-in display.
bool set_brightness(int value);

// Physical monitors behind all display monitors; more than one means an
// external display.
DWORD physical_monitor_count();

bool is_session_locked();
bool is_remote_session();

// Asks every top-level window to power the display off; true when posted.
bool turn_off_display();

}  // namespace ostrel::daemon
