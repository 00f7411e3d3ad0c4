// Controls of the simulated processes: what was started, with which command
// line, how it ended.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace winsim::machine {

// One child process started by CreateProcessA or CreateProcessAsUserA.
struct process_record {
  DWORD id = 0;                         // dwProcessId
  std::string command_line;             // as passed to CreateProcess
  std::string program;                  // the file that was run (host path)
  std::vector<std::string> arguments;   // argv as the child received it
  bool with_user_token = false;         // CreateProcessAsUserA
  std::string desktop;                  // lpDesktop, "" when none
  DWORD creation_flags = 0;
  bool std_handles_redirected = false;  // stdout/stderr went to an inherited pipe
  std::vector<HANDLE> inherited_handles;  // the parent's handles the child holds too, same values
  bool running = true;
  bool terminated = false;              // ended by TerminateProcess
  DWORD exit_code = STILL_ACTIVE;
  // Positions in one sequence shared by every start and termination
  // request on this machine (0: the termination was never requested).
  uint64_t start_order = 0;
  uint64_t terminate_order = 0;
  // When the child was started and when its end was seen (the latter only
  // once it is no longer running).
  std::chrono::steady_clock::time_point started_at;
  std::chrono::steady_clock::time_point ended_at;
};

// Every child started on this machine, in start order.
std::vector<process_record> processes();
// Children started on this machine that have not ended yet.
size_t running_process_count();
// Blocks until every child has ended or `timeout_ms` passed; true when none runs.
bool wait_for_no_running_processes(DWORD timeout_ms);
// Drops the records of children that have ended, so that a long run keeps
// only those still running.
void forget_ended_processes();

// How a command line splits into argv for the child (the Microsoft C
// runtime's rules), exposed so tests can check the parser directly.
std::vector<std::string> split_command_line(const std::string& command_line);

// Maps a Windows path ("C:\dir\file", "dir\file", "/host/path") to the host
// file system: C:\ lives in <machine>/drive_c/.
std::string host_path(const std::string& windows_path);

}  // namespace winsim::machine
