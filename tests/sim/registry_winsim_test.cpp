// What only the simulated registry has: its control API, the DACLs it keeps
// per key, failure injection and machine resets. The registry's Windows
// behaviour is pinned by tests/conformance/registry_conformance_test.cpp.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <windows.h>
#include <winsim/machine.h>

#include "registry_test_keys.h"

#include <string>
#include <thread>
#include <vector>

namespace {

const char* const test_root = "SOFTWARE\\Winsim Test";

class RegistryWinsimTest : public test_support::RegistryKeysTest {
 protected:
  winsim::machine::scoped_machine machine_;
};

TEST_F(RegistryWinsimTest, ControlApiWritesAreAnotherProgramsChanges) {
  HKEY key = create(test_root);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 1u);

  // A write through the control API, from another thread, wakes the waiter
  // and spends the registration.
  std::thread writer([] { winsim::machine::set_registry_dword(std::string(test_root) + "\\Sub", "W", 3); });
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  writer.join();
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 0u);

  // Closing the watched key drops what is armed.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 1u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  opened_.pop_back();
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 0u);
  CloseHandle(event);
}

TEST_F(RegistryWinsimTest, AclCallsRecordExplicitEntries) {
  EXPLICIT_ACCESS_A entry = test_support::named_entry("Users", TRUSTEE_IS_GROUP, GENERIC_READ | KEY_SET_VALUE);
  PACL users = nullptr;
  ASSERT_EQ(SetEntriesInAclA(1, &entry, nullptr, &users), static_cast<DWORD>(ERROR_SUCCESS));

  HKEY key = create(test_root);
  ASSERT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, users, nullptr),
            0u);
  LocalFree(users);
  auto entries = winsim::machine::registry_acl(test_root);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].trustee, "Users");
  EXPECT_TRUE(entries[0].allowed);
  EXPECT_EQ(entries[0].access, static_cast<ACCESS_MASK>(KEY_READ | KEY_SET_VALUE));  // generic read mapped
  EXPECT_EQ(entries[0].flags, 0);
  EXPECT_TRUE(winsim::machine::registry_inherits_rights(test_root));

  // The empty list leaves only what is inherited; a protected one stops that.
  ACL acl;
  ASSERT_TRUE(InitializeAcl(&acl, sizeof(acl), ACL_REVISION));
  ASSERT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &acl, nullptr),
            0u);
  EXPECT_TRUE(winsim::machine::registry_acl(test_root).empty());
  EXPECT_FALSE(winsim::machine::registry_inherits_rights(test_root));
  EXPECT_EQ(winsim::machine::registry_dacl_write_count(test_root), 2);
}

TEST_F(RegistryWinsimTest, InjectedFailuresAndResetKeepWindowsShapes) {
  HKEY key = create(test_root);
  set_dword(key, "V", 5);
  winsim::machine::fail_call("RegGetValueA", ERROR_ACCESS_DENIED, 1);
  SetLastError(77);
  DWORD value = 0, size = sizeof(value);
  EXPECT_EQ(RegGetValueA(key, nullptr, "V", RRF_RT_REG_DWORD, nullptr, &value, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), 77u);  // registry calls return their status only
  EXPECT_EQ(RegGetValueA(key, nullptr, "V", RRF_RT_REG_DWORD, nullptr, &value, &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);

  // RegGetValueA's expansion of REG_EXPAND_SZ is advapi32's own: failures made
  // for the program's ExpandEnvironmentStringsA calls do not reach it, nor does
  // it count as one of them.
  const char path[] = "%SystemRoot%\\x";
  ASSERT_EQ(RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path), sizeof(path)),
            ERROR_SUCCESS);
  winsim::machine::fail_call("ExpandEnvironmentStringsA", ERROR_NOT_ENOUGH_MEMORY);
  char buffer[64] = {};
  size = sizeof(buffer);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Path", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "C:\\Windows\\x");
  EXPECT_EQ(winsim::machine::call_counts().count("ExpandEnvironmentStringsA"), 0u);
  winsim::machine::clear_failures();

  const size_t handles = winsim::machine::open_handle_count();
  HKEY extra = create(test_root);
  EXPECT_EQ(winsim::machine::open_handle_count(), handles + 1);
  EXPECT_EQ(RegCloseKey(extra), ERROR_SUCCESS);
  opened_.pop_back();
  EXPECT_EQ(winsim::machine::open_handle_count(), handles);

  // A new machine has an empty registry; handles into the old one see their
  // key as deleted.
  winsim::machine::reset();
  EXPECT_FALSE(winsim::machine::registry_key_exists(test_root));
  size = sizeof(value);
  EXPECT_EQ(RegGetValueA(key, nullptr, "V", RRF_RT_REG_DWORD, nullptr, &value, &size), ERROR_KEY_DELETED);
}

}  // namespace
