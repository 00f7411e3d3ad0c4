// The registry reader over the simulated registry: every value of the table
// with its default, limits and type check, the power-source sub-keys, string
// values, writes and key failures.
#include "config/reader_winreg.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <atomic>
#include <thread>
#include <vector>

namespace ostrel::config {
namespace {

using test::trace_capture;

// Every DWORD value with the root it lives under.
struct dword_case {
  const dword_entry* entry;
  const char* root;
};

const std::vector<dword_case>& table() {
  static const std::vector<dword_case> cases = {
      {&values::enable, product_root},
      {&values::opmode, product_root},
      {&values::debug_mode, product_root},
      {&values::lock_screen_timeout, product_root},
      {&values::sensor_sleep_duration, product_root},
      {&values::dim_duration, product_root},
      {&values::device_compatibility, product_root},
      {&values::enabled_in_bios, product_root},
      {&values::enable_always_require_sign_in, product_root},
      {&values::use_skelder, product_root},
      {&values::delayed_start_time, product_root},
      {&values::enable_with_external_monitor, product_root},
      {&values::enable_with_display_required, product_root},
      {&values::reset_os_idle_timer, product_root},
      {&values::allow_leave_when_system_timer_disabled, product_root},
      {&values::sleep_after_display_off, product_root},
      {&values::lock_after_display_off, product_root},
      {&values::mm, transform_root},
  };
  return cases;
}

std::string key_of(const char* root, const char* sub_key, bool per_power_source, bool plugged_in = true) {
  std::string path = root;
  if (sub_key != nullptr) path += std::string("\\") + sub_key;
  if (per_power_source) path += plugged_in ? "\\PluggedIn" : "\\OnBattery";
  return path;
}

std::string default_line(const dword_entry& entry, const std::string& reason) {
  return "[reg] Using default value " + std::to_string(entry.default_value) + " for entry " + entry.name + ": \"" +
         reason + "\"\n";
}

class ConfigReaderTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
};

TEST_F(ConfigReaderTest, EveryDwordFallsBackToItsDefaultWhenMissingMistypedOrOutOfRange) {
  trace_capture capture;
  for (const auto& c : table()) {
    const dword_entry& entry = *c.entry;
    SCOPED_TRACE(entry.name);
    reader_winreg reader(c.root, /*plugged_in=*/true, /*subscribe=*/false);
    const std::string key = key_of(c.root, entry.sub_key, entry.per_power_source);
    const std::string could_not_read = std::string("Could not read ") + entry.name;

    capture.clear();
    EXPECT_EQ(reader.read_dword(entry), entry.default_value);
    EXPECT_TRUE(capture.contains(default_line(entry, could_not_read))) << capture.dump();
    EXPECT_TRUE(winsim::machine::registry_key_exists(key));  // created by the read

    winsim::machine::set_registry_dword(key, entry.name, static_cast<DWORD>(entry.max_value));
    capture.clear();
    EXPECT_EQ(reader.read_dword(entry), entry.max_value);
    EXPECT_TRUE(capture.messages().empty()) << capture.dump();

    winsim::machine::set_registry_dword(key, entry.name, static_cast<DWORD>(entry.max_value + 1));
    EXPECT_EQ(reader.read_dword(entry), entry.default_value);
    EXPECT_TRUE(capture.contains(default_line(
        entry, std::string("RegValue ") + entry.name + " exceeds max value " + std::to_string(entry.max_value))));

    if (entry.min_value > 0) {
      winsim::machine::set_registry_dword(key, entry.name, static_cast<DWORD>(entry.min_value - 1));
      EXPECT_EQ(reader.read_dword(entry), entry.default_value);
      EXPECT_TRUE(capture.contains(default_line(
          entry, std::string("RegValue ") + entry.name + " exceeds min value " + std::to_string(entry.min_value))));
    }

    // 0xFFFFFFFF is -1: below every minimum of the table.
    capture.clear();
    winsim::machine::set_registry_dword(key, entry.name, 0xFFFFFFFFu);
    EXPECT_EQ(reader.read_dword(entry), entry.default_value);
    EXPECT_TRUE(capture.contains(default_line(
        entry, std::string("RegValue ") + entry.name + " exceeds min value " + std::to_string(entry.min_value))));

    winsim::machine::set_registry_string(key, entry.name, "1");
    EXPECT_EQ(reader.read_dword(entry), entry.default_value);
    EXPECT_TRUE(capture.contains(default_line(entry, could_not_read)));
  }
}

TEST_F(ConfigReaderTest, BoundariesNamedInTheTableHold) {
  reader_winreg reader(product_root, true, false);
  const std::string user = key_of(product_root, user_settings, true);
  const std::string system = key_of(product_root, system_settings, true);
  winsim::machine::set_registry_dword(user, "DelayedStartTime", 3600);
  EXPECT_EQ(reader.read_dword(values::delayed_start_time), 3600);
  winsim::machine::set_registry_dword(user, "DelayedStartTime", 3601);
  EXPECT_EQ(reader.read_dword(values::delayed_start_time), 0);
  winsim::machine::set_registry_dword(system, "DimDuration", 0);
  EXPECT_EQ(reader.read_dword(values::dim_duration), 5);
  winsim::machine::set_registry_dword(user, "LockScreenTimeout", 900);
  trace_capture capture;
  EXPECT_EQ(reader.read_dword(values::lock_screen_timeout), 45);
  EXPECT_TRUE(capture.contains(
      "[reg] Using default value 45 for entry LockScreenTimeout: \"RegValue LockScreenTimeout exceeds max value "
      "600\"\n"));
}

TEST_F(ConfigReaderTest, PowerSourceChoosesTheSubKeyOfPerSourceValuesOnly) {
  reader_winreg reader(product_root, /*plugged_in=*/true, false);
  const std::string user = std::string(product_root) + "\\UserSettings";
  const std::string system = std::string(product_root) + "\\SystemSettings";
  winsim::machine::set_registry_dword(user + "\\PluggedIn", "LockScreenTimeout", 30);
  winsim::machine::set_registry_dword(user + "\\OnBattery", "LockScreenTimeout", 20);
  winsim::machine::set_registry_dword(system, "DebugMode", 1);

  EXPECT_EQ(reader.read_dword(values::lock_screen_timeout), 30);
  EXPECT_EQ(reader.read_dword(values::debug_mode), 1);
  reader.set_power_source(false);
  EXPECT_EQ(reader.read_dword(values::lock_screen_timeout), 20);
  EXPECT_EQ(reader.read_dword(values::debug_mode), 1);
  EXPECT_TRUE(reader.write_dword(values::enable, 0));
  EXPECT_EQ(winsim::machine::registry_dword(user + "\\OnBattery", "Enable"), 0u);
  EXPECT_FALSE(winsim::machine::registry_dword(user + "\\PluggedIn", "Enable").has_value());
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_CONFIG);
  reader.set_power_source(true);
  EXPECT_EQ(reader.get_platform_status(), ENABLED);
}

