// Copying the settings from the service's former key into the product key,
// with the rights of every visited key, over the simulated registry.
#include "config/customer_specific_config_reader.h"
#include "config/registry_store.h"
#include "trace_capture.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <winsim/machine.h>

namespace ostrel::win32 {
namespace {

using test::trace_capture;
namespace machine = winsim::machine;

const std::string source = "SYSTEM\\CurrentControlSet\\Services\\NolvaneSvc";
const std::string target = "SOFTWARE\\Ostrel Works\\Nolvane";

class ConfigRegistryStoreTest : public ::testing::Test {
 protected:
  // A former service key with settings at every level.
  static void fill_source() {
    machine::set_registry_dword(source, "Start", 2);  // the service key's own values stay behind
    machine::set_registry_string(source, "ImagePath", "C:\\nolvane_service.exe");
    machine::set_registry_dword(source + "\\UserSettings\\PluggedIn", "Enable", 0);
    machine::set_registry_dword(source + "\\UserSettings\\PluggedIn", "LockScreenTimeout", 60);
    machine::set_registry_dword(source + "\\UserSettings\\OnBattery", "LockScreenTimeout", 30);
    machine::set_registry_value(source + "\\SystemSettings", "Blob", REG_BINARY, {1, 2, 3});
    machine::set_registry_value(source + "\\SystemSettings", "Names", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
    machine::set_registry_dword(source + "\\SystemSettings", "DebugMode", 1);
    machine::set_registry_string(source + "\\SystemSettings", "OutputDirectory", "D:\\out\\");
    machine::set_registry_dword(source + "\\SystemSettings\\PluggedIn", "Opmode", 1234);
  }

  static void expect_users_entry_only(const std::string& key) {
    SCOPED_TRACE(key);
    const auto acl = machine::registry_acl(key);
    ASSERT_EQ(acl.size(), 1u);
    EXPECT_EQ(acl[0].trustee, "Users");
    EXPECT_TRUE(acl[0].allowed);
    EXPECT_EQ(acl[0].access, static_cast<ACCESS_MASK>(KEY_READ | KEY_SET_VALUE));
    EXPECT_EQ(acl[0].flags, 0);  // not inherited by children
    EXPECT_TRUE(machine::registry_inherits_rights(key));
  }

  static void expect_inherited_only(const std::string& key) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(machine::registry_acl(key).empty());
    EXPECT_TRUE(machine::registry_inherits_rights(key));
  }

  static void expect_migrated() {
    EXPECT_TRUE(machine::registry_value_names(target).empty());
    EXPECT_EQ(machine::registry_dword(target + "\\UserSettings\\PluggedIn", "Enable"), 1u);  // kept
    EXPECT_EQ(machine::registry_dword(target + "\\UserSettings\\PluggedIn", "LockScreenTimeout"), 60u);
    EXPECT_EQ(machine::registry_dword(target + "\\UserSettings\\OnBattery", "LockScreenTimeout"), 30u);
    EXPECT_EQ(machine::registry_value_names(target + "\\SystemSettings"),
              (std::vector<std::string>{"DebugMode", "OutputDirectory"}));
    EXPECT_EQ(machine::registry_string(target + "\\SystemSettings", "OutputDirectory"), "D:\\out\\");
    EXPECT_EQ(machine::registry_dword(target + "\\SystemSettings\\PluggedIn", "Opmode"), 1234u);

    expect_inherited_only(target);
    expect_users_entry_only(target + "\\UserSettings");
    expect_users_entry_only(target + "\\UserSettings\\PluggedIn");
    expect_users_entry_only(target + "\\UserSettings\\OnBattery");
    expect_inherited_only(target + "\\SystemSettings");
    expect_inherited_only(target + "\\SystemSettings\\PluggedIn");
  }

