// Internal to winsim: the devices CreateFileA can open ("\\.\NAME").
#pragma once

#include "kernel/kernel_object.h"

namespace winsim::detail {

class device_object : public kernel_object {
 public:
  const char* type_name() const override { return "Device"; }
  // DeviceIoControl on this device; sets the last error itself on failure.
  virtual BOOL io_control(DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                          LPDWORD bytes_returned) = 0;
};

// Each returns nullptr, with the last error set, when the device is absent.
std::shared_ptr<device_object> open_firmware_driver();  // "\\.\KELTPMDRV"
std::shared_ptr<device_object> open_lcd();              // "\\.\LCD"

}  // namespace winsim::detail
