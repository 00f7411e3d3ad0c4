// winsim stand-in for <winioctl.h>: device types for the control codes the
// programs send (CTL_CODE and the method and access values are in win_file.h).
#pragma once

#include <windows.h>

#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef FILE_DEVICE_VIDEO
#define FILE_DEVICE_VIDEO 0x00000023
#endif
