// The handle table and the shared wait lock.
#include "kernel/kernel_object.h"

#include <unordered_map>

namespace winsim::detail {
namespace {

struct handle_table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<kernel_object>> objects;
  uintptr_t next = 0x100;
};

handle_table& table() {
  static handle_table* t = new handle_table;  // outlives static destructors of other objects
  return *t;
}

}  // namespace

std::mutex& wait_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::condition_variable& wait_changed() {
  static std::condition_variable* cv = new std::condition_variable;
  return *cv;
}

void notify_waiters() { wait_changed().notify_all(); }

HANDLE insert_handle(std::shared_ptr<kernel_object> object) {
  auto& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<kernel_object> lookup_handle(HANDLE handle) {
  auto& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool remove_handle(HANDLE handle) {
  std::shared_ptr<kernel_object> object;
  {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) return false;
    object = std::move(it->second);
    t.objects.erase(it);
  }
  if (object.use_count() == 1) object->on_last_close();
  return true;
}

size_t open_handle_count() {
  auto& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.objects.size();
}

}  // namespace winsim::detail

BOOL WINAPI CloseHandle(HANDLE object) {
  if (winsim::detail::should_fail_with_last_error("CloseHandle")) return FALSE;
  if (!winsim::detail::remove_handle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
