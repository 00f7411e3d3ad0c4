// The commands the device interface runs: one small type per command, each
// a winprocess that composes its command line in its constructor. Daemon
// commands name the daemon by its full path in the service's own directory,
// in quotes: unquoted, a blank in the install path ("C:\Program Files\...")
// would let the system run "C:\Program.exe" instead.
#pragma once

#include "device/session_process_runner.h"

#include <cstdint>
#include <string>

namespace ostrel {

// The directory of the running program, in the ANSI code page, without a
// final separator. Computed once per process.
const std::string& daemon_directory();
// `module_path` cut before its last '\' or '/' ("" when it has none).
std::string directory_of(const std::string& module_path);
// The quoted path of the daemon in `directory` (a bare quoted file name when
// the directory is empty).
std::string quoted_daemon_path(const std::string& directory);

// A command line run by a winprocess.
class command_process : public winprocess {
 public:
  explicit command_process(std::string command_line, HANDLE cancel_event = nullptr);
  const std::string& command_line() const { return command_line_; }
  // exec() of the composed command line.
  bool execute(std::string* output = nullptr) { return exec(command_line_, output); }
  // execute(), for a run whose answer is its exit code or its output: a run
  // that was terminated, or whose code could not be read, answers nothing.
  bool execute_to_its_end(std::string* output = nullptr) { return execute(output) && has_exit_code(); }

 private:
  std::string command_line_;
};

// The daemon, by its quoted full path, with `arguments`.
class daemon_command : public command_process {
 public:
  explicit daemon_command(const std::string& arguments, HANDLE cancel_event = nullptr);
};

class stayin_alive : public daemon_command {
 public:
  stayin_alive() : daemon_command("--stayin_alive") {}
};

class lock_screen : public daemon_command {
 public:
  lock_screen() : daemon_command("--lock_screen") {}
};

// Display off, brightness, lock.
class dim_and_lock : public daemon_command {
 public:
  explicit dim_and_lock(const std::string& brightness) : daemon_command("-z " + brightness) {}
};

// Display off, brightness.
class dim_and_display_off : public daemon_command {
 public:
  explicit dim_and_display_off(const std::string& brightness) : daemon_command("-x " + brightness) {}
};

class set_brightness : public daemon_command {
 public:
  explicit set_brightness(const std::string& brightness) : daemon_command("--set_brightness " + brightness) {}
};

class system_required : public daemon_command {
 public:
  system_required() : daemon_command("--system_required") {}
};

class away_mode : public daemon_command {
 public:
  away_mode() : daemon_command("--away_mode") {}
};

// The dim overlay for `timeout_ms`; ended early through `cancel_event`.
class dim_screen_overlay : public daemon_command {
 public:
  dim_screen_overlay(uint64_t timeout_ms, HANDLE cancel_event);
  // Logs the command line, then runs it without output.
  bool execute();
};

// Returns when the user touches keyboard or mouse; ended through `cancel_event`.
class monitor_activity : public daemon_command {
 public:
  explicit monitor_activity(HANDLE cancel_event) : daemon_command("--monitor_activity", cancel_event) {}
};

class is_session_locked : public daemon_command {
 public:
  is_session_locked() : daemon_command("--is_session_locked") {}
};

class is_remote_session : public daemon_command {
 public:
  is_remote_session() : daemon_command("--remote_session") {}
};

class has_external_display : public daemon_command {
 public:
  has_external_display() : daemon_command("--has_external_display") {}
};

class get_brightness : public daemon_command {
 public:
  get_brightness() : daemon_command("--get_brightness") {}
};

// The two display-off commands name the daemon by file name only; process
// creation finds it in the directory the service was loaded from.
class turn_off_display : public command_process {
 public:
  turn_off_display() : command_process("ostrel_service_daemon.exe --turn_off_display") {}
};

class turn_off_display_and_lock : public command_process {
 public:
  turn_off_display_and_lock() : command_process("ostrel_service_daemon.exe --turn_off_display_and_lock") {}
};

// Shell commands, run exactly as written.
class brighten_screen : public command_process {
 public:
  brighten_screen()
      : command_process(
            "powershell (Get-WmiObject -Namespace root/WMI -Class WmiMonitorBrightnessMethods)"
            ".WmiSetBrightness(0,100)") {}
};

class play_beep : public command_process {
 public:
  play_beep() : command_process("powershell (new-object -com SAPI.SpVoice).speak('Dimming')") {}
};

// The demo tools. Their paths hold blanks too, so they are quoted as well.
class remove_image : public command_process {
 public:
  remove_image() : command_process("\"C:\\Program Files (x86)\\Ostrel\\Ostrel Demo\\black\\stop.bat\"") {}
};

class set_fan : public command_process {
 public:
  explicit set_fan(uint8_t value)
      : command_process("\"C:\\Program Files (x86)\\Ostrel\\Ostrel Demo\\fancontrol_cli.exe\" set " +
                        std::to_string(value)) {}
};

// The fan speed is the tool's exit code.
class get_fan_speed : public command_process {
 public:
  get_fan_speed() : command_process("\"C:\\Program Files (x86)\\Ostrel\\Ostrel Demo\\fancontrol_cli.exe\" get") {}
};

}  // namespace ostrel
