// Unnamed event objects: manual- and auto-reset.
#include "kernel/event_objects.h"

namespace winsim::detail {

bool event_object::signaled() const { return signaled_; }

void event_object::on_wait_satisfied() {
  if (!manual_reset_) signaled_ = false;
}

void event_object::set(bool state) {
  std::lock_guard<std::mutex> lock(wait_mutex());
  signaled_ = state;
  if (state) notify_waiters();
}

}  // namespace winsim::detail

using winsim::detail::event_base;
using winsim::detail::event_object;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
  DWORD error = 0;
  if (winsim::detail::should_fail("CreateEventA", &error)) {
    SetLastError(error);
    return nullptr;
  }
  if (name != nullptr && *name != '\0') {
    bool existed = false;
    auto named = winsim::detail::open_named_event(name, manual_reset != FALSE, initial_state != FALSE,
                                                  /*create=*/true, &existed);
    if (!named) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HANDLE h = winsim::detail::insert_handle(std::move(named));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
  }
  HANDLE h = winsim::detail::insert_handle(
      std::make_shared<event_object>(manual_reset != FALSE, initial_state != FALSE));
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR name) {
  if (winsim::detail::should_fail_with_last_error("OpenEventA")) return nullptr;
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  auto named = winsim::detail::open_named_event(name, false, false, /*create=*/false, &existed);
  if (!named) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return winsim::detail::insert_handle(std::move(named));
}

static BOOL set_event_state(const char* function, HANDLE handle, bool state) {
  if (winsim::detail::should_fail_with_last_error(function)) return FALSE;
  auto event = winsim::detail::lookup_handle_as<event_base>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->set(state);
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE event) { return set_event_state("SetEvent", event, true); }
BOOL WINAPI ResetEvent(HANDLE event) { return set_event_state("ResetEvent", event, false); }
