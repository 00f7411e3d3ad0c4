// What the registry tests share; plain Win32, so built against winsim and
// with mingw-w64 alike.
#pragma once

#include <aclapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace test_support {

// A fixture whose keys under HKEY_LOCAL_MACHINE are closed after each test.
class RegistryKeysTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HKEY key : opened_) RegCloseKey(key);
  }

  HKEY create(const std::string& path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, &key, disposition),
              ERROR_SUCCESS);
    opened_.push_back(key);
    return key;
  }

  static void set_dword(HKEY key, const char* name, DWORD value) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
  }

  std::vector<HKEY> opened_;
};

// One access entry for a trustee given by account name ("Users",
// "Everyone"), replacing what the trustee had, not passed on to sub-keys.
inline EXPLICIT_ACCESS_A named_entry(const char* trustee, TRUSTEE_TYPE type, DWORD permissions) {
  EXPLICIT_ACCESS_A entry{};
  entry.grfAccessPermissions = permissions;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.TrusteeType = type;
  entry.Trustee.ptstrName = const_cast<LPSTR>(trustee);
  return entry;
}

}  // namespace test_support
