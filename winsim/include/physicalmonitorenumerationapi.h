// winsim stand-in for <physicalmonitorenumerationapi.h> (dxva2): how many
// physical monitors stand behind one display monitor.
#pragma once

#include <windows.h>

BOOL WINAPI GetNumberOfPhysicalMonitorsFromHMONITOR(HMONITOR monitor, LPDWORD number_of_physical_monitors);
