// winsim declarations for one area of the Win32 API (filled in by that area).
#pragma once

#include <winsim/win_types.h>
