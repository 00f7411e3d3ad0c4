// What the daemon writes. The service reads standard output and standard
// error through one pipe, so every text is flushed at once to keep the two
// streams in the order they were written.
#pragma once

#include <windows.h>

#include <string>

namespace ostrel::daemon {

void print_output(const std::string& text);
void print_error(const std::string& text);

// A decimal number the way the options carry it: leading blanks and a sign
// allowed, reading stops at the first non-digit, no digits give 0. Values
// beyond the 32-bit range stop at its ends.
int read_decimal(const char* text);

}  // namespace ostrel::daemon
