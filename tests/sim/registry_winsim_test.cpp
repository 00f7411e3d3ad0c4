// The simulated registry against the registry's documented behaviour:
// return codes, out-parameters (poisoned with 0xdeadbeef to catch what a call
// wrongly writes), change notifications and key DACLs.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <windows.h>
#include <winsim/machine.h>

#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD poison = 0xdeadbeef;
const char* const test_root = "SOFTWARE\\Winsim Test";

class RegistryWinsimTest : public ::testing::Test {
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

  winsim::machine::scoped_machine machine_;
  std::vector<HKEY> opened_;
};

TEST_F(RegistryWinsimTest, KeysAndValueNamesAreCaseInsensitiveAndKeepTheirCase) {
  DWORD disposition = poison;
  HKEY key = create(std::string(test_root) + "\\Deep\\Child", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));  // parents made on the way
  EXPECT_TRUE(winsim::machine::registry_key_exists("software\\winsim test\\DEEP"));
  disposition = poison;
  create("SOFTWARE\\WINSIM TEST\\deep\\CHILD", KEY_READ, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(winsim::machine::registry_subkey_names(test_root), std::vector<std::string>{"Deep"});

  set_dword(key, "Enable", 1);
  set_dword(key, "ENABLE", 7);  // the same value, its first spelling stays
  EXPECT_EQ(winsim::machine::registry_value_names(std::string(test_root) + "\\Deep\\Child"),
            std::vector<std::string>{"Enable"});
  DWORD type = poison, data = poison, size = sizeof(data);
  EXPECT_EQ(RegQueryValueExA(key, "enable", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, 7u);

  HKEY opened = reinterpret_cast<HKEY>(static_cast<uintptr_t>(poison));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, nullptr, 0, KEY_READ, nullptr, &opened, nullptr),
            ERROR_BAD_PATHNAME);
  // A relative path below an open key.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_root, 0, KEY_READ, &opened), ERROR_SUCCESS);
  opened_.push_back(opened);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(opened, "deep\\child", 0, KEY_READ, &child), ERROR_SUCCESS);
  opened_.push_back(child);
}

