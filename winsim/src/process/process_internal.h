// Internal to winsim: pipe ends and child processes shared by the files of
// the process area.
#pragma once

#include "kernel/kernel_object.h"

#include <winsim/machine_process.h>

#include <atomic>
#include <string>
#include <vector>

namespace winsim::detail {

// One end of an anonymous pipe, backed by a host pipe. Bytes that
// PeekNamedPipe had to take out of the host pipe wait in `peeked` until
// ReadFile consumes them.
class pipe_end : public kernel_object {
 public:
  pipe_end(int fd, bool read_side, bool inheritable) : fd_(fd), read_side_(read_side), inherit_(inheritable) {}
  ~pipe_end() override;
  const char* type_name() const override { return "Pipe"; }
  int fd() const { return fd_; }
  bool read_side() const { return read_side_; }
  bool inheritable() const { return inherit_.load(); }
  void set_inheritable(bool inherit) { inherit_.store(inherit); }

  std::mutex mutex;
  std::string peeked;  // guarded by mutex

 private:
  const int fd_;
  const bool read_side_;
  std::atomic<bool> inherit_;
};

// The program's own path on the host (/proc/self/exe).
std::string own_program_path();

// Where CreateProcess finds the program of a command line (or of an explicit
// application name). Sets *error to a Win32 error when nothing is found.
std::string find_program(const char* application_name, const std::string& command_line, DWORD* error);

}  // namespace winsim::detail
