// Internal to winsim: what the COM runtime and the Sensor API objects share.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

namespace winsim::detail {

// Counts the call under its failure-injection name and answers true (with
// the HRESULT to return) when the call is set to fail.
bool sensor_call_fails(const char* function, HRESULT* result);
// The call is set to succeed with a null out pointer.
bool sensor_call_answers_null(const char* function);

// The class object of CLSID_SensorManager: a new manager for `riid`.
HRESULT create_sensor_manager(REFIID riid, void** object);

// Objects of the simulated API alive now.
std::atomic<size_t>& live_sensor_objects();

}  // namespace winsim::detail
