// GetModuleFileNameA/W for the program's own module. The host path is UTF-8,
// which is then also the "ANSI" code page of the simulated system.
#include "process/process_internal.h"

#include <algorithm>
#include <string>

namespace {

// UTF-8 to wide characters; malformed bytes become U+FFFD.
std::wstring widen(const std::string& text) {
  std::wstring result;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
      result += L'\uFFFD';
      ++i;
      continue;
    }
    uint32_t code = length == 1 ? b : b & (0x7F >> length);
    bool valid = true;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    result += valid ? static_cast<wchar_t>(code) : L'\uFFFD';
    i += valid ? length : 1;
  }
  return result;
}

// Copies with the Windows rules: a truncated name is still terminated, the
// result is then the buffer size and the error ERROR_INSUFFICIENT_BUFFER.
template <typename Char>
DWORD copy_name(const std::basic_string<Char>& name, Char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() >= size) {
    std::copy(name.begin(), name.begin() + (size - 1), buffer);
    buffer[size - 1] = Char(0);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = Char(0);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(name.size());
}

}  // namespace

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  if (winsim::detail::should_fail_with_last_error("GetModuleFileNameA")) return 0;
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return copy_name(winsim::detail::own_program_path(), file_name, size);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (winsim::detail::should_fail_with_last_error("GetModuleFileNameW")) return 0;
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return copy_name(widen(winsim::detail::own_program_path()), file_name, size);
}
