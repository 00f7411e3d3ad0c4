// The application event log: event sources and the entries reported through them.
#include "kernel/kernel_object.h"

#include <winsim/machine.h>

#include <map>

namespace {

struct event_log_state {
  std::mutex mutex;
  std::map<HANDLE, std::string> sources;
  uintptr_t next = 0;
  std::vector<winsim::machine::event_log_entry> entries;
};

event_log_state& state() {
  static event_log_state* s = [] {
    auto* created = new event_log_state;
    winsim::detail::on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->sources.clear();
      created->entries.clear();
    });
    return created;
  }();
  return *s;
}

bool valid_type(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_INFORMATION_TYPE:
    case EVENTLOG_AUDIT_SUCCESS:
    case EVENTLOG_AUDIT_FAILURE:
      return true;
    default:
      return false;
  }
}

}  // namespace

HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source) {
  if (winsim::detail::should_fail_with_last_error("RegisterEventSourceA")) return nullptr;
  if (server != nullptr && server[0] != '\0') {
    // Only the local machine's log exists here.
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.next;
  // Not a kernel handle: event-log handles have their own namespace.
  auto handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7E0000 + s.next * 8));
  s.sources[handle] = source;
  return handle;
}

BOOL WINAPI ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID, WORD string_count,
                         DWORD data_size, LPCSTR* strings, LPVOID raw_data) {
  if (winsim::detail::should_fail_with_last_error("ReportEventA")) return FALSE;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto source = s.sources.find(event_log);
  if (source == s.sources.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!valid_type(type) || (string_count > 0 && strings == nullptr) || (data_size > 0 && raw_data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  winsim::machine::event_log_entry entry;
  entry.source = source->second;
  entry.type = type;
  entry.category = category;
  entry.event_id = event_id;
  for (WORD i = 0; i < string_count; ++i) {
    if (strings[i] == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    entry.strings.emplace_back(strings[i]);
  }
  const auto* bytes = static_cast<const BYTE*>(raw_data);
  if (data_size > 0) entry.data.assign(bytes, bytes + data_size);
  s.entries.push_back(std::move(entry));
  return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE event_log) {
  if (winsim::detail::should_fail_with_last_error("DeregisterEventSource")) return FALSE;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.sources.erase(event_log) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace winsim::machine {

std::vector<event_log_entry> event_log() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.entries;
}

void clear_event_log() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries.clear();
}

size_t open_event_source_count() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sources.size();
}

}  // namespace winsim::machine
