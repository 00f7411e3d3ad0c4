// Controls of the simulated devices that CreateFileA opens ("\\.\NAME").
#pragma once

#include <windows.h>

namespace winsim::machine {

// The laptop maker's power-management driver "\\.\KELTPMDRV". It answers the
// firmware query (DeviceIoControl code 0x002227F8, a 4-byte argument) with
// what was set last. A new machine has no such driver: opening it fails
// with ERROR_FILE_NOT_FOUND.
void set_firmware_driver_absent();
// Answers every query with this 4-byte value.
void set_firmware_driver_answer(DWORD value);
// Answers with the first `bytes` bytes of `value` (a wrong answer size).
void set_firmware_driver_answer_size(DWORD value, DWORD bytes);
// The query fails with this Win32 error.
void set_firmware_driver_failure(DWORD error);
// CreateFileA calls on the driver's name, and DeviceIoControl calls that
// reached the driver, since the machine was reset.
int firmware_driver_open_count();
int firmware_driver_query_count();
// The 4-byte argument of the last query (0 when none was sent).
DWORD firmware_driver_last_argument();

}  // namespace winsim::machine
