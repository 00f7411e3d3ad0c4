// GetSystemPowerStatus over the simulated power supply.
#include "kernel/kernel_object.h"

#include <winsim/machine.h>

#include <stdexcept>

namespace {

struct power_state {
  std::mutex mutex;
  BYTE ac_line = AC_LINE_ONLINE;
  BYTE percent = 100;
};

power_state& state() {
  static power_state* s = [] {
    auto* created = new power_state;
    winsim::detail::on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->ac_line = AC_LINE_ONLINE;
      created->percent = 100;
    });
    return created;
  }();
  return *s;
}

// The battery flags Windows derives from the charge: high above 66 %, low
// below 33 %, critical below 5 %, charging while on mains and not full.
BYTE battery_flag(BYTE ac_line, BYTE percent) {
  if (percent == BATTERY_PERCENTAGE_UNKNOWN) return BATTERY_FLAG_UNKNOWN;
  BYTE flag = 0;
  if (percent > 66) flag |= BATTERY_FLAG_HIGH;
  if (percent < 33) flag |= BATTERY_FLAG_LOW;
  if (percent < 5) flag |= BATTERY_FLAG_CRITICAL;
  if (ac_line == AC_LINE_ONLINE && percent < 100) flag |= BATTERY_FLAG_CHARGING;
  return flag;
}

// A full battery lasts five hours; Windows knows no remaining time on mains.
constexpr DWORD full_battery_seconds = 5 * 3600;

}  // namespace

BOOL WINAPI GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
  DWORD error = 0;
  if (winsim::detail::should_fail("GetSystemPowerStatus", &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const bool on_battery = s.ac_line == AC_LINE_OFFLINE && s.percent != BATTERY_PERCENTAGE_UNKNOWN;
  status->ACLineStatus = s.ac_line;
  status->BatteryFlag = battery_flag(s.ac_line, s.percent);
  status->BatteryLifePercent = s.percent;
  status->SystemStatusFlag = 0;
  status->BatteryLifeTime = on_battery ? full_battery_seconds * s.percent / 100 : BATTERY_LIFE_UNKNOWN;
  status->BatteryFullLifeTime = on_battery ? full_battery_seconds : BATTERY_LIFE_UNKNOWN;
  return TRUE;
}

namespace winsim::machine {

void set_ac_line_status(BYTE status) {
  if (status != AC_LINE_OFFLINE && status != AC_LINE_ONLINE && status != AC_LINE_BACKUP_POWER &&
      status != AC_LINE_UNKNOWN) {
    throw std::invalid_argument("AC line status must be 0, 1, 2 or 255");
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.ac_line = status;
}

BYTE ac_line_status() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.ac_line;
}

void set_battery_percent(BYTE percent) {
  if (percent > 100 && percent != BATTERY_PERCENTAGE_UNKNOWN) {
    throw std::invalid_argument("battery charge must be 0..100 or 255");
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.percent = percent;
}

}  // namespace winsim::machine
