#include "logging/trace_provider.h"

#include "win32_sdk_gaps.h"

#include <atomic>
#include <cstring>

namespace ostrel::logging {

// {5C1D7E3A-8B42-4F96-A0D3-6E29B7C4F1A8}
const GUID nolvane_provider_id = {0x5c1d7e3a, 0x8b42, 0x4f96, {0xa0, 0xd3, 0x6e, 0x29, 0xb7, 0xc4, 0xf1, 0xa8}};

namespace {

// TraceLogging metadata as the SDK's macros lay it out.
// Provider: UINT16 total size, then the zero-terminated name.
#pragma pack(push, 1)
struct provider_metadata {
  uint16_t size;
  char name[sizeof("NolvaneSvc")];
};
// Event: UINT16 total size, one tag byte (0: no tags), the zero-terminated
// event name, then per field its name and in-type.
struct event_metadata {
  uint16_t size;
  uint8_t tags;
  char name[sizeof("TraceEvent")];
  char field[sizeof("Message")];
  uint8_t field_in_type;
};
#pragma pack(pop)

constexpr uint8_t tlg_in_ansistring = 2;

constexpr provider_metadata provider_meta = {sizeof(provider_metadata), "NolvaneSvc"};
constexpr event_metadata event_meta = {sizeof(event_metadata), 0, "TraceEvent", "Message", tlg_in_ansistring};

struct provider_state {
  std::atomic<REGHANDLE> handle{0};
  std::atomic<uint32_t> level_plus1{0};
  std::atomic<uint64_t> match_any{0};
  std::atomic<uint64_t> match_all{0};
  std::atomic<PENABLECALLBACK> chained{nullptr};
  std::atomic<void*> chained_context{nullptr};
};

provider_state& provider() {
  static provider_state state;
  return state;
}

void NTAPI enable_callback(LPCGUID source_id, ULONG is_enabled, UCHAR level, ULONGLONG match_any_keyword,
                           ULONGLONG match_all_keyword, PEVENT_FILTER_DESCRIPTOR filter, PVOID) {
  auto& p = provider();
  if (is_enabled == sdk::event_control_code_disable_provider) {
    p.level_plus1 = 0;
  } else if (is_enabled == sdk::event_control_code_enable_provider) {
    p.level_plus1 = static_cast<uint32_t>(level == 0 ? 256 : level + 1);
    p.match_any = match_any_keyword;
    p.match_all = match_all_keyword;
  }
  if (PENABLECALLBACK chained = p.chained) {
    chained(source_id, is_enabled, level, match_any_keyword, match_all_keyword, filter, p.chained_context);
  }
}

}  // namespace

void register_trace_provider(PENABLECALLBACK chained, void* chained_context) {
  auto& p = provider();
  if (p.handle != 0) RaiseFailFastException(nullptr, nullptr, 0);
  p.chained_context = chained_context;
  p.chained = chained;
  REGHANDLE handle = 0;
  if (EventRegister(&nolvane_provider_id, enable_callback, nullptr, &handle) != ERROR_SUCCESS) return;
  p.handle = handle;
  EventSetInformation(handle, sdk::event_provider_set_traits, const_cast<provider_metadata*>(&provider_meta),
                      sizeof(provider_meta));
}

void unregister_trace_provider() {
  auto& p = provider();
  REGHANDLE handle = p.handle.exchange(0);
  if (handle != 0) EventUnregister(handle);
  p.level_plus1 = 0;
}

uint32_t provider_enabled_level_plus1() { return provider().level_plus1; }
uint64_t provider_match_any_keyword() { return provider().match_any; }
uint64_t provider_match_all_keyword() { return provider().match_all; }

void write_trace_event(uint8_t etw_level, const char* text) {
  const REGHANDLE handle = provider().handle;
  if (handle == 0) return;
  if (text == nullptr) text = "";
  EVENT_DESCRIPTOR descriptor = {};
  descriptor.Channel = sdk::winevent_channel_tracelogging;
  descriptor.Level = etw_level;
  EVENT_DATA_DESCRIPTOR data[3];
  EventDataDescCreate(&data[0], &provider_meta, sizeof(provider_meta));
  data[0].Reserved = sdk::event_data_descriptor_type_provider_metadata;
  EventDataDescCreate(&data[1], &event_meta, sizeof(event_meta));
  data[1].Reserved = sdk::event_data_descriptor_type_event_metadata;
  EventDataDescCreate(&data[2], text, static_cast<ULONG>(std::strlen(text) + 1));
  EventWriteTransfer(handle, &descriptor, /*ActivityId=*/nullptr, /*RelatedActivityId=*/nullptr, 3, data);
}

}  // namespace ostrel::logging
