// The user's session as the desktop sees it: lock, remote, console session,
// input, execution state and the monitors.
#include "desktop/desktop_state.h"

#include <physicalmonitorenumerationapi.h>
#include <winsim/machine.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace desktop = winsim::detail::desktop;

namespace {

constexpr EXECUTION_STATE known_execution_flags =
    ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_AWAYMODE_REQUIRED;

// A thread that never asked has the continuous state with no requirement.
thread_local EXECUTION_STATE thread_execution_state = ES_CONTINUOUS;

// Display monitor handles: a small constant plus the monitor's index.
constexpr uintptr_t first_monitor = 0x10001;

std::vector<DWORD> monitors() { return winsim::machine::physical_monitors(); }

bool fails(const char* function) {
  DWORD error = 0;
  if (!desktop::should_fail(function, &error)) return false;
  SetLastError(error);
  return true;
}

// GetTickCount() is per process; its distance to the shared steady clock is
// taken once, so that one last input always reads as the same tick count.
long long tick_offset() {
  static const long long offset =
      static_cast<long long>(GetTickCount64()) - static_cast<long long>(desktop::now_ms());
  return offset;
}

void copy_text(WCHAR* target, size_t capacity, const wchar_t* text) {
  std::wcsncpy(target, text, capacity - 1);
  target[capacity - 1] = L'\0';
}

std::string to_hex(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

std::vector<unsigned char> from_hex(const std::string& text) {
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The level-1 record the system keeps for the console session.
std::vector<unsigned char> own_session_record(DWORD session_id, bool locked) {
  WTSINFOEXW info{};
  info.Level = 1;
  WTSINFOEX_LEVEL1_W& level1 = info.Data.WTSInfoExLevel1;
  level1.SessionId = session_id;
  level1.SessionState = WTSActive;
  level1.SessionFlags = locked ? WTS_SESSIONSTATE_LOCK : WTS_SESSIONSTATE_UNLOCK;
  copy_text(level1.WinStationName, WINSTATIONNAME_LENGTH + 1, L"Console");
  copy_text(level1.UserName, USERNAME_LENGTH + 1, L"user");
  copy_text(level1.DomainName, DOMAIN_LENGTH + 1, L"LAPTOP");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  return std::vector<unsigned char>(bytes, bytes + sizeof info);
}

// The record set through the machine, or else the system's own.
std::vector<unsigned char> session_record(DWORD session_id) {
  const desktop::state_map state = desktop::read_state();
  const auto set = state.find(desktop::key_session_record);
  if (set != state.end()) return from_hex(set->second);
  return own_session_record(session_id, desktop::number_or(state, desktop::key_locked, 0) != 0);
}

}  // namespace

BOOL WINAPI LockWorkStation() {
  if (fails("LockWorkStation")) return FALSE;
  desktop::update_state([](desktop::state_map& state) { state[desktop::key_locked] = "1"; });
  desktop::journal("lock_workstation");
  return TRUE;
}

int WINAPI GetSystemMetrics(int index) {
  switch (index) {
    case SM_REMOTESESSION:
      return winsim::machine::remote_session() ? 1 : 0;
    default:
      return 0;
  }
}

EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE flags) {
  // ES_USER_PRESENT is not supported and fails the whole call.
  if ((flags & ~known_execution_flags) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (fails("SetThreadExecutionState")) return 0;
  const EXECUTION_STATE previous = thread_execution_state;
  if (flags & ES_CONTINUOUS) thread_execution_state = flags;
  desktop::journal("execution_state " + desktop::hex(flags));
  return previous;
}

DWORD WINAPI WTSGetActiveConsoleSessionId() {
  // No failure code: while the console session is attached or detached there is no session.
  DWORD unused = 0;
  if (desktop::should_fail("WTSGetActiveConsoleSessionId", &unused)) return 0xFFFFFFFF;
  return winsim::machine::console_session_id();
}

BOOL WINAPI GetLastInputInfo(PLASTINPUTINFO info) {
  if (info == nullptr || info->cbSize != sizeof(LASTINPUTINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (fails("GetLastInputInfo")) return FALSE;
  unsigned long long last_input = 0;
  desktop::update_state([&](desktop::state_map& state) {
    last_input = desktop::number_or(state, desktop::key_last_input, 0);
    if (last_input == 0) {
      last_input = desktop::now_ms();
      state[desktop::key_last_input] = std::to_string(last_input);
    }
    state[desktop::key_input_queries] =
        std::to_string(desktop::number_or(state, desktop::key_input_queries, 0) + 1);
  });
  info->dwTime = static_cast<DWORD>(static_cast<long long>(last_input) + tick_offset());
  return TRUE;
}

BOOL WINAPI EnumDisplayMonitors(HDC, LPCRECT, MONITORENUMPROC callback, LPARAM data) {
  if (callback == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (fails("EnumDisplayMonitors")) return FALSE;
  const size_t count = monitors().size();
  for (size_t i = 0; i < count; ++i) {
    // Side by side, left to right.
    RECT area{static_cast<LONG>(1920 * i), 0, static_cast<LONG>(1920 * (i + 1)), 1080};
    HMONITOR monitor = reinterpret_cast<HMONITOR>(first_monitor + i);
    if (!callback(monitor, nullptr, &area, data)) break;
  }
  return TRUE;
}

BOOL WINAPI GetNumberOfPhysicalMonitorsFromHMONITOR(HMONITOR monitor, LPDWORD number_of_physical_monitors) {
  if (number_of_physical_monitors == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (fails("GetNumberOfPhysicalMonitorsFromHMONITOR")) return FALSE;
  const auto counts = monitors();
  const uintptr_t value = reinterpret_cast<uintptr_t>(monitor);
  if (value < first_monitor || value - first_monitor >= counts.size()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *number_of_physical_monitors = counts[value - first_monitor];
  return TRUE;
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD session_id, WTS_INFO_CLASS info_class,
                                        LPWSTR* buffer, DWORD* bytes_returned) {
  if (buffer == nullptr || bytes_returned == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (server != WTS_CURRENT_SERVER_HANDLE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (fails("WTSQuerySessionInformationW")) return FALSE;
  const DWORD console = winsim::machine::console_session_id();
  if (session_id == WTS_CURRENT_SESSION) session_id = console;
  // Only the console session exists on this machine.
  if (console == 0xFFFFFFFF || session_id != console) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (info_class != WTSSessionInfoEx) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const std::vector<unsigned char> record = session_record(session_id);
  // Exactly the record's bytes, so that a read past them is a read past the
  // allocation, which the sanitizers report.
  void* copy = std::malloc(record.empty() ? 1 : record.size());
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!record.empty()) std::memcpy(copy, record.data(), record.size());
  *buffer = static_cast<LPWSTR>(copy);
  *bytes_returned = static_cast<DWORD>(record.size());
  return TRUE;
}

void WINAPI WTSFreeMemory(PVOID memory) { std::free(memory); }

namespace winsim::machine {

void set_session_info_record(const std::vector<unsigned char>& record) {
  desktop::update_state([&](desktop::state_map& state) { state[desktop::key_session_record] = to_hex(record); });
}

void clear_session_info_record() {
  desktop::update_state([](desktop::state_map& state) { state.erase(desktop::key_session_record); });
}

std::vector<unsigned char> session_info_record() { return session_record(console_session_id()); }

}  // namespace winsim::machine
