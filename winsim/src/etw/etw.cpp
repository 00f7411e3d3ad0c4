// Event Tracing for Windows: provider registration with enable callbacks, one
// trace session, and TraceLogging metadata decoding of the events written.
#include "kernel/kernel_object.h"

#include <evntprov.h>
#include <winsim/machine.h>

#include <condition_variable>
#include <map>

namespace {

using winsim::machine::trace_event;

struct provider {
  GUID id;
  PENABLECALLBACK callback;
  PVOID context;
  std::vector<unsigned char> traits;
};

struct session {
  bool active = false;
  UCHAR level = 0;
  ULONGLONG any = 0;
  ULONGLONG all = 0;
};

struct etw_state {
  std::mutex mutex;
  std::map<REGHANDLE, provider> providers;
  REGHANDLE next = 1;
  session current;
  std::vector<trace_event> events;
  std::condition_variable events_arrived;
};

etw_state& state() {
  static etw_state* s = [] {
    auto* created = new etw_state;
    winsim::detail::on_reset([created] {
      winsim::machine::stop_trace_session();
      std::lock_guard<std::mutex> lock(created->mutex);
      created->events.clear();
    });
    return created;
  }();
  return *s;
}

// Calls enable callbacks outside the state lock, like ETW's own thread does.
void notify_providers(const std::vector<provider>& targets, ULONG control, const session& s) {
  for (const auto& p : targets) {
    if (p.callback) p.callback(&p.id, control, s.level, s.any, s.all, nullptr, p.context);
  }
}

std::vector<provider> all_providers(etw_state& st) {
  std::vector<provider> result;
  for (const auto& [handle, p] : st.providers) result.push_back(p);
  return result;
}

// Reads a zero-terminated string at `offset` of a blob; advances the offset.
std::string read_cstring(const unsigned char* blob, size_t size, size_t& offset) {
  std::string text;
  while (offset < size && blob[offset] != 0) text += static_cast<char>(blob[offset++]);
  ++offset;
  return text;
}

// TraceLogging provider metadata: UINT16 size, name, then traits.
std::string provider_name(const unsigned char* blob, size_t size) {
  if (size < 3) return {};
  size_t offset = 2;
  return read_cstring(blob, size, offset);
}

// TraceLogging event metadata: UINT16 size, tag bytes (while the high bit is
// set), event name, then per field: name, in-type (and out-type when the
// in-type's high bit is set).
void decode_event_metadata(const unsigned char* blob, size_t size, trace_event& event,
                           std::vector<unsigned char>& in_types) {
  if (size < 3) return;
  size_t offset = 2;
  while (offset < size && (blob[offset] & 0x80)) ++offset;
  ++offset;
  event.name = read_cstring(blob, size, offset);
  while (offset < size) {
    std::string field = read_cstring(blob, size, offset);
    if (offset >= size) break;
    unsigned char in_type = blob[offset++];
    if (in_type & 0x80) {
      unsigned char out_type = offset < size ? blob[offset++] : 0;
      while ((out_type & 0x80) && offset < size) out_type = blob[offset++];
    }
    event.field_names.push_back(field);
    in_types.push_back(in_type & 0x1F);
  }
}

constexpr unsigned char tlg_in_ansistring = 2;

}  // namespace

ULONG WINAPI EventRegister(LPCGUID provider_id, PENABLECALLBACK enable_callback, PVOID callback_context,
                           PREGHANDLE reg_handle) {
  if (provider_id == nullptr || reg_handle == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  if (winsim::detail::should_fail("EventRegister", &error)) return error;
  auto& st = state();
  provider p{*provider_id, enable_callback, callback_context, {}};
  session s;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    *reg_handle = st.next++;
    st.providers.emplace(*reg_handle, p);
    s = st.current;
  }
  if (s.active) notify_providers({p}, EVENT_CONTROL_CODE_ENABLE_PROVIDER, s);
  return ERROR_SUCCESS;
}

