// The machine-wide controls: reset, failure injection with its record of
// calls, the machine directory.
#include "kernel/kernel_object.h"

#include <winsim/machine.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <vector>

namespace winsim::detail {
namespace {

struct failure {
  DWORD error;
  int remaining;  // -1: every call
};

struct nth_failure {
  size_t call;
  DWORD error;
};

struct machine_state {
  std::mutex mutex;
  std::map<std::string, failure> failures;
  std::map<std::string, nth_failure> nth_failures;
  std::map<std::string, size_t> calls;
  std::vector<std::function<void()>> resets;
};

// Depth of internal_calls scopes on this thread.
thread_local int internal_depth = 0;

machine_state& state() {
  static machine_state* s = new machine_state;
  return *s;
}

bool take_failure_locked(machine_state& s, const std::string& key, DWORD* error) {
  auto it = s.failures.find(key);
  if (it == s.failures.end()) return false;
  *error = it->second.error;
  if (it->second.remaining > 0 && --it->second.remaining == 0) s.failures.erase(it);
  return true;
}

}  // namespace

internal_calls::internal_calls() { ++internal_depth; }
internal_calls::~internal_calls() { --internal_depth; }

bool should_fail(const char* function, DWORD* error) {
  if (internal_depth > 0) return false;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const size_t call = ++s.calls[function];
  auto nth = s.nth_failures.find(function);
  if (nth != s.nth_failures.end() && nth->second.call == call) {
    *error = nth->second.error;
    s.nth_failures.erase(nth);
    return true;
  }
  return take_failure_locked(s, function, error);
}

bool should_fail_variant(const char* key, DWORD* error) {
  if (internal_depth > 0) return false;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return take_failure_locked(s, key, error);
}

void on_reset(std::function<void()> reset) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.resets.push_back(std::move(reset));
}

std::string machine_directory() {
  const char* dir = std::getenv("WINSIM_MACHINE");
  return dir ? std::string(dir) : std::string();
}

}  // namespace winsim::detail

namespace winsim::machine {

void reset() {
  std::vector<std::function<void()>> resets;
  {
    auto& s = detail::state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failures.clear();
    s.nth_failures.clear();
    s.calls.clear();
    resets = s.resets;
  }
  for (auto& r : resets) r();
}

std::string directory() { return detail::machine_directory(); }

void fail_call(const std::string& function, DWORD error, int times) {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (times == 0) {
    s.failures.erase(function);
    return;
  }
  s.failures[function] = {error, times};
}

void clear_failures() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.failures.clear();
  s.nth_failures.clear();
}

void fail_nth_call(const std::string& function, size_t n, DWORD error) {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.nth_failures[function] = {n, error};
}

std::map<std::string, size_t> call_counts() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls;
}

void clear_call_counts() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
}

size_t open_handle_count() { return detail::open_handle_count(); }

scoped_machine::scoped_machine() {
  if (const char* previous = std::getenv("WINSIM_MACHINE")) {
    previous_ = previous;
    had_previous_ = true;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "winsim-machine-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot create a machine directory");
  path_ = buffer.data();
  std::filesystem::create_directories(path_ + "/drive_c");
  ::setenv("WINSIM_MACHINE", path_.c_str(), 1);
  reset();
}

scoped_machine::~scoped_machine() {
  reset();
  if (had_previous_) {
    ::setenv("WINSIM_MACHINE", previous_.c_str(), 1);
  } else {
    ::unsetenv("WINSIM_MACHINE");
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace winsim::machine
