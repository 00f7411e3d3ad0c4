// winsim stand-in for <windows.h>: the Win32 declarations the programs use.
#pragma once

#include <winsim/win_types.h>
#include <winsim/win_errors.h>
#include <winsim/win_kernel.h>
#include <winsim/win_registry.h>
#include <winsim/win_service.h>
#include <winsim/win_power.h>
#include <winsim/win_process.h>
#include <winsim/win_file.h>
#include <winsim/win_user.h>
