// Controls of the simulated desktop. The desktop lives in the machine
// directory, so a test sets it here and the daemon, a child process, sees it;
// what the daemon does is read back from the desktop journal.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winsim::machine {

// A new machine has an unlocked local console session with id 1, one display
// monitor with one physical monitor, an LCD at brightness 100 (AC and DC),
// the display on, and its last input when the desktop was first asked.

void set_session_locked(bool locked);
bool session_locked();
void set_remote_session(bool remote);
bool remote_session();

// 0xFFFFFFFF: nobody is at the console.
void set_console_session_id(DWORD session_id);
DWORD console_session_id();

// The WTSINFOEXW that WTSQuerySessionInformationW answers for WTSSessionInfoEx.
// By default the system's own: level 1, the whole record, its flags following
// set_session_locked. A record set here is answered byte for byte instead,
// with its own size (the buffer holds exactly those bytes): a record cut
// short, one of another level, or any bytes at all. Kept until cleared.
void set_session_info_record(const std::vector<unsigned char>& record);
void clear_session_info_record();
// The bytes the call answers now.
std::vector<unsigned char> session_info_record();

// One entry per display monitor: how many physical monitors stand behind it.
void set_physical_monitors(const std::vector<DWORD>& per_display_monitor);
std::vector<DWORD> physical_monitors();

// The backlight of "\\.\LCD"; without an LCD the device cannot be opened.
struct lcd_brightness {
  int ac = 0;
  int dc = 0;
};
void set_lcd_brightness(int ac, int dc);
void remove_lcd();
bool lcd_present();
lcd_brightness lcd();

// Keyboard or mouse input now: the last input time moves on and the display
// wakes up.
void simulate_input();
// Number of GetLastInputInfo calls answered on this machine (any process), so
// that a test can tell that a watcher has taken its first reading.
unsigned long last_input_queries();

void set_display_on(bool on);
bool display_on();

// Makes a desktop call fail with `error` in every process of this machine
// (the daemon included), for the next `times` calls or, with -1, for all;
// times 0 clears it. `function` is the Win32 name, e.g. "GetLastInputInfo",
// "LockWorkStation", "PostMessageA", "DeviceIoControl" (the LCD), or
// "GetProcAddress:<name>" for the lookup of one name.
void fail_desktop_call(const std::string& function, DWORD error, int times = -1);

// The desktop journal: one entry per desktop action of any process, in order.
// Texts:
//   lock_workstation
//   monitor_power off|low|on                 broadcast SC_MONITORPOWER 2, 1, -1
//   execution_state 0x80000003               SetThreadExecutionState flags
//   brightness policy=0 ac=40 dc=40          LCD levels set
//   window_created class=C ex_style=0x.. style=0x..
//   window_shown class=C class_style=0x.. background=none|black|0x.. ex_style=0x.. style=0x..
//                alpha=200|none show=3
//   window_painted class=C background=..     its thread dispatched WM_PAINT
//   window_hidden class=C
//   window_destroyed class=C                 DestroyWindow
//   window_destroyed class=C by=process_end  the process ended with the window open
//                                            (written by the process that saw the end)
struct desktop_entry {
  // Steady clock, comparable between processes.
  unsigned long long time_ms = 0;
  unsigned long long time_us = 0;  // the same time in microseconds
  int pid = 0;
  std::string text;
};
std::vector<desktop_entry> desktop_journal();
std::vector<std::string> desktop_journal_texts();

// Reads the journal as it grows, so that a long run never reads it whole
// again, and waits for it to grow without looking again and again.
class desktop_journal_reader {
 public:
  desktop_journal_reader();
  ~desktop_journal_reader();
  desktop_journal_reader(const desktop_journal_reader&) = delete;
  desktop_journal_reader& operator=(const desktop_journal_reader&) = delete;

  // The entries written since the last call (every entry at the first).
  std::vector<desktop_entry> take();
  // Blocks until entries that take() has not returned yet are there, or
  // `timeout_ms` has passed; true when they are.
  bool wait(DWORD timeout_ms);

 private:
  bool has_news() const;

  unsigned long long offset_ = 0;  // of the journal file read so far
  int watch_ = -1;                 // notifies changes in the machine's desktop directory
};

// Windows created and not destroyed by processes that are still running.
size_t open_window_count();

}  // namespace winsim::machine
