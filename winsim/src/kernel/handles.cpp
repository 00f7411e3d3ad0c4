// The handle table and the shared wait lock.
#include "kernel/kernel_object.h"
#include "kernel/pipe_end.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

namespace winsim::detail {
namespace {

struct handle_table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<kernel_object>> objects;
  uintptr_t next = 0x100;
};

// A child process starts with the handles it inherited, at the values they
// had in its parent; its own handles are numbered above them.
void adopt_inherited_handles(handle_table& t) {
  for (const auto& h : parse_inherited_handles(std::getenv(inherited_handles_variable))) {
    ::fcntl(h.fd, F_SETFD, FD_CLOEXEC);  // passed on again only by CreateProcess
    const auto value = reinterpret_cast<uintptr_t>(h.value);
    t.objects[value] = std::make_shared<pipe_end>(h.fd, h.read_side, /*inheritable=*/true);
    t.next = std::max(t.next, value + 4);
  }
}

handle_table& table() {
  static handle_table* t = [] {
    auto* created = new handle_table;  // outlives static destructors of other objects
    adopt_inherited_handles(*created);
    return created;
  }();
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

std::vector<std::pair<HANDLE, std::shared_ptr<kernel_object>>> open_handles() {
  auto& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  std::vector<std::pair<HANDLE, std::shared_ptr<kernel_object>>> all;
  for (const auto& [value, object] : t.objects) all.emplace_back(reinterpret_cast<HANDLE>(value), object);
  return all;
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
