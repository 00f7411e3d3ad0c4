#include "device/session_commands.h"

#include "logging/trace_line.h"

#include <mutex>
#include <vector>

namespace ostrel {
namespace {

using logging::log_level;
using logging::trace_line;

constexpr const char* tag = "runner";

// The narrow module path straight from the system, so the ANSI conversion is
// the system's own (a wide path cut to its low bytes corrupts every
// non-ASCII install path). Grows the buffer for paths beyond MAX_PATH.
std::string module_path() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(/*hModule=*/nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      trace_line(log_level::error, tag) << "Failed to get the module file name: " << ::GetLastError() << "\n";
      return {};
    }
    if (length < buffer.size()) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return std::string(buffer.data(), length);  // the longest path Windows has
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string directory_of(const std::string& module_path) {
  const auto separator = module_path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : module_path.substr(0, separator);
}

const std::string& daemon_directory() {
  static std::once_flag once;
  static std::string directory;
  std::call_once(once, [] { directory = directory_of(module_path()); });
  return directory;
}

std::string quoted_daemon_path(const std::string& directory) {
  const std::string file = "ostrel_service_daemon.exe";
  return "\"" + (directory.empty() ? file : directory + "/" + file) + "\"";
}

command_process::command_process(std::string command_line, HANDLE cancel_event)
    : winprocess(cancel_event), command_line_(std::move(command_line)) {}

daemon_command::daemon_command(const std::string& arguments, HANDLE cancel_event)
    : command_process(quoted_daemon_path(daemon_directory()) + " " + arguments, cancel_event) {}

dim_screen_overlay::dim_screen_overlay(uint64_t timeout_ms, HANDLE cancel_event)
    : daemon_command("--dim_screen " + std::to_string(timeout_ms), cancel_event) {
  trace_line(log_level::info, tag) << "Timeout is " << timeout_ms << " ms";
  trace_line(log_level::info, tag) << "Command is " << command_line();
}

bool dim_screen_overlay::execute() {
  trace_line(log_level::info, tag) << "Executing: " << command_line();
  return command_process::execute();
}

}  // namespace ostrel
