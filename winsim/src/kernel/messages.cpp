// FormatMessageA over the system message table (the texts Windows gives for
// the error codes the programs report).
#include "kernel/kernel_object.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

const std::map<DWORD, const char*>& system_messages() {
  static const std::map<DWORD, const char*> messages = {
      {0, "The operation completed successfully.\r\n"},
      {1, "Incorrect function.\r\n"},
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {8, "Not enough memory resources are available to process this command.\r\n"},
      {13, "The data is invalid.\r\n"},
      {14, "Not enough memory resources are available to complete this operation.\r\n"},
      {21, "The device is not ready.\r\n"},
      {31, "A device attached to the system is not functioning.\r\n"},
      {50, "The request is not supported.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {109, "The pipe has been ended.\r\n"},
      {120, "This function is not supported on this system.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {126, "The specified module could not be found.\r\n"},
      {127, "The specified procedure could not be found.\r\n"},
      {183, "Cannot create a file when that file already exists.\r\n"},
      {193, "%1 is not a valid Win32 application.\r\n"},
      {234, "More data is available.\r\n"},
      {258, "The wait operation timed out.\r\n"},
      {259, "No more data is available.\r\n"},
      {574, "{Application Error}\r\nThe exception %s (0x%08lx) occurred in the application at location 0x%08lx.\r\n"},
      {997, "Overlapped I/O operation is in progress.\r\n"},
      {1008, "An attempt was made to reference a token that does not exist.\r\n"},
      {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
      {1052, "The requested control is not valid for this service.\r\n"},
      {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
      {1056, "An instance of the service is already running.\r\n"},
      {1060, "The specified service does not exist as an installed service.\r\n"},
      {1061, "The service cannot accept control messages at this time.\r\n"},
      {1062, "The service has not been started.\r\n"},
      {1063, "The service process could not connect to the service controller.\r\n"},
      {1066, "The service has returned a service-specific error code.\r\n"},
      {1070, "After starting, the service hung in a start-pending state.\r\n"},
      {1168, "Element not found.\r\n"},
      {1314, "A required privilege is not held by the client.\r\n"},
      {1400, "Invalid window handle.\r\n"},
      {1410, "Class already exists.\r\n"},
      {1460, "This operation returned because the timeout period expired.\r\n"},
      {1610, "The configuration data for this product is corrupt.  Contact your support personnel.\r\n"},
      {1630, "Data of this type is not supported.\r\n"},
  };
  return messages;
}

}  // namespace

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size, void*) {
  if (winsim::detail::should_fail_with_last_error("FormatMessageA")) return 0;
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto it = system_messages().find(message_id);
  if (it == system_messages().end()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const std::string text = it->second;
  const DWORD length = static_cast<DWORD>(text.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // The caller passed a pointer to an LPSTR; it frees the text with LocalFree.
    char* allocated = static_cast<char*>(LocalAlloc(LPTR, length + 1));
    if (allocated == nullptr) return 0;
    std::memcpy(allocated, text.c_str(), length + 1);
    *reinterpret_cast<LPSTR*>(buffer) = allocated;
    return length;
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), length + 1);
  return length;
}
