// CreateFileA and DeviceIoControl for the devices the programs open. Plain
// files are never opened through CreateFileA by the programs.
#include "devices/devices.h"

#include <strings.h>

namespace {

using winsim::detail::device_object;

std::shared_ptr<device_object> open_device(const char* name) {
  if (strcasecmp(name, "\\\\.\\KELTPMDRV") == 0) return winsim::detail::open_firmware_driver();
  if (strcasecmp(name, "\\\\.\\LCD") == 0) return winsim::detail::open_lcd();
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  DWORD error = 0;
  if (winsim::detail::should_fail("CreateFileA", &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (file_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto device = open_device(file_name);
  if (!device) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return winsim::detail::insert_handle(std::move(device));
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD bytes_returned, LPOVERLAPPED) {
  auto device = winsim::detail::lookup_handle_as<device_object>(handle);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD error = 0;
  if (winsim::detail::should_fail("DeviceIoControl", &error)) {
    SetLastError(error);
    return FALSE;
  }
  return device->io_control(code, in, in_size, out, out_size, bytes_returned);
}
