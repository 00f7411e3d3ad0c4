// Process and thread attribute lists, as CreateProcess reads them through
// STARTUPINFOEXA. Of the attributes only the handle list is known; like
// Windows, the list keeps a pointer to the caller's value, which must stay
// valid until the list is deleted.
#include "process/process_internal.h"

// The caller's buffer: this header, then `capacity` entries.
struct _PROC_THREAD_ATTRIBUTE_LIST {
  DWORD capacity;
  DWORD count;
};

namespace {

struct attribute_entry {
  DWORD_PTR attribute;
  PVOID value;
  SIZE_T size;
};

constexpr SIZE_T header_size = sizeof(_PROC_THREAD_ATTRIBUTE_LIST);
static_assert(header_size % alignof(attribute_entry) == 0, "entries follow the header aligned");

SIZE_T list_size(DWORD capacity) { return header_size + sizeof(attribute_entry) * capacity; }

attribute_entry* entries(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  return reinterpret_cast<attribute_entry*>(reinterpret_cast<char*>(list) + header_size);
}

bool fail_if_injected(const char* function) { return winsim::detail::should_fail_with_last_error(function); }

}  // namespace

BOOL WINAPI InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attribute_count, DWORD flags,
                                              PSIZE_T size) {
  if (fail_if_injected("InitializeProcThreadAttributeList")) return FALSE;
  if (flags != 0 || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SIZE_T needed = list_size(attribute_count);
  // Asking for the size fails by design.
  if (list == nullptr || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  list->capacity = attribute_count;
  list->count = 0;
  *size = needed;
  return TRUE;
}

BOOL WINAPI UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                      PVOID value, SIZE_T size, PVOID /*previous_value*/, PSIZE_T /*return_size*/) {
  if (fail_if_injected("UpdateProcThreadAttribute")) return FALSE;
  if (list == nullptr || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (list->count >= list->capacity) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (attribute != PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (size == 0 || size % sizeof(HANDLE) != 0) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  entries(list)[list->count++] = {attribute, value, size};
  return TRUE;
}

void WINAPI DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  if (list != nullptr) list->count = 0;
}

namespace winsim::detail {

bool attribute_handle_list(LPPROC_THREAD_ATTRIBUTE_LIST list, std::vector<HANDLE>* handles) {
  if (list == nullptr) return false;
  for (DWORD i = 0; i < list->count; ++i) {
    const auto& e = entries(list)[i];
    if (e.attribute != PROC_THREAD_ATTRIBUTE_HANDLE_LIST) continue;
    const auto* first = static_cast<const HANDLE*>(e.value);
    handles->assign(first, first + e.size / sizeof(HANDLE));
    return true;
  }
  return false;
}

}  // namespace winsim::detail
