// Defines the Sensor API's GUIDs and property keys once for the program. The
// SDK headers only declare them unless <initguid.h> comes first, and this is
// the one translation unit that includes it.
#include <windows.h>
#include <initguid.h>
#include <objbase.h>
#include <sensorsapi.h>
#include <sensors.h>
