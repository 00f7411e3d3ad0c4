// Internal to winsim: the desktop state shared by every process of a machine
// (a key=value file in <machine>/desktop/, rewritten under an exclusive
// flock), and the desktop journal (one appended line per desktop action).
// Without a machine directory both stay inside the process.
#pragma once

#include "kernel/kernel_object.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim::detail::desktop {

using state_map = std::map<std::string, std::string>;

// Keys of the shared state; a missing key means the default in brackets.
inline constexpr const char* key_locked = "session_locked";         // [0]
inline constexpr const char* key_remote = "remote_session";         // [0]
inline constexpr const char* key_console_session = "console_session";  // [1]
inline constexpr const char* key_monitors = "physical_monitors";    // [1], comma separated
inline constexpr const char* key_lcd = "lcd";                       // [1] present
inline constexpr const char* key_lcd_ac = "lcd_ac";                 // [100]
inline constexpr const char* key_lcd_dc = "lcd_dc";                 // [100]
inline constexpr const char* key_display = "display_on";            // [1]
inline constexpr const char* key_last_input = "last_input_ms";      // set on first use
inline constexpr const char* key_input_queries = "last_input_queries";  // [0]
inline constexpr const char* key_session_record = "session_info_record";  // [the system's], hex bytes
inline constexpr const char* fail_prefix = "fail.";                 // fail.<Function>=<error>,<times>

state_map read_state();
// Reads, changes and writes the state as one step across processes.
void update_state(const std::function<void(state_map&)>& change);

std::string value_or(const state_map& state, const std::string& key, const std::string& fallback);
unsigned long long number_or(const state_map& state, const std::string& key, unsigned long long fallback);

// Milliseconds of the steady clock, the same in every process.
unsigned long long now_ms();

// Microseconds of the same clock, for the journal's times.
unsigned long long now_us();

// Appends one line for an action of this process.
void journal(const std::string& text);
// Appends one line for an action of process `pid` (the system acting for it).
void journal_as(int pid, const std::string& text);

// The classes of this process's open windows, one per window, kept where the
// system finds them when the process ends (see end_windows_of).
void publish_open_windows(const std::vector<std::string>& classes);
// Process `pid` has ended: as Windows destroys the windows of a process that
// ends, each window it still had is journalled as destroyed, by the process
// that saw the end.
void end_windows_of(int pid);

// True (and the error) when `function` is set to fail, in this process
// (machine::fail_call) or on the whole machine (machine::fail_desktop_call).
bool should_fail(const char* function, DWORD* error);
// Only the machine-wide part, for calls whose in-process failures are
// injected elsewhere already (DeviceIoControl).
bool machine_should_fail(const char* function, DWORD* error);

// "0x%08x", the way the journal writes flags and styles.
std::string hex(DWORD value);

}  // namespace winsim::detail::desktop
