// WaitForSingleObject / WaitForMultipleObjects(Ex) over any waitable objects.
#include "kernel/kernel_object.h"

#include <chrono>
#include <vector>

namespace {

using winsim::detail::kernel_object;
using clock_type = std::chrono::steady_clock;

// Objects whose state lives in another process are looked at this often.
constexpr auto polling_interval = std::chrono::milliseconds(5);

// Under wait_mutex(): the index satisfied by a wait-any, or -1.
int try_wait_any(const std::vector<std::shared_ptr<kernel_object>>& objects) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->try_acquire()) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

namespace winsim::detail {

DWORD wait_for_handles(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds,
                       const std::function<bool()>& extra_ready) {
  const DWORD limit = extra_ready ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
  if ((count == 0 && !extra_ready) || count > limit || (count > 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<kernel_object>> objects;
  bool polling = false;
  for (DWORD i = 0; i < count; ++i) {
    auto o = lookup_handle(handles[i]);
    if (!o || !o->waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    polling = polling || o->needs_polling();
    objects.push_back(std::move(o));
  }

  const bool forever = milliseconds == INFINITE;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  std::unique_lock<std::mutex> lock(wait_mutex());
  for (;;) {
    if (wait_all) {
      bool all = true;
      for (const auto& o : objects) all = all && o->signaled();
      if (all && (!extra_ready || extra_ready())) {
        for (const auto& o : objects) o->on_wait_satisfied();
        return WAIT_OBJECT_0;
      }
    } else {
      int index = try_wait_any(objects);
      if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
      if (extra_ready && extra_ready()) return WAIT_OBJECT_0 + count;
    }
    auto now = clock_type::now();
    if (!forever && now >= deadline) return WAIT_TIMEOUT;
    if (polling) {
      auto until = now + polling_interval;
      if (!forever && deadline < until) until = deadline;
      wait_changed().wait_until(lock, until);
    } else if (forever) {
      wait_changed().wait(lock);
    } else {
      wait_changed().wait_until(lock, deadline);
    }
  }
}

}  // namespace winsim::detail

namespace {

DWORD wait(const char* function, DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds) {
  if (winsim::detail::should_fail_with_last_error(function)) return WAIT_FAILED;
  return winsim::detail::wait_for_handles(count, handles, wait_all, milliseconds, nullptr);
}

}  // namespace

DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds, BOOL) {
  return wait("WaitForMultipleObjectsEx", count, handles, wait_all, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds) {
  return wait("WaitForMultipleObjects", count, handles, wait_all, milliseconds);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return wait("WaitForSingleObject", 1, &handle, FALSE, milliseconds);
}
