// winsim stand-in for <objbase.h>: COM basics (see winsim/win_com.h).
#pragma once

#include <winsim/win_com.h>
