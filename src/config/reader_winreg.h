// The registry implementation of config::reader: every read and write goes
// to HKEY_LOCAL_MACHINE\<root>\<sub-key>[\PluggedIn|\OnBattery]; nothing is
// cached, so a changed value takes effect at the next read.
#pragma once

#include "config/reader.h"
#include "config/winregedit.h"
#include "errors.h"

#include <mutex>
#include <string>

namespace ostrel::config {

class reader_winreg : public reader {
 public:
  // With `subscribe`, changes anywhere under the root call the callback
  // installed with set_config_change_callback, on the subscription's thread.
  reader_winreg(std::string root_path, bool plugged_in, bool subscribe);
  ~reader_winreg() override;
  reader_winreg(const reader_winreg&) = delete;
  reader_winreg& operator=(const reader_winreg&) = delete;

  // DISABLED_IN_CONFIG when Enable is 0, else ENABLED.
  platform_status get_platform_status() override;
  void set_config_change_callback(std::function<void()> callback) override;
  // Chooses the PluggedIn or OnBattery sub-keys for later reads and writes.
  void set_power_source(bool plugged_in) override;
  // Writes pause the change subscription, so the reader's own writes are
  // not reported back; it runs again after each write the registry answered.
  bool write_string(const string_entry& entry, const std::string& value) override;
  bool write_dword(const dword_entry& entry, const int32_t& value) override;
  // A missing or unreadable string yields the default, silently.
  std::string read_string(const string_entry& entry) override;
  // A missing, mistyped or out-of-range value yields the default, logged.
  int32_t read_dword(const dword_entry& entry) override;
  // Always raises config::error.
  std::map<std::string, std::string> read_map() override;

  const std::string& root_path() const { return root_path_; }
  bool subscription_running() const { return regedit_.subscription_running(); }

 private:
  std::string key_path(const char* sub_key, bool per_power_source) const;
  // Stops the subscription, writes, and restarts it.
  bool write_value(const std::string& path, const char* name, DWORD type, const BYTE* data, DWORD size);

  const std::string root_path_;
  win32::winregedit regedit_;
  mutable std::mutex power_source_mutex_;
  std::string power_source_word_;
  // Held from a write's stop of the subscription to its restart.
  std::mutex write_mutex_;
};

}  // namespace ostrel::config
