// Another process for the registry conformance tests:
//   registry_conformance_child set <key path under HKLM> <value name> <number>
// stores the number as a REG_DWORD. The exit code is the registry status.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[1], "set") != 0) return ERROR_INVALID_PARAMETER;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return static_cast<int>(status);
  const DWORD value = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10));
  status = RegSetValueExA(key, argv[3], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return static_cast<int>(status);
}