ULONG WINAPI EventUnregister(REGHANDLE reg_handle) {
  DWORD error = 0;
  if (winsim::detail::should_fail("EventUnregister", &error)) return error;
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.providers.erase(reg_handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

ULONG WINAPI EventSetInformation(REGHANDLE reg_handle, EVENT_INFO_CLASS information_class, PVOID information,
                                 ULONG information_length) {
  DWORD error = 0;
  if (winsim::detail::should_fail("EventSetInformation", &error)) return error;
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  auto it = st.providers.find(reg_handle);
  if (it == st.providers.end()) return ERROR_INVALID_HANDLE;
  if (information_class == EventProviderSetTraits) {
    auto* bytes = static_cast<const unsigned char*>(information);
    it->second.traits.assign(bytes, bytes + information_length);
  }
  return ERROR_SUCCESS;
}

ULONG WINAPI EventWriteTransfer(REGHANDLE reg_handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID, LPCGUID,
                                ULONG user_data_count, PEVENT_DATA_DESCRIPTOR user_data) {
  DWORD error = 0;
  if (winsim::detail::should_fail("EventWriteTransfer", &error)) return error;
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (st.providers.find(reg_handle) == st.providers.end()) return ERROR_INVALID_HANDLE;
  if (!st.current.active || descriptor == nullptr) return ERROR_SUCCESS;
  if (st.current.level != 0 && descriptor->Level > st.current.level) return ERROR_SUCCESS;

  trace_event event;
  event.time = std::chrono::steady_clock::now();
  event.level = descriptor->Level;
  event.channel = descriptor->Channel;
  event.keyword = descriptor->Keyword;
  std::vector<unsigned char> in_types;
  std::vector<const EVENT_DATA_DESCRIPTOR*> fields;
  for (ULONG i = 0; i < user_data_count; ++i) {
    const auto& d = user_data[i];
    const auto* bytes = reinterpret_cast<const unsigned char*>(d.Ptr);
    if (d.Type == EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA) {
      event.provider = provider_name(bytes, d.Size);
    } else if (d.Type == EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA) {
      decode_event_metadata(bytes, d.Size, event, in_types);
    } else {
      fields.push_back(&d);
    }
  }
  for (size_t i = 0; i < fields.size() && i < event.field_names.size(); ++i) {
    if (event.field_names[i] == "Message" && in_types[i] == tlg_in_ansistring) {
      const char* text = reinterpret_cast<const char*>(fields[i]->Ptr);
      size_t size = fields[i]->Size;
      event.message.assign(text, size > 0 && text[size - 1] == '\0' ? size - 1 : size);
    }
  }
  st.events.push_back(std::move(event));
  st.events_arrived.notify_all();
  return ERROR_SUCCESS;
}

namespace winsim::machine {

void start_trace_session(UCHAR level, ULONGLONG match_any_keyword, ULONGLONG match_all_keyword) {
  auto& st = state();
  std::vector<provider> targets;
  session s;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.current = session{true, level, match_any_keyword, match_all_keyword};
    s = st.current;
    targets = all_providers(st);
  }
  notify_providers(targets, EVENT_CONTROL_CODE_ENABLE_PROVIDER, s);
}

void stop_trace_session() {
  auto& st = state();
  std::vector<provider> targets;
  session s;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.current.active) return;
    st.current.active = false;
    s = st.current;
    targets = all_providers(st);
  }
  notify_providers(targets, EVENT_CONTROL_CODE_DISABLE_PROVIDER, s);
}

bool trace_session_active() {
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.current.active;
}

std::vector<trace_event> trace_events() {
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.events;
}

std::vector<std::string> trace_messages() {
  std::vector<std::string> messages;
  for (const auto& e : trace_events()) messages.push_back(e.message);
  return messages;
}

std::vector<trace_event> take_trace_events() {
  std::vector<trace_event> taken;
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  taken.swap(st.events);
  return taken;
}

bool wait_for_trace_events(DWORD timeout_ms) {
  auto& st = state();
  std::unique_lock<std::mutex> lock(st.mutex);
  return st.events_arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !st.events.empty(); });
}

std::vector<std::string> take_trace_messages() {
  std::vector<trace_event> taken = take_trace_events();
  std::vector<std::string> messages;
  messages.reserve(taken.size());
  for (auto& e : taken) messages.push_back(std::move(e.message));
  return messages;
}

void clear_trace_events() {
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.events.clear();
}

size_t registered_provider_count() {
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.providers.size();
}

std::vector<unsigned char> provider_traits(const std::string& name) {
  auto& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  for (const auto& [handle, p] : st.providers) {
    if (provider_name(p.traits.data(), p.traits.size()) == name) return p.traits;
  }
  return {};
}

}  // namespace winsim::machine
