// Internal to winsim: one end of an anonymous pipe, backed by a host pipe,
// and how pipe ends cross into a child process. They are the only kernel
// objects that can: every other object lives inside one host process.
#pragma once

#include "kernel/kernel_object.h"

#include <atomic>
#include <string>
#include <vector>

namespace winsim::detail {

// Bytes that PeekNamedPipe had to take out of the host pipe wait in
// `peeked` until ReadFile consumes them.
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

// A handle a child inherits: the same value as in its parent, over the
// descriptor the child was given for it.
struct inherited_handle {
  HANDLE value = nullptr;
  int fd = -1;
  bool read_side = false;
};

// The environment variable that tells a child which handles it inherited.
constexpr const char* inherited_handles_variable = "WINSIM_INHERITED_HANDLES";

std::string describe_inherited_handles(const std::vector<inherited_handle>& handles);
// The handles named by `text`; entries that are malformed or whose
// descriptor is not open in this process are left out.
std::vector<inherited_handle> parse_inherited_handles(const char* text);

}  // namespace winsim::detail
