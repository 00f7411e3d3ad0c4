// Internal to winsim: kernel objects behind HANDLE values, and the one lock
// under which every waitable state changes.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace winsim::detail {

// Guards the signalled state of every waitable object; waiters sleep on
// wait_changed(). Keeping one lock makes WaitForMultipleObjects(wait_all)
// atomic without lock ordering between objects.
std::mutex& wait_mutex();
std::condition_variable& wait_changed();

class kernel_object {
 public:
  virtual ~kernel_object() = default;
  virtual const char* type_name() const = 0;
  // Called with wait_mutex() held.
  virtual bool waitable() const { return false; }
  virtual bool signaled() const { return false; }
  // A successful wait took the object (auto-reset events reset here).
  virtual void on_wait_satisfied() {}
  // Checks and takes the object in one step; objects shared with other
  // processes override it to make the two atomic across processes.
  virtual bool try_acquire() {
    if (!signaled()) return false;
    on_wait_satisfied();
    return true;
  }
  // Objects whose state lives outside this process are polled by waits.
  virtual bool needs_polling() const { return false; }
  // The last handle to the object was closed.
  virtual void on_last_close() {}
};

// Handle table. Values are small multiples of 4, like Windows', and are
// never 0 or INVALID_HANDLE_VALUE.
HANDLE insert_handle(std::shared_ptr<kernel_object> object);
std::shared_ptr<kernel_object> lookup_handle(HANDLE handle);
template <typename T>
std::shared_ptr<T> lookup_handle_as(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookup_handle(handle));
}
// Removes the handle; false when it was not open.
bool remove_handle(HANDLE handle);
size_t open_handle_count();
// Every open handle with its object, for CreateProcess's inheritance.
std::vector<std::pair<HANDLE, std::shared_ptr<kernel_object>>> open_handles();

// Wakes every waiter after a state change made under wait_mutex().
void notify_waiters();

// The wait behind WaitForMultipleObjects. `extra_ready`, when given, is one
// more condition (checked under wait_mutex()) that counts as the object after
// the last handle, as MsgWaitForMultipleObjects' message queue does.
DWORD wait_for_handles(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds,
                       const std::function<bool()>& extra_ready);

// Failure injection: true (and the error to report) when the named call is
// set to fail. Counts the call in the process's record and counts down
// finite failures. Every function that can fail calls this first, by its
// Win32 name.
bool should_fail(const char* function, DWORD* error);
// A narrower failure point inside a call already counted (one policy level,
// one exported name): answers fail_call() injections under `key` only.
bool should_fail_variant(const char* key, DWORD* error);

// winsim calling its own Win32 functions is not the program calling them:
// while one of these lives on a thread, that thread's calls are neither
// counted nor failed.
class internal_calls {
 public:
  internal_calls();
  ~internal_calls();
  internal_calls(const internal_calls&) = delete;
  internal_calls& operator=(const internal_calls&) = delete;
};
// The same for calls that report failure through GetLastError().
inline bool should_fail_with_last_error(const char* function) {
  DWORD error = 0;
  if (!should_fail(function, &error)) return false;
  SetLastError(error);
  return true;
}

// Area state registers how to return to a new machine; machine::reset() runs these.
void on_reset(std::function<void()> reset);

// The machine directory shared with child processes ("" when none is set).
std::string machine_directory();

}  // namespace winsim::detail
