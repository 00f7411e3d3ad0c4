// Owning wrappers for Win32 handles, one template aliased per handle kind
// (after WIL's unique_any). Empty means null, and for kernel handles also
// INVALID_HANDLE_VALUE. Closing keeps the caller's GetLastError().
#pragma once

#include <windows.h>

#include <type_traits>
#include <utility>

namespace ostrel {

template <typename T, typename Close, Close close_fn>
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
  T release() { return std::exchange(value_, T{}); }
  void reset(T value = T{}) {
    T old = std::exchange(value_, value);
    if (valid(old)) {
      const DWORD error = ::GetLastError();
      close_fn(old);
      ::SetLastError(error);
    }
  }
  explicit operator bool() const { return valid(value_); }

 private:
  static bool valid(T value) {
    if constexpr (std::is_same_v<T, HANDLE>) {
      return value != nullptr && value != INVALID_HANDLE_VALUE;
    } else {
      return value != T{};
    }
  }
  T value_{};
};

namespace detail {
inline void close_kernel_handle(HANDLE h) { ::CloseHandle(h); }
inline void close_registry_key(HKEY key) { ::RegCloseKey(key); }
inline void free_local(HLOCAL memory) { ::LocalFree(memory); }
inline void deregister_event_source(HANDLE source) { ::DeregisterEventSource(source); }
inline void unregister_power_notify(HPOWERNOTIFY notify) { ::UnregisterPowerSettingNotification(notify); }
}  // namespace detail

using unique_handle = unique_any<HANDLE, decltype(&detail::close_kernel_handle), detail::close_kernel_handle>;
using unique_event = unique_handle;
using unique_process = unique_handle;
using unique_pipe = unique_handle;
using unique_hkey = unique_any<HKEY, decltype(&detail::close_registry_key), detail::close_registry_key>;
using unique_hlocal = unique_any<HLOCAL, decltype(&detail::free_local), detail::free_local>;
using unique_event_source =
    unique_any<HANDLE, decltype(&detail::deregister_event_source), detail::deregister_event_source>;
using unique_power_notify =
    unique_any<HPOWERNOTIFY, decltype(&detail::unregister_power_notify), detail::unregister_power_notify>;

}  // namespace ostrel