  machine::scoped_machine machine_;
};

TEST_F(ConfigRegistryStoreTest, MissingSourceChangesNothing) {
  trace_capture capture;
  EXPECT_FALSE(config::customer_specific_config_reader::migrate_service_key());
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{
                "[runner] Move registry key from " + source + " to " + target + " with default access\n",
                "[runner] Open registry: " + source + "\n",
                "[runner] Failed to open key: 2\n",
                "[runner] Cant open from\n",
            }));
  EXPECT_FALSE(machine::registry_key_exists("SOFTWARE\\Ostrel Works"));
}

TEST_F(ConfigRegistryStoreTest, MigrationCopiesMissingValuesAndSetsRightsTwiceAlike) {
  fill_source();
  machine::set_registry_dword(target + "\\UserSettings\\PluggedIn", "Enable", 1);
  // An explicit entry on an existing target key is removed by the copy ...
  {
    registry_key root(HKEY_LOCAL_MACHINE, target);
    ASSERT_TRUE(open_key(root, read_write_access | WRITE_DAC));
    EXPLICIT_ACCESS_A entry{};
    entry.grfAccessPermissions = KEY_ALL_ACCESS;
    entry.grfAccessMode = SET_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    entry.Trustee.ptstrName = const_cast<LPSTR>("Everyone");
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &entry, nullptr, &acl), 0u);
    ASSERT_TRUE(set_permissions(root, acl));
    LocalFree(acl);
    // ... but a key without a counterpart in the source is left alone.
    registry_key status(HKEY_LOCAL_MACHINE, target + "\\ServiceStatus");
    machine::create_registry_key(status.path);
    ASSERT_TRUE(open_key(status, read_write_access | WRITE_DAC));
    ASSERT_EQ(SetEntriesInAclA(1, &entry, nullptr, &acl), 0u);
    ASSERT_TRUE(set_permissions(status, acl));
    LocalFree(acl);
  }

  trace_capture capture;
  ASSERT_TRUE(config::customer_specific_config_reader::migrate_service_key());
  expect_migrated();
  EXPECT_EQ(machine::registry_acl(target + "\\ServiceStatus").size(), 1u);
  EXPECT_TRUE(machine::registry_value_names(source + "\\UserSettings").empty());  // nothing moved away

  EXPECT_TRUE(capture.contains("[runner] Registry value Enable already exists in " + target +
                               "\\UserSettings\\PluggedIn\n"));
  EXPECT_TRUE(capture.contains("[runner] Unsupported registry value type: 3\n"));
  EXPECT_TRUE(capture.contains("[runner] Unsupported registry value type: 7\n"));
  EXPECT_TRUE(capture.contains("[runner] Write registry value: DebugMode = 1\n"));
  EXPECT_TRUE(capture.contains("[runner] Write registry value: OutputDirectory = D:\\out\\\n"));
  EXPECT_TRUE(capture.contains("[runner] Move registry key from " + source + "\\UserSettings\\PluggedIn to " +
                               target + "\\UserSettings\\PluggedIn with read/write access\n"));
  EXPECT_TRUE(capture.contains("[runner] Move registry key from " + source + "\\SystemSettings\\PluggedIn to " +
                               target + "\\SystemSettings\\PluggedIn with default access\n"));
  EXPECT_TRUE(capture.contains("[runner] Copy values 4 from " + source + "\\SystemSettings to " + target +
                               "\\SystemSettings\n"));
  EXPECT_TRUE(capture.contains("[runner] Create registry: " + target + "\\SystemSettings\n"));
  EXPECT_EQ(capture.count_containing("Copy values"), 5u);  // every level but the top
  EXPECT_EQ(capture.count_containing("[runner] Failed"), 3u);  // the three missing target keys

  // Again: the same values and rights; existing keys get their rights reset.
  const int root_writes = machine::registry_dacl_write_count(target);
  capture.clear();
  ASSERT_TRUE(config::customer_specific_config_reader::migrate_service_key());
  expect_migrated();
  EXPECT_EQ(machine::registry_dacl_write_count(target), root_writes + 1);
  EXPECT_EQ(capture.count_containing("Create registry"), 0u);
  EXPECT_EQ(capture.count_containing("already exists"), 6u);
}

