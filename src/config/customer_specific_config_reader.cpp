#include "config/customer_specific_config_reader.h"

#include "common/process_flags.h"
#include "config/power_source.h"
#include "config/registry_store.h"
#include "logging/trace_line.h"
#include "system_error_text.h"
#include "unique_handle.h"

#include <sstream>

namespace ostrel::config {

using logging::log_level;
using logging::trace_line;

namespace {

constexpr const char* firmware_driver_path = "\\\\.\\KELTPMDRV";
// FILE_DEVICE_UNKNOWN, function 0x9FE, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD firmware_query_code = 0x002227F8;
constexpr uint32_t firmware_query_argument = 0x00100000;
// Bit 1 of the answer: the presence feature is enabled in the firmware.
constexpr uint32_t enabled_in_firmware_bit = 0x2;

std::string hex(uint32_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

}  // namespace

customer_specific_config_reader::customer_specific_config_reader(bool plugged_in)
    : reader_winreg(product_root, plugged_in, /*subscribe=*/true),
      transform_reader_(transform_root, plugged_in, /*subscribe=*/true) {}

customer_specific_config_reader::~customer_specific_config_reader() = default;

void customer_specific_config_reader::set_config_change_callback(std::function<void()> callback) {
  reader_winreg::set_config_change_callback(callback);
  transform_reader_.set_config_change_callback(std::move(callback));
}

platform_status customer_specific_config_reader::get_platform_status() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  platform_status status = ENABLED;
  if (!bios_query_state_) {
    unique_file device(CreateFileA(firmware_driver_path, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, /*lpSecurityAttributes=*/nullptr,
                                   OPEN_EXISTING, /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr));
    const std::optional<uint32_t> answer = query_bios_settings(device.get(), firmware_query_argument);
    bios_query_state_ = answer.has_value();
    if (answer && (*answer & enabled_in_firmware_bit) == 0) status = DISABLED_IN_BIOS;
  }
  if (*bios_query_state_ && status == DISABLED_IN_BIOS) {
    write_dword(values::enabled_in_bios, 0);
    return DISABLED_IN_BIOS;
  }
  write_dword(values::enabled_in_bios, 1);

  if (transform_reader_.read_dword(values::mm) > 1) return DISABLED_IN_TABLET_MODE;
  return read_dword(values::enable) == 0 ? DISABLED_IN_CONFIG : ENABLED;
}

std::optional<uint32_t> customer_specific_config_reader::query_bios_settings(HANDLE device, uint32_t argument) {
  trace_line(log_level::info, "runner") << "Call device io with: 0x" << hex(argument) << "\n";
  if (device == INVALID_HANDLE_VALUE) {
    trace_line(log_level::error, "runner") << "Invalid driver handle when reading CHPD\n";
    return std::nullopt;
  }
  DWORD input = argument;
  DWORD result = 0;
  DWORD returned = 0;
  if (!DeviceIoControl(device, firmware_query_code, &input, sizeof(input), &result, sizeof(result), &returned,
                       /*lpOverlapped=*/nullptr)) {
    // Any code is worded here, 0 included, in the language the system picks.
    const std::string text = format_system_message(GetLastError(), /*language=*/0);
    trace_line(log_level::error, "runner") << "Io Control failed while checking BIOS settings: (Arg = 0x"
                                           << hex(argument) << ")...Error Message: " << text << "\n ";
    return std::nullopt;
  }
  if (returned != sizeof(result)) {
    trace_line(log_level::error, "runner")
        << "Io Control returned wrong output buffer size while checking BIOS settings\n";
    return std::nullopt;
  }
  trace_line(log_level::info, "runner") << "Call device io with: 0x" << hex(argument) << ". With result: 0x"
                                        << hex(result) << "\n";
  return result;
}

bool customer_specific_config_reader::migrate_service_key() {
  win32::registry_key from(HKEY_LOCAL_MACHINE, former_service_key);
  win32::registry_key to(HKEY_LOCAL_MACHINE, product_root);
  // The service key's own values (its start type, image path, ...) stay behind.
  const bool moved = win32::move_registry_key(from, to, win32::access_mode::default_access, /*skip_values=*/true);
  from.close();
  to.close();
  return moved;
}

bool customer_specific_config_reader::is_plugged_in() {
  // When the power status cannot be read, the last known answer stands.
  return config::is_plugged_in(ostrel::plugged_in.load());
}

}  // namespace ostrel::config
