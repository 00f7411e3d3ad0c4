// Parts of the configuration layer that need no simulated machine; built for
// Windows too.
#include "config/customer_specific_config_reader.h"
#include "config/reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel::config {
namespace {

TEST(ConfigUnitTest, EveryDefaultLiesWithinItsLimits) {
  const std::vector<const dword_entry*> entries = {
      &values::enable, &values::opmode, &values::debug_mode, &values::lock_screen_timeout,
      &values::sensor_sleep_duration, &values::dim_duration, &values::device_compatibility,
      &values::enabled_in_bios, &values::enable_always_require_sign_in, &values::use_skelder,
      &values::delayed_start_time, &values::enable_with_external_monitor, &values::enable_with_display_required,
      &values::reset_os_idle_timer, &values::allow_leave_when_system_timer_disabled,
      &values::sleep_after_display_off, &values::lock_after_display_off, &values::mm,
  };
  for (const dword_entry* entry : entries) {
    SCOPED_TRACE(entry->name);
    EXPECT_TRUE(entry->min_value == no_bound || entry->default_value >= entry->min_value);
    EXPECT_TRUE(entry->max_value == no_bound || entry->default_value <= entry->max_value);
    // A per-power-source value needs a sub-key to hang PluggedIn/OnBattery on.
    EXPECT_TRUE(!entry->per_power_source || entry->sub_key != nullptr);
  }
}

TEST(ConfigUnitTest, StatusNames) {
  EXPECT_STREQ(platform_status_name(ENABLED), "ENABLED");
  EXPECT_STREQ(platform_status_name(DISABLED_IN_CONFIG), "DISABLED_IN_CONFIG");
  EXPECT_STREQ(platform_status_name(DISABLED_IN_BIOS), "DISABLED_IN_BIOS");
  EXPECT_STREQ(platform_status_name(DISABLED_IN_TABLET_MODE), "DISABLED_IN_TABLET_MODE");
  EXPECT_STREQ(platform_status_name(4), "UNKNOWN");
  EXPECT_STREQ(platform_status_name(-1), "UNKNOWN");
}

TEST(ConfigUnitTest, NoDriverHandleMeansNoAnswer) {
  EXPECT_FALSE(customer_specific_config_reader::query_bios_settings(INVALID_HANDLE_VALUE, 0x00100000).has_value());
}

}  // namespace
}  // namespace ostrel::config