TEST_F(ConfigRegistryStoreTest, TooLongStringIsNotCopied) {
  machine::set_registry_string(source + "\\SystemSettings", "OutputDirectory", std::string(256, 'x'));
  machine::set_registry_dword(source + "\\SystemSettings", "DebugMode", 1);
  trace_capture capture;
  ASSERT_TRUE(config::customer_specific_config_reader::migrate_service_key());
  EXPECT_TRUE(capture.contains("[runner] Failed to read registry value OutputDirectory: 234\n"));
  EXPECT_FALSE(machine::registry_value(target + "\\SystemSettings", "OutputDirectory").has_value());
  EXPECT_EQ(machine::registry_dword(target + "\\SystemSettings", "DebugMode"), 1u);
}

TEST_F(ConfigRegistryStoreTest, FailuresAreLoggedAndEndTheCopy) {
  fill_source();
  const size_t handles = machine::open_handle_count();
  {
    trace_capture capture;
    machine::fail_call("RegCreateKeyExA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(config::customer_specific_config_reader::migrate_service_key());
    EXPECT_TRUE(capture.contains("[runner] Failed to create key: 5\n"));
    EXPECT_TRUE(capture.contains("[runner] Failed to create key\n"));
    EXPECT_FALSE(machine::registry_key_exists(target));
  }
  machine::create_registry_key(target);
  {
    trace_capture capture;
    machine::fail_call("SetSecurityInfo", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(config::customer_specific_config_reader::migrate_service_key());
    EXPECT_TRUE(capture.contains("[runner] SetSecurityInfo failed: 5\n"));
    EXPECT_TRUE(capture.contains("[runner] Failed to set permissions\n"));
    EXPECT_FALSE(machine::registry_key_exists(target + "\\UserSettings"));
  }
  {
    trace_capture capture;
    machine::fail_call("SetEntriesInAclA", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_FALSE(config::customer_specific_config_reader::migrate_service_key());
    EXPECT_TRUE(capture.contains("[runner] SetEntriesInAcl failed\n"));
  }
  {
    // A failed value copy is logged and skipped.
    trace_capture capture;
    machine::fail_call("RegSetValueExA", ERROR_ACCESS_DENIED, 1);
    EXPECT_TRUE(config::customer_specific_config_reader::migrate_service_key());
    EXPECT_EQ(capture.count_containing("[runner] Failed to write registry value "), 1u);
  }
  EXPECT_EQ(machine::open_handle_count(), handles);
}

TEST_F(ConfigRegistryStoreTest, SingleValueOperationsLogTheirWork) {
  trace_capture capture;
  const size_t handles = machine::open_handle_count();
  EXPECT_FALSE(create_key("\\bad path"));
  EXPECT_TRUE(capture.contains("[runner] Failed RegCreateKeyExA: status = 161\n"));
  key_handle created = create_key(target);
  EXPECT_TRUE(created);
  key_handle moved = std::move(created);
  EXPECT_FALSE(created);
  moved.reset();

  registry_key key(HKEY_LOCAL_MACHINE, target);
  ASSERT_TRUE(open_key(key));
  EXPECT_TRUE(write_string_value(key, "Version", "1.2"));
  std::string text;
  EXPECT_TRUE(read_string_value(key, "Version", text));
  EXPECT_EQ(text, "1.2");
  EXPECT_FALSE(read_string_value(key, "Missing", text));
  EXPECT_TRUE(capture.contains("[runner] Open registry: " + target + "\n"));
  EXPECT_TRUE(capture.contains("[runner] Write registry value: Version = 1.2\n"));
  EXPECT_TRUE(capture.contains("[runner] Read registry value: Version\n"));
  EXPECT_TRUE(capture.contains("[runner] Failed to read registry value Missing: 2\n"));
  key.close();
  EXPECT_EQ(key.handle.get(), nullptr);
  EXPECT_EQ(machine::open_handle_count(), handles);
}

}  // namespace
}  // namespace ostrel::win32
