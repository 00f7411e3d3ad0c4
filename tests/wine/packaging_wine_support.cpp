#include "packaging_wine_support.h"

#include "unique_handle.h"

#include <aclapi.h>

#include <cstdlib>
#include <vector>

namespace ostrel::packaging_test {

std::string path_from_environment(const char* name) {
  const char* value = std::getenv(name);
  std::string path = value ? value : "";
  for (auto& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::optional<DWORD> run_program(const std::string& command_line, DWORD timeout_ms) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  if (!CreateProcessA(/*lpApplicationName=*/nullptr, line.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    return std::nullopt;
  }
  unique_process process(info.hProcess);
  unique_handle thread(info.hThread);
  if (WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return std::nullopt;
  return code;
}

std::optional<std::string> read_machine_string(const std::string& key, const char* name) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   /*pdwType=*/nullptr, buffer, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::string(buffer);
}

std::optional<DWORD> read_machine_dword(const std::string& key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

bool write_machine_dword(const std::string& key, const char* name, DWORD value) {
  unique_hkey handle;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, handle.put(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExA(handle.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

bool machine_key_exists(const std::string& key) {
  unique_hkey handle;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

namespace {

// A null DACL: everybody may do everything, deleting included.
void open_up_tree(const std::string& key) {
  unique_hkey handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, handle.put()) == ERROR_SUCCESS) {
    SetSecurityInfo(handle.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, /*pDacl=*/nullptr,
                    nullptr);
  }
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(handle.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    open_up_tree(key + "\\" + name);
  }
}

}  // namespace

void delete_machine_tree(const std::string& key) {
  open_up_tree(key);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

bool file_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace ostrel::packaging_test
