// The system's text for a Win32 error code, from FormatMessageA, exactly as
// the system words it (with its own line end, no trimming).
#pragma once

#include "unique_handle.h"

#include <windows.h>

#include <string>

namespace ostrel {

// The message for `error` in `language` (a MAKELANGID value; 0 lets the
// system choose); "" when the system has none. Formats any code, 0 included.
inline std::string format_system_message(DWORD error, DWORD language) {
  LPSTR buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      /*lpSource=*/nullptr, error, language, reinterpret_cast<LPSTR>(&buffer), /*nSize=*/0, /*Arguments=*/nullptr);
  const unique_hlocal owned(buffer);
  return length != 0 && buffer != nullptr ? std::string(buffer, length) : std::string();
}

// The text for a failed call's error code: "" for 0 (nothing failed) or an
// unknown code.
inline std::string system_error_text(DWORD error) {
  if (error == 0) return {};
  return format_system_message(error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
}

}  // namespace ostrel
