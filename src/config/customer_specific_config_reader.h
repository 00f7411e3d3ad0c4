// The configuration reader the service uses: the product settings plus the
// checks that decide whether the feature may run on this machine (firmware
// switch, convertible posture, Enable), and the two platform helpers the
// service needs at start.
#pragma once

#include "config/reader_winreg.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>

namespace ostrel::config {

class customer_specific_config_reader : public reader_winreg {
 public:
  // Subscribes to changes of the product root and of the maker's Transform
  // root; both call the callback installed later.
  explicit customer_specific_config_reader(bool plugged_in);
  ~customer_specific_config_reader() override;

  // Asks the firmware once per reader (DISABLED_IN_BIOS only on that first
  // call), records EnabledInBios, then checks the posture (MM) and Enable.
  platform_status get_platform_status() override;
  // Installs the callback for both roots.
  void set_config_change_callback(std::function<void()> callback) override;

  // The firmware query: the driver's 32-bit answer, or nothing when the
  // driver could not be asked or answered wrongly.
  static std::optional<uint32_t> query_bios_settings(HANDLE device, uint32_t argument);
  // Copies the settings from the service's former key into the product root
  // (once per start, before a reader exists).
  static bool migrate_service_key();
  // True on mains power; an unknown AC line status counts as mains.
  static bool is_plugged_in();

  const reader_winreg& transform_reader() const { return transform_reader_; }

 private:
  std::mutex status_mutex_;
  std::optional<bool> bios_query_state_;  // set once, by the first status check
  reader_winreg transform_reader_;
};

}  // namespace ostrel::config
