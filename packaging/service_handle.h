// An owning service-control-manager handle, for the Windows-only packaging
// code and its tests (the programs themselves never open the SCM).
#pragma once

#include "unique_handle.h"

#include <windows.h>

namespace ostrel {

using unique_service_handle = unique_any<SC_HANDLE, decltype(&::CloseServiceHandle), ::CloseServiceHandle>;

}  // namespace ostrel
