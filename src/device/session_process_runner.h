// winprocess: runs one command line as a child process on the interactive
// desktop of the active console session (under the logged-on user's token
// when one can be had), with its standard output and error on one pipe.
// The wait is either bounded by 10 seconds or unbounded but cancellable
// through an event; a child that does not end by itself is terminated.
// The child inherits its own pipe end and nothing else of this process.
#pragma once

#include "unique_handle.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

class winprocess {
 public:
  // What exit_code() reports until a child has exited by itself (after a
  // failed start or a termination), so that such a run never reads as
  // success. Chosen outside the codes the daemon and the tools use.
  static constexpr uint32_t no_exit_code = 0xFFFFFFFFu;
  // Bound of a wait without cancel event.
  static constexpr DWORD wait_limit_ms = 10000;

  // `cancel_event` is not owned; null means a wait bounded by wait_limit_ms.
  // Fetches the console user's token once, here.
  explicit winprocess(HANDLE cancel_event = nullptr);
  virtual ~winprocess();
  winprocess(const winprocess&) = delete;
  winprocess& operator=(const winprocess&) = delete;

  // Starts `command` (program and arguments, found by the system's search),
  // waits for it and, when `output` is given and the child ended by itself,
  // stores what it wrote. True when the child ran and ended, by itself or
  // by termination; false when it could not be started or stopped.
  bool exec(std::string command, std::string* output = nullptr);

  uint32_t exit_code() const { return exit_code_; }
  // True once the child has exited by itself and its exit code was read:
  // after a termination or a failed read exit_code() is no answer.
  bool has_exit_code() const { return has_exit_code_; }
  // How long the child ran: from the call that started it until the wait
  // for it ended (zero when it never started).
  std::chrono::steady_clock::duration run_time() const { return run_time_; }
  bool has_user_token() const { return user_token_.has_value(); }

 protected:
  // True only when the child exited by itself.
  bool wait_for_process();

 private:
  // The pipe for the child's output; without it the child runs uncaptured.
  void make_output_pipe();
  BOOL start_child(std::string& command, PROCESS_INFORMATION* info);
  std::string read_output();

  unique_pipe read_end_;
  unique_pipe write_end_;
  std::optional<unique_handle> user_token_;
  HANDLE cancel_event_;
  uint32_t exit_code_ = no_exit_code;
  bool has_exit_code_ = false;
  std::chrono::steady_clock::duration run_time_{};
  // Extended, to carry the list of handles the child may inherit.
  STARTUPINFOEXA startup_info_{};
  unique_process process_;
  unique_handle thread_;
  SECURITY_ATTRIBUTES pipe_security_{};
};

}  // namespace ostrel