TEST_F(RegistryWinsimTest, GetValueChecksTypeAndBufferSize) {
  HKEY key = create(test_root);
  set_dword(key, "Number", 42);
  const char text[] = "hello";
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  // Stored without its terminating zero: RegGetValueA adds one.
  ASSERT_EQ(RegSetValueExA(key, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);

  DWORD type = poison, number = poison, size = sizeof(number);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Number", RRF_RT_REG_DWORD, &type, &number, &size), ERROR_SUCCESS);
  EXPECT_EQ(number, 42u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

  type = poison;
  size = sizeof(number);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Text", RRF_RT_REG_DWORD, &type, &number, &size), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  char buffer[16];
  size = sizeof(buffer);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Number", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_UNSUPPORTED_TYPE);

  size = 3;
  EXPECT_EQ(RegGetValueA(key, nullptr, "Text", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
  size = poison;
  EXPECT_EQ(RegGetValueA(key, nullptr, "Text", RRF_RT_REG_SZ, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(text));
  size = sizeof(buffer);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Bare", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_STREQ(buffer, "abc");

  size = sizeof(number);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Missing", RRF_RT_REG_DWORD, nullptr, &number, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Number", RRF_RT_REG_DWORD, nullptr, &number, nullptr),
            ERROR_INVALID_PARAMETER);
  // Through a sub-key of the handle, and zeroing the buffer on failure.
  create(std::string(test_root) + "\\Sub");
  number = poison;
  size = sizeof(number);
  EXPECT_EQ(RegGetValueA(key, "Sub", "Number", RRF_RT_REG_DWORD | RRF_ZEROONFAILURE, nullptr, &number, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(RegGetValueA(key, "NoSuchKey", "Number", RRF_RT_ANY, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

  // REG_EXPAND_SZ read as REG_SZ comes back expanded.
  const char expandable[] = "%SystemRoot%\\x";
  ASSERT_EQ(RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expandable),
                           sizeof(expandable)),
            ERROR_SUCCESS);
  type = poison;
  size = sizeof(buffer);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Path", RRF_RT_REG_SZ, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "C:\\Windows\\x");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  // That expansion is advapi32's own: failures made for the program's
  // ExpandEnvironmentStringsA calls do not reach it, nor does it count as one.
  winsim::machine::fail_call("ExpandEnvironmentStringsA", ERROR_NOT_ENOUGH_MEMORY);
  size = sizeof(buffer);
  EXPECT_EQ(RegGetValueA(key, nullptr, "Path", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "C:\\Windows\\x");
  EXPECT_EQ(winsim::machine::call_counts().count("ExpandEnvironmentStringsA"), 0u);
  winsim::machine::clear_failures();
  EXPECT_EQ(RegGetValueA(key, nullptr, "Path", RRF_RT_REG_EXPAND_SZ, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);

  // RegQueryValueExA hands out the stored bytes as they are.
  size = poison;
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  size = 1;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
}

TEST_F(RegistryWinsimTest, EnumerationAndKeyInformation) {
  HKEY key = create(test_root);
  create(std::string(test_root) + "\\beta");
  create(std::string(test_root) + "\\Alpha");
  set_dword(key, "Zeta", 1);
  set_dword(key, "LongerName", 2);
  const BYTE blob[] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof(blob)), ERROR_SUCCESS);

  DWORD sub_keys = poison, longest_key = poison, values = poison, longest_name = poison, longest_data = poison;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &sub_keys, &longest_key, nullptr, &values,
                             &longest_name, &longest_data, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, 2u);
  EXPECT_EQ(longest_key, 5u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(longest_name, 10u);
  EXPECT_EQ(longest_data, 6u);

  // Values in creation order; sub-keys sorted regardless of case.
  std::vector<std::string> names;
  char name[32];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof(name), type = poison;
    LSTATUS status = RegEnumValueA(key, i, name, &length, nullptr, &type, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(length, std::string(name).size());
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "LongerName", "Blob"}));
  DWORD short_length = 4;  // "Zeta" needs 5 with its zero
  EXPECT_EQ(RegEnumValueA(key, 0, name, &short_length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  DWORD length = sizeof(name);
  ASSERT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
  length = sizeof(name);
  ASSERT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "beta");
  EXPECT_EQ(length, 4u);
  length = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryWinsimTest, HandleRightsAreChecked) {
  create(test_root);
  HKEY read_only = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_root, 0, KEY_READ, &read_only), ERROR_SUCCESS);
  opened_.push_back(read_only);
  DWORD value = 1;
  EXPECT_EQ(RegSetValueExA(read_only, "V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_ACCESS_DENIED);

  ACL empty;
  ASSERT_TRUE(InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
  HKEY read_write = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_root, 0, KEY_READ | KEY_SET_VALUE, &read_write), ERROR_SUCCESS);
  opened_.push_back(read_write);
  EXPECT_EQ(SetSecurityInfo(read_write, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HKEY with_dac = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_root, 0, KEY_READ | WRITE_DAC, &with_dac), ERROR_SUCCESS);
  opened_.push_back(with_dac);
  EXPECT_EQ(SetSecurityInfo(with_dac, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(RegistryWinsimTest, ChangeNotificationsFollowWindowsRules) {
  HKEY key = create(test_root);
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);  // created signalled
  ASSERT_NE(event, nullptr);

  // Registering resets the event; an empty new sub-key is no value change.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  HKEY sub = create(std::string(test_root) + "\\Sub");
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // A value in the subtree signals once; the registration is then spent.
  set_dword(sub, "V", 1);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  set_dword(sub, "V", 2);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // ... but that change is kept for the next registration on the handle.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  // Security changes are not value changes.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  ACL empty;
  ASSERT_TRUE(InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
  EXPECT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty, nullptr), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // Closing the watched key signals what is armed.
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 1u);
  HKEY watched = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, test_root, 0, KEY_NOTIFY, &watched), ERROR_SUCCESS);
  HANDLE closing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET, closing, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(watched), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(closing, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RegCloseKey(watched), ERROR_INVALID_HANDLE);

  // Without the subtree only the key's own values count; the name filter
  // reports new sub-keys.
  HANDLE own = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(sub, FALSE, REG_NOTIFY_CHANGE_NAME, own, TRUE), ERROR_SUCCESS);
  create(std::string(test_root) + "\\Sub\\Grandchild");
  EXPECT_EQ(WaitForSingleObject(own, 0), WAIT_OBJECT_0);

  // A change made by another thread (or the control API) wakes a waiter.
  std::thread writer([] { winsim::machine::set_registry_dword(std::string(test_root) + "\\Sub", "W", 3); });
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  writer.join();

  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, 0, event, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, TRUE), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  CloseHandle(closing);
  CloseHandle(own);
}

TEST_F(RegistryWinsimTest, AclCallsRecordExplicitEntries) {
  ACL acl;
  SetLastError(0);
  EXPECT_FALSE(InitializeAcl(&acl, sizeof(acl), 3));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(InitializeAcl(&acl, 4, ACL_REVISION));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(InitializeAcl(&acl, sizeof(acl), ACL_REVISION));
  EXPECT_EQ(acl.AclSize, 8);
  EXPECT_EQ(acl.AceCount, 0);

  EXPLICIT_ACCESS_A entry{};
  entry.grfAccessPermissions = GENERIC_READ | KEY_SET_VALUE;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = const_cast<LPSTR>("Users");
  PACL users = nullptr;
  ASSERT_EQ(SetEntriesInAclA(1, &entry, nullptr, &users), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(users->AceCount, 1);
  EXPECT_EQ(users->AclSize, 8 + 8 + 16);  // header, ACE, S-1-5-32-545

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
  ASSERT_EQ(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &acl, nullptr),
            0u);
  EXPECT_TRUE(winsim::machine::registry_acl(test_root).empty());
  EXPECT_FALSE(winsim::machine::registry_inherits_rights(test_root));
  EXPECT_EQ(winsim::machine::registry_dacl_write_count(test_root), 2);

  entry.Trustee.ptstrName = const_cast<LPSTR>("Nobody In Particular");
  PACL unknown = reinterpret_cast<PACL>(static_cast<uintptr_t>(poison));
  EXPECT_EQ(SetEntriesInAclA(1, &entry, nullptr, &unknown), static_cast<DWORD>(ERROR_NONE_MAPPED));
  EXPECT_EQ(unknown, nullptr);
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
