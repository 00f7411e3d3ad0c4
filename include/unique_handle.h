// Owning wrappers for Win32 handles, one template aliased per handle kind
// (after WIL's unique_any). Each kind names the value its creating function
// returns on failure: most return null, CreateFile, CreateNamedPipe and
// CreateToolhelp32Snapshot return INVALID_HANDLE_VALUE. An empty wrapper is
// never closed. Closing keeps the caller's GetLastError().
#pragma once

#include <windows.h>

#include <utility>

namespace ostrel {

// Empty is null: CreateEvent, OpenProcess, CreateThread, RegOpenKeyEx, ...
template <typename T>
struct null_is_empty {
  static T empty() { return T{}; }
  static bool is_empty(T value) { return value == T{}; }
};

// Empty is INVALID_HANDLE_VALUE: CreateFile and its kin. Null is no such
// handle either, so it is not closed.
struct invalid_handle_value_is_empty {
  static HANDLE empty() { return INVALID_HANDLE_VALUE; }
  static bool is_empty(HANDLE value) { return value == INVALID_HANDLE_VALUE || value == nullptr; }
};

template <typename T, typename Close, Close close_fn, typename Empty = null_is_empty<T>>
class unique_any {
 public:
  unique_any() = default;
  explicit unique_any(T value) : value_(value) {}
  ~unique_any() { reset(); }
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;

  T get() const { return value_; }
  // For out-parameters: closes what is held and exposes the storage.
  T* put() {
    reset();
    return &value_;
  }
  T release() { return std::exchange(value_, Empty::empty()); }
  void reset(T value = Empty::empty()) {
    T old = std::exchange(value_, value);
    if (!Empty::is_empty(old)) {
      const DWORD error = ::GetLastError();
      close_fn(old);
      ::SetLastError(error);
    }
  }
  explicit operator bool() const { return !Empty::is_empty(value_); }

 private:
  T value_ = Empty::empty();
};

namespace detail {
inline void close_kernel_handle(HANDLE h) { ::CloseHandle(h); }
inline void close_registry_key(HKEY key) { ::RegCloseKey(key); }
inline void free_local(HLOCAL memory) { ::LocalFree(memory); }
inline void deregister_event_source(HANDLE source) { ::DeregisterEventSource(source); }
inline void unregister_power_notify(HPOWERNOTIFY notify) { ::UnregisterPowerSettingNotification(notify); }
inline void free_library(HMODULE module) { ::FreeLibrary(module); }
inline void destroy_window(HWND window) { ::DestroyWindow(window); }
}  // namespace detail

using unique_handle = unique_any<HANDLE, decltype(&detail::close_kernel_handle), detail::close_kernel_handle>;
using unique_event = unique_handle;
using unique_process = unique_handle;
using unique_pipe = unique_handle;
using unique_file = unique_any<HANDLE, decltype(&detail::close_kernel_handle), detail::close_kernel_handle,
                               invalid_handle_value_is_empty>;
using unique_hkey = unique_any<HKEY, decltype(&detail::close_registry_key), detail::close_registry_key>;
using unique_hlocal = unique_any<HLOCAL, decltype(&detail::free_local), detail::free_local>;
using unique_event_source =
    unique_any<HANDLE, decltype(&detail::deregister_event_source), detail::deregister_event_source>;
using unique_power_notify =
    unique_any<HPOWERNOTIFY, decltype(&detail::unregister_power_notify), detail::unregister_power_notify>;
using unique_module = unique_any<HMODULE, decltype(&detail::free_library), detail::free_library>;
using unique_window = unique_any<HWND, decltype(&detail::destroy_window), detail::destroy_window>;

}  // namespace ostrel
