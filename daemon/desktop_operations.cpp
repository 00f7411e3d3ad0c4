#include "desktop_operations.h"

#include "console_output.h"
#include "system_error_text.h"
#include "unique_handle.h"
#include "win32_sdk_gaps.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddvdeo.h>
#include <physicalmonitorenumerationapi.h>
#include <wtsapi32.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ostrel::daemon {
namespace {

using sdk::wtsinfoex_level1_w;
using sdk::wtsinfoex_w;

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
bool record_says_locked(const wtsinfoex_w* info, DWORD size) {
  constexpr size_t flags_end =
      offsetof(wtsinfoex_w, data) + offsetof(wtsinfoex_level1_w, session_flags) + sizeof(LONG);
  if (size < sizeof info->level) return false;
  if (info->level != 1) {
    print_output("f( dwFlags == 0 \n");
    return true;
  }
  print_output("ppBuffer\n");
  if (size < flags_end || info->data.level1.session_flags != sdk::wts_sessionstate_lock) return false;
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
  const unique_module library(LoadLibraryA("wtsapi32.dll"));
  if (!library) return false;
  auto query = lookup<query_session_information_fn>(library.get(), "WTSQuerySessionInformationW");
  if (query == nullptr) return false;
  print_output("pWTSQuerySessionInformation\n");
  auto free_memory = lookup<free_memory_fn>(library.get(), "WTSFreeMemory");
  if (free_memory == nullptr) return false;
  print_output("pWTSFreeMemory\n");
  LPWSTR buffer = nullptr;
  DWORD size = 0;
  if (!query(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(), sdk::wts_session_info_ex, &buffer, &size)) {
    return false;
  }
  // Freed through the library's own function, before the library goes.
  const std::unique_ptr<WCHAR, free_memory_fn> record(buffer, free_memory);
  print_output("pWTSQuerySessionInformation\n");
  return record_says_locked(reinterpret_cast<const wtsinfoex_w*>(buffer), size);
}

bool is_remote_session() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

bool turn_off_display() {
  constexpr LPARAM power_off = 2;
  return PostMessageA(HWND_BROADCAST, WM_SYSCOMMAND, SC_MONITORPOWER, power_off) != FALSE;
}

}  // namespace ostrel::daemon