TEST_F(ConfigReaderTest, StringsAndWrites) {
  reader_winreg reader(product_root, true, false);
  const std::string system = std::string(product_root) + "\\SystemSettings";
  trace_capture capture;
  EXPECT_EQ(reader.read_string(values::output_directory), "C:\\Windows\\Temp\\");
  winsim::machine::set_registry_string(system, "OutputDirectory", "D:\\logs\\");
  EXPECT_EQ(reader.read_string(values::output_directory), "D:\\logs\\");
  const std::string longest(255, 'a');
  winsim::machine::set_registry_string(system, "OutputDirectory", longest);
  EXPECT_EQ(reader.read_string(values::output_directory), longest);
  winsim::machine::set_registry_string(system, "OutputDirectory", longest + "a");
  EXPECT_EQ(reader.read_string(values::output_directory), "C:\\Windows\\Temp\\");
  winsim::machine::set_registry_dword(system, "OutputDirectory", 7);
  EXPECT_EQ(reader.read_string(values::output_directory), "C:\\Windows\\Temp\\");
  EXPECT_TRUE(capture.messages().empty()) << capture.dump();  // strings fall back silently

  EXPECT_TRUE(reader.write_string(values::version, "1000.124.444.10302"));
  const auto stored = winsim::machine::registry_value(std::string(product_root) + "\\ServiceStatus", "Version");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(stored->bytes.size(), 19u);  // with its terminating zero
  EXPECT_EQ(reader.read_string(values::version), "1000.124.444.10302");
  EXPECT_TRUE(reader.write_dword(values::device_compatibility, -1));
  EXPECT_EQ(winsim::machine::registry_dword(std::string(product_root) + "\\ServiceStatus", "DeviceCompatibility"),
            0xFFFFFFFFu);

  EXPECT_THROW(reader.read_map(), error);
  try {
    reader.read_map();
  } catch (const error& e) {
    EXPECT_STREQ(e.what(), "read_map is not implemented by winreg config reader");
  }
}

TEST_F(ConfigReaderTest, AKeyThatCannotBeCreatedRaisesToTheCaller) {
  reader_winreg reader(product_root, true, false);
  trace_capture capture;
  winsim::machine::fail_call("RegCreateKeyExA", ERROR_ACCESS_DENIED);
  try {
    reader.read_dword(values::enable);
    ADD_FAILURE() << "no exception";
  } catch (const win32::error& e) {
    EXPECT_STREQ(e.what(), "Failed to create registry key");
  }
  EXPECT_THROW(reader.read_string(values::output_directory), win32::error);
  EXPECT_THROW(reader.write_dword(values::enable, 1), win32::error);
  EXPECT_TRUE(capture.contains("[runner] Failed RegCreateKeyExA: status = 5\n"));
  EXPECT_TRUE(capture.contains("[runner] Failed to create key\n"));
  EXPECT_EQ(capture.count_containing("Using default value"), 0u);
}

TEST_F(ConfigReaderTest, WritesFromSeveralThreadsKeepTheSubscriptionRunning) {
  reader_winreg reader(product_root, true, /*subscribe=*/true);
  std::atomic<int> calls{0};
  reader.set_config_change_callback([&calls] { ++calls; });
  ASSERT_TRUE(test::wait_for([] { return winsim::machine::registry_armed_notification_count() == 1; }));
  // Unserialised, one thread's restart arms a subscription between another
  // thread's stop and its write, and the reader's own write is reported.
  // (Serialised, a report needs a subscription task that takes more than
  // the 200 ms stop time-out to start or to wake and end: far beyond any
  // scheduling delay of a loaded machine.)
  constexpr int threads = 4;
  constexpr int writes_per_thread = 100;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&reader, t] {
      for (int i = 0; i < writes_per_thread; ++i) {
        EXPECT_TRUE(reader.write_dword(values::device_compatibility, (t + i) % 2));
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_TRUE(reader.subscription_running());
  EXPECT_EQ(calls, 0);

  // One subscription is armed, and it reports a change by someone else once.
  ASSERT_TRUE(test::wait_for([] { return winsim::machine::registry_armed_notification_count() == 1; }));
  winsim::machine::set_registry_dword(key_of(product_root, user_settings, true), "Enable", 0);
  EXPECT_TRUE(test::wait_for([&calls] { return calls > 0; }));
  // Every earlier subscription had ended before this one was armed.
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace ostrel::config
