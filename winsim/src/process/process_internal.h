// Internal to winsim: what the files of the process area share.
#pragma once

#include "kernel/kernel_object.h"
#include "kernel/pipe_end.h"

#include <winsim/machine_process.h>

#include <string>
#include <vector>

namespace winsim::detail {

// The program's own path on the host (/proc/self/exe).
std::string own_program_path();

// Where CreateProcess finds the program of a command line (or of an explicit
// application name). Sets *error to a Win32 error when nothing is found.
std::string find_program(const char* application_name, const std::string& command_line, DWORD* error);

// The handles of a PROC_THREAD_ATTRIBUTE_HANDLE_LIST in `list`; false when
// the list has none.
bool attribute_handle_list(LPPROC_THREAD_ATTRIBUTE_LIST list, std::vector<HANDLE>* handles);

}  // namespace winsim::detail
