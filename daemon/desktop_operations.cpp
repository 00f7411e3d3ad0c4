#include "desktop_operations.h"

#include "console_output.h"
#include "system_error_text.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddvdeo.h>
#include <physicalmonitorenumerationapi.h>
#include <wtsapi32.h>

#include <cstddef>
#include <string>

namespace ostrel::daemon {
namespace {

// WTSSessionInfoEx, its record and WTS_SESSIONSTATE_LOCK, with the SDK's
// values and layout: older wtsapi32.h headers (mingw-w64's) lack them.
constexpr int session_info_ex = 25;
constexpr LONG session_state_lock = 0;
constexpr size_t name_length = 32;    // WINSTATIONNAME_LENGTH
constexpr size_t user_length = 20;    // USERNAME_LENGTH
constexpr size_t domain_length = 17;  // DOMAIN_LENGTH

struct session_info_level1 {
  ULONG session_id;
  WTS_CONNECTSTATE_CLASS session_state;
  LONG session_flags;
  WCHAR win_station_name[name_length + 1];
  WCHAR user_name[user_length + 1];
  WCHAR domain_name[domain_length + 1];
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

struct session_info {
  DWORD level;
  union {
    session_info_level1 level1;
  } data;
};

using query_session_information_fn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using free_memory_fn = void(WINAPI*)(PVOID);

template <typename Function>
Function lookup(HMODULE library, const char* name) {
  // GetProcAddress hands out a generic function pointer; the detour through
  // void(*)() keeps the conversion explicit.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// Opened on first use and kept until the process ends.
HANDLE lcd_device() {
  static HANDLE device = INVALID_HANDLE_VALUE;
  if (device == INVALID_HANDLE_VALUE) {
    device = CreateFileA("\\\\.\\LCD", GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                         /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, /*dwFlagsAndAttributes=*/0,
                         /*hTemplateFile=*/nullptr);
    if (device == INVALID_HANDLE_VALUE) print_error("Invalid handle: " + system_error_text(GetLastError()) + "\n");
  }
  return device;
}

// Reads the record only as far as the system filled it: a record too short
// for a field answers as if the field said "not locked".
bool record_says_locked(const session_info* info, DWORD size) {
  constexpr size_t flags_end =
      offsetof(session_info, data) + offsetof(session_info_level1, session_flags) + sizeof(LONG);
  if (size < sizeof info->level) return false;
  if (info->level != 1) {
    print_output("f( dwFlags == 0 \n");
    return true;
  }
  print_output("ppBuffer\n");
  if (size < flags_end || info->data.level1.session_flags != session_state_lock) return false;
  print_output("f( dwFlags == 0 \n");
  return true;
}

BOOL CALLBACK add_physical_monitors(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  DWORD count = 0;
  if (GetNumberOfPhysicalMonitorsFromHMONITOR(monitor, &count)) *reinterpret_cast<DWORD*>(data) += count;
  return TRUE;  // every display monitor counts, whatever this one answered
}

}  // namespace

int get_brightness() {
  HANDLE device = lcd_device();
  if (device == INVALID_HANDLE_VALUE) return -1;
  DISPLAY_BRIGHTNESS levels{};
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_VIDEO_QUERY_DISPLAY_BRIGHTNESS, /*lpInBuffer=*/nullptr, /*nInBufferSize=*/0,
                       &levels, sizeof levels, &returned, /*lpOverlapped=*/nullptr)) {
    print_error("Failed to get brightness: " + system_error_text(GetLastError()) + "\n");
    return -1;
  }
  return levels.ucACBrightness;
}

bool set_brightness(int value) {
  HANDLE device = lcd_device();
  if (device == INVALID_HANDLE_VALUE) return false;
  DISPLAY_BRIGHTNESS levels{};
  levels.ucDisplayPolicy = 0;
  levels.ucACBrightness = static_cast<UCHAR>(value);
  levels.ucDCBrightness = static_cast<UCHAR>(value);
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_VIDEO_SET_DISPLAY_BRIGHTNESS, &levels, sizeof levels, /*lpOutBuffer=*/nullptr,
                       /*nOutBufferSize=*/0, &returned, /*lpOverlapped=*/nullptr)) {
    print_error("Failed to set brightness: " + system_error_text(GetLastError()) + "\n");
    return false;
  }
  return true;
}

DWORD physical_monitor_count() {
  DWORD count = 0;
  EnumDisplayMonitors(/*hdc=*/nullptr, /*lprcClip=*/nullptr, add_physical_monitors, reinterpret_cast<LPARAM>(&count));
  return count;
}

bool is_session_locked() {
  HMODULE library = LoadLibraryA("wtsapi32.dll");
  if (library == nullptr) return false;
  bool locked = false;
  auto query = lookup<query_session_information_fn>(library, "WTSQuerySessionInformationW");
  if (query != nullptr) {
    print_output("pWTSQuerySessionInformation\n");
    auto free_memory = lookup<free_memory_fn>(library, "WTSFreeMemory");
    if (free_memory != nullptr) {
      print_output("pWTSFreeMemory\n");
      LPWSTR buffer = nullptr;
      DWORD size = 0;
      if (query(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(),
                static_cast<WTS_INFO_CLASS>(session_info_ex), &buffer, &size)) {
        print_output("pWTSQuerySessionInformation\n");
        locked = record_says_locked(reinterpret_cast<const session_info*>(buffer), size);
        free_memory(buffer);
      }
    }
  }
  FreeLibrary(library);
  return locked;
}

bool is_remote_session() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

bool turn_off_display() {
  constexpr LPARAM power_off = 2;
  return PostMessageA(HWND_BROADCAST, WM_SYSCOMMAND, SC_MONITORPOWER, power_off) != FALSE;
}

}  // namespace ostrel::daemon
