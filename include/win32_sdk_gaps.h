// Windows SDK names that mingw-w64's headers lack, declared once with the
// SDK's values and layouts (after libuv's winapi.h). Each names what it
// stands for; code uses these instead of numbers of its own.
#pragma once

#include <windows.h>
#include <evntprov.h>
#include <wtsapi32.h>

#include <cstddef>

namespace ostrel::sdk {

// winuser.h: GCL_HBRBACKGROUND, which 64-bit headers only name
// GCLP_HBRBACKGROUND (SetClassLongA takes the 32-bit index).
inline constexpr int gcl_hbrbackground = -10;

// evntprov.h (mingw-w64 has the control codes only in evntrace.h, and its
// EVENT_DATA_DESCRIPTOR has no Type: the type is the low byte of Reserved).
inline constexpr ULONG event_control_code_disable_provider = 0;  // EVENT_CONTROL_CODE_DISABLE_PROVIDER
inline constexpr ULONG event_control_code_enable_provider = 1;   // EVENT_CONTROL_CODE_ENABLE_PROVIDER
inline constexpr auto event_provider_set_traits = static_cast<EVENT_INFO_CLASS>(2);  // EventProviderSetTraits
inline constexpr ULONG event_data_descriptor_type_event_metadata = 1;     // EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA
inline constexpr ULONG event_data_descriptor_type_provider_metadata = 2;  // EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA
inline constexpr UCHAR winevent_channel_tracelogging = 11;               // WINEVENT_CHANNEL_TRACELOGGING

// wtsapi32.h: WTSSessionInfoEx, its record and WTS_SESSIONSTATE_LOCK.
inline constexpr auto wts_session_info_ex = static_cast<WTS_INFO_CLASS>(25);  // WTSSessionInfoEx
inline constexpr LONG wts_sessionstate_lock = 0;                              // WTS_SESSIONSTATE_LOCK

// WTSINFOEX_LEVEL1_W
struct wtsinfoex_level1_w {
  ULONG session_id;
  WTS_CONNECTSTATE_CLASS session_state;
  LONG session_flags;
  WCHAR win_station_name[WINSTATIONNAME_LENGTH + 1];
  WCHAR user_name[USERNAME_LENGTH + 1];
  WCHAR domain_name[DOMAIN_LENGTH + 1];
  LARGE_INTEGER logon_time;
  LARGE_INTEGER connect_time;
  LARGE_INTEGER disconnect_time;
  LARGE_INTEGER last_input_time;
  LARGE_INTEGER current_time;
  DWORD incoming_bytes;
  DWORD outgoing_bytes;
  DWORD incoming_frames;
  DWORD outgoing_frames;
  DWORD incoming_compressed_bytes;
  DWORD outgoing_compressed_bytes;
};
static_assert(offsetof(wtsinfoex_level1_w, session_flags) == 8, "WTSINFOEX_LEVEL1_W.SessionFlags");

// WTSINFOEXW: the level, then the record of that level.
struct wtsinfoex_w {
  DWORD level;
  union {
    wtsinfoex_level1_w level1;
  } data;
};

}  // namespace ostrel::sdk
