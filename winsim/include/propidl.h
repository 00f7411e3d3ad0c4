// winsim stand-in for <propidl.h>: COM basics (see winsim/win_com.h).
#pragma once

#include <winsim/win_com.h>
