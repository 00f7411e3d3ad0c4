// The dim overlay: a semi-transparent black window over the whole screen for
// a given time, which another daemon instance in the session can end early
// through the named event "StopDim".
#pragma once

namespace ostrel::daemon {

// Shows the overlay for the number of milliseconds in `milliseconds_text`
// (a decimal number; no digits give 0) and removes it again.
void show_dim_overlay(const char* milliseconds_text);

// Ends an overlay shown by another instance.
void brighten_screen();

}  // namespace ostrel::daemon
