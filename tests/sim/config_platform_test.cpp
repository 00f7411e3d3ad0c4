// The platform checks of customer_specific_config_reader against the
// simulated firmware driver, Transform key and power supply.
#include "common/process_flags.h"
#include "config/customer_specific_config_reader.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

namespace ostrel::config {
namespace {

using test::trace_capture;
namespace machine = winsim::machine;

const std::string service_status = std::string(product_root) + "\\ServiceStatus";
const std::string current_status = std::string(transform_root) + "\\CurrentStatus";
const std::string user_plugged_in = std::string(product_root) + "\\UserSettings\\PluggedIn";

const char* const asked = "[runner] Call device io with: 0x100000\n";

class ConfigPlatformTest : public ::testing::Test {
 protected:
  static std::optional<DWORD> enabled_in_bios() { return machine::registry_dword(service_status, "EnabledInBios"); }

  machine::scoped_machine machine_;
};

TEST_F(ConfigPlatformTest, FirmwareEnablingTheFeatureLeavesTheDecisionToPostureAndSettings) {
  machine::set_firmware_driver_answer(0x2);
  customer_specific_config_reader reader(true);
  trace_capture capture;
  EXPECT_EQ(reader.get_platform_status(), ENABLED);
  EXPECT_EQ(enabled_in_bios(), 1u);
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    asked,
                                    "[runner] Call device io with: 0x100000. With result: 0x2\n",
                                    "[reg] Using default value 1 for entry MM: \"Could not read MM\"\n",
                                    "[reg] Using default value 1 for entry Enable: \"Could not read Enable\"\n",
                                }));
  EXPECT_EQ(machine::firmware_driver_last_argument(), 0x00100000u);

  // The driver is asked once per reader; posture and Enable on every call.
  machine::set_registry_dword(current_status, "MM", 2);
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_TABLET_MODE);
  machine::set_registry_dword(current_status, "MM", 1);
  machine::set_registry_dword(user_plugged_in, "Enable", 0);
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_CONFIG);
  machine::set_registry_dword(current_status, "MM", 3);
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_TABLET_MODE);  // posture is checked first
  EXPECT_EQ(machine::firmware_driver_query_count(), 1);
  EXPECT_EQ(machine::firmware_driver_open_count(), 1);

  // Other bits than 0x2 do not matter.
  machine::set_firmware_driver_answer(0xFFFFFFFD);
  customer_specific_config_reader second(true);
  EXPECT_EQ(second.get_platform_status(), DISABLED_IN_BIOS);
  EXPECT_EQ(machine::firmware_driver_query_count(), 2);
}

TEST_F(ConfigPlatformTest, FirmwareDisablingTheFeatureStopsOnlyTheFirstCall) {
  machine::set_firmware_driver_answer(0x0);
  machine::set_registry_dword(service_status, "EnabledInBios", 1);
  customer_specific_config_reader reader(true);
  trace_capture capture;
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_BIOS);
  EXPECT_EQ(enabled_in_bios(), 0u);
  EXPECT_TRUE(capture.contains("[runner] Call device io with: 0x100000. With result: 0x0\n"));
  EXPECT_EQ(capture.count_containing("Using default value"), 0u);  // posture and Enable were not read

  EXPECT_EQ(reader.get_platform_status(), ENABLED);
  EXPECT_EQ(enabled_in_bios(), 1u);
  EXPECT_EQ(machine::firmware_driver_query_count(), 1);
}

TEST_F(ConfigPlatformTest, ADriverThatCannotAnswerCountsAsEnabled) {
  struct driver_case {
    const char* name;
    void (*set_up)();
    std::string logged;
    int opens;
    int queries;
  };
  const std::vector<driver_case> cases = {
      {"absent", [] { machine::set_firmware_driver_absent(); },
       "[runner] Invalid driver handle when reading CHPD\n", 1, 0},
      {"wrong size", [] { machine::set_firmware_driver_answer_size(0x0, 2); },
       "[runner] Io Control returned wrong output buffer size while checking BIOS settings\n", 1, 1},
      {"failing", [] { machine::set_firmware_driver_failure(ERROR_GEN_FAILURE); },
       "[runner] Io Control failed while checking BIOS settings: (Arg = 0x100000)...Error Message: A device "
       "attached to the system is not functioning.\r\n\n \n",
       1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    machine::reset();
    c.set_up();
    customer_specific_config_reader reader(true);
    trace_capture capture;
    EXPECT_EQ(reader.get_platform_status(), ENABLED);
    EXPECT_EQ(reader.get_platform_status(), ENABLED);
    EXPECT_EQ(capture.count(asked), 1u);
    EXPECT_EQ(capture.count(c.logged), 1u) << capture.dump();
    EXPECT_EQ(enabled_in_bios(), 1u);
    EXPECT_EQ(machine::firmware_driver_open_count(), c.opens);
    EXPECT_EQ(machine::firmware_driver_query_count(), c.queries);
  }
}

TEST_F(ConfigPlatformTest, MissingTransformKeyIsCreatedAndYieldsTheDefaultPosture) {
  customer_specific_config_reader reader(true);
  // Its subscription opens (and so creates) the root.
  EXPECT_TRUE(test::wait_for([] { return machine::registry_key_exists(transform_root); }));
  EXPECT_FALSE(machine::registry_key_exists(current_status));
  EXPECT_EQ(reader.get_platform_status(), ENABLED);
  EXPECT_TRUE(machine::registry_key_exists(current_status));
  machine::set_registry_dword(current_status, "MM", 1);
  EXPECT_EQ(reader.get_platform_status(), ENABLED);
  // The power source of the product root does not move the Transform reads.
  reader.set_power_source(false);
  machine::set_registry_dword(current_status, "MM", 2);
  EXPECT_EQ(reader.get_platform_status(), DISABLED_IN_TABLET_MODE);
}

TEST_F(ConfigPlatformTest, PluggedInUnlessTheAcLineIsOffline) {
  machine::set_ac_line_status(AC_LINE_OFFLINE);
  EXPECT_FALSE(customer_specific_config_reader::is_plugged_in());
  machine::set_ac_line_status(AC_LINE_ONLINE);
  EXPECT_TRUE(customer_specific_config_reader::is_plugged_in());
  machine::set_ac_line_status(AC_LINE_UNKNOWN);
  EXPECT_TRUE(customer_specific_config_reader::is_plugged_in());

  // Unreadable: the last known source stands.
  trace_capture capture;
  machine::fail_call("GetSystemPowerStatus", ERROR_GEN_FAILURE);
  ostrel::plugged_in = false;
  EXPECT_FALSE(customer_specific_config_reader::is_plugged_in());
  ostrel::plugged_in = true;
  EXPECT_TRUE(customer_specific_config_reader::is_plugged_in());
  EXPECT_EQ(capture.count("[runner] Failed to get system power status\n"), 2u);
}

}  // namespace
}  // namespace ostrel::config
