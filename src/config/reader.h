// The configuration vocabulary and the abstract reader every component
// reads its settings through.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace ostrel {
namespace config {

// A bound equal to this switches the check on that side off.
constexpr int32_t no_bound = 0x7FFFFFFF;

struct dword_entry {
  const char* name;
  int32_t default_value;
  int32_t min_value;
  int32_t max_value;
  const char* sub_key;  // nullptr: the value lives directly in the root
  bool per_power_source;
};

struct string_entry {
  const char* name;
  const char* default_value;
  const char* sub_key;
  bool per_power_source;
};

enum platform_status : int {
  ENABLED = 0,
  DISABLED_IN_CONFIG = 1,
  DISABLED_IN_BIOS = 2,
  DISABLED_IN_TABLET_MODE = 3,
};
// "ENABLED", ..., and "UNKNOWN" for any other value.
const char* platform_status_name(int status);

// Registry places (all under HKEY_LOCAL_MACHINE).
inline constexpr const char* product_root = "SOFTWARE\\Ostrel Works\\Nolvane";
inline constexpr const char* transform_root = "SYSTEM\\CurrentControlSet\\Services\\KELTPMSVC\\Transform";
inline constexpr const char* former_service_key = "SYSTEM\\CurrentControlSet\\Services\\NolvaneSvc";
inline constexpr const char* user_settings = "UserSettings";
inline constexpr const char* system_settings = "SystemSettings";
inline constexpr const char* service_status = "ServiceStatus";
inline constexpr const char* plugged_in_word = "PluggedIn";
inline constexpr const char* on_battery_word = "OnBattery";

// The settings, one descriptor per value, shared by every reader of it.
namespace values {
inline constexpr dword_entry enable{"Enable", 1, 0, 1, user_settings, true};
inline constexpr dword_entry opmode{"Opmode", 1020, 0, 9999, system_settings, true};
inline constexpr dword_entry debug_mode{"DebugMode", 0, 0, 1, system_settings, false};
inline constexpr dword_entry lock_screen_timeout{"LockScreenTimeout", 45, 0, 600, user_settings, true};
inline constexpr dword_entry sensor_sleep_duration{"SensorSleepDuration", 15, 0, 600, system_settings, true};
inline constexpr dword_entry dim_duration{"DimDuration", 5, 1, 600, system_settings, true};
inline constexpr string_entry output_directory{"OutputDirectory", "C:\\Windows\\Temp\\", system_settings, false};
inline constexpr dword_entry device_compatibility{"DeviceCompatibility", 0, 0, 1, service_status, false};
inline constexpr dword_entry enabled_in_bios{"EnabledInBios", 1, 0, 1, service_status, false};
inline constexpr string_entry version{"Version", "0.0.0.0", service_status, false};
inline constexpr dword_entry enable_always_require_sign_in{"EnableAlwaysRequireSignIn", 0, 0, 1, user_settings, true};
inline constexpr dword_entry use_skelder{"UseSkelder", 0, 0, 1, user_settings, true};
inline constexpr dword_entry delayed_start_time{"DelayedStartTime", 0, 0, 3600, user_settings, true};
inline constexpr dword_entry enable_with_external_monitor{"EnableWithExternalMonitor", 0, 0, 1, user_settings, true};
inline constexpr dword_entry enable_with_display_required{"EnableWithDisplayRequired", 0, 0, 1, user_settings, true};
inline constexpr dword_entry reset_os_idle_timer{"ResetOsIdleTimer", 0, 0, 1, system_settings, true};
inline constexpr dword_entry allow_leave_when_system_timer_disabled{"AllowLeaveWhenSystemTimerDisabled", 0, 0, 1,
                                                                    user_settings, true};
inline constexpr dword_entry sleep_after_display_off{"SleepAfterDisplayOff", 0, 0, 1, system_settings, false};
inline constexpr dword_entry lock_after_display_off{"LockAfterDisplayOff", 0, 0, 1, system_settings, false};
// Read from the Transform root.
inline constexpr dword_entry mm{"MM", 1, 0, 9999, "CurrentStatus", false};

// Every value under the product root, as the settings reference and the
// policy templates are generated from them (mm is the laptop maker's).
inline constexpr const dword_entry* product_dword_entries[] = {
    &enable,
    &opmode,
    &debug_mode,
    &lock_screen_timeout,
    &sensor_sleep_duration,
    &dim_duration,
    &device_compatibility,
    &enabled_in_bios,
    &enable_always_require_sign_in,
    &use_skelder,
    &delayed_start_time,
    &enable_with_external_monitor,
    &enable_with_display_required,
    &reset_os_idle_timer,
    &allow_leave_when_system_timer_disabled,
    &sleep_after_display_off,
    &lock_after_display_off,
};
inline constexpr const string_entry* product_string_entries[] = {&output_directory, &version};
}  // namespace values

// The abstract reader. Slot order matters to nobody outside this process,
// but is kept as designed.
class reader {
 public:
  virtual ~reader() = default;
  virtual platform_status get_platform_status() = 0;
  virtual void set_config_change_callback(std::function<void()> callback) = 0;
  virtual void set_power_source(bool plugged_in) = 0;
  virtual bool write_string(const string_entry& entry, const std::string& value) = 0;
  virtual bool write_dword(const dword_entry& entry, const int32_t& value) = 0;
  virtual std::string read_string(const string_entry& entry) = 0;
  virtual int32_t read_dword(const dword_entry& entry) = 0;
  // Has no registry form; the registry reader always raises config::error.
  virtual std::map<std::string, std::string> read_map() = 0;
};

}  // namespace config
}  // namespace ostrel
