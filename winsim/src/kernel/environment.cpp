// The environment block of the simulated service process and
// ExpandEnvironmentStringsA over it. It is the Windows one, not the host's:
// product code only ever expands Windows variables.
#include "kernel/kernel_object.h"

#include <winsim/machine_environment.h>

#include <cctype>
#include <map>
#include <vector>

namespace {

struct case_less {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
    });
  }
};

using variables = std::map<std::string, std::string, case_less>;

variables system_defaults() {
  return {
      {"ALLUSERSPROFILE", "C:\\ProgramData"},
      {"APPDATA", "C:\\Windows\\system32\\config\\systemprofile\\AppData\\Roaming"},
      {"CommonProgramFiles", "C:\\Program Files\\Common Files"},
      {"COMPUTERNAME", "NOLVANE-SIM"},
      {"ComSpec", "C:\\Windows\\system32\\cmd.exe"},
      {"LOCALAPPDATA", "C:\\Windows\\system32\\config\\systemprofile\\AppData\\Local"},
      {"NUMBER_OF_PROCESSORS", "4"},
      {"OS", "Windows_NT"},
      {"Path", "C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
      {"PATHEXT", ".COM;.EXE;.BAT;.CMD"},
      {"ProgramData", "C:\\ProgramData"},
      {"ProgramFiles", "C:\\Program Files"},
      {"ProgramFiles(x86)", "C:\\Program Files (x86)"},
      {"PUBLIC", "C:\\Users\\Public"},
      {"SystemDrive", "C:"},
      {"SystemRoot", "C:\\Windows"},
      {"TEMP", "C:\\Windows\\TEMP"},
      {"TMP", "C:\\Windows\\TEMP"},
      {"USERDOMAIN", "WORKGROUP"},
      {"USERNAME", "SYSTEM"},
      {"USERPROFILE", "C:\\Windows\\system32\\config\\systemprofile"},
      {"windir", "C:\\Windows"},
  };
}

struct environment {
  std::mutex mutex;
  variables values = system_defaults();
};

environment& env() {
  static environment* e = [] {
    auto* created = new environment;
    winsim::detail::on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->values = system_defaults();
    });
    return created;
  }();
  return *e;
}

// Windows' rule: "%NAME%" is replaced when NAME is set; otherwise the text is
// kept and the closing '%' may open the next reference.
std::string expand(const std::string& source, const variables& values) {
  std::string result;
  size_t i = 0;
  while (i < source.size()) {
    if (source[i] != '%') {
      result += source[i++];
      continue;
    }
    const size_t close = source.find('%', i + 1);
    if (close == std::string::npos) {
      result += source.substr(i);
      break;
    }
    const std::string name = source.substr(i + 1, close - i - 1);
    auto it = name.empty() ? values.end() : values.find(name);
    if (it != values.end()) {
      result += it->second;
      i = close + 1;
    } else {
      result += source.substr(i, close - i);
      i = close;
    }
  }
  return result;
}

}  // namespace

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
  DWORD error = 0;
  if (winsim::detail::should_fail("ExpandEnvironmentStringsA", &error)) {
    SetLastError(error);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string expanded;
  {
    auto& e = env();
    std::lock_guard<std::mutex> lock(e.mutex);
    expanded = expand(source, e.values);
  }
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  // Too small a buffer gets nothing; the result tells the size it needs.
  if (destination != nullptr && size >= needed) std::memcpy(destination, expanded.c_str(), needed);
  return needed;
}

namespace winsim::machine {

void set_environment_variable(const std::string& name, const std::optional<std::string>& value) {
  auto& e = env();
  std::lock_guard<std::mutex> lock(e.mutex);
  if (value) {
    e.values[name] = *value;
  } else {
    e.values.erase(name);
  }
}

std::optional<std::string> environment_variable(const std::string& name) {
  auto& e = env();
  std::lock_guard<std::mutex> lock(e.mutex);
  auto it = e.values.find(name);
  if (it == e.values.end()) return std::nullopt;
  return it->second;
}

}  // namespace winsim::machine
