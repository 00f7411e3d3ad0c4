// Internal to winsim: what the COM runtime and the Sensor API objects share.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <winsim/machine_sensor.h>

#include <atomic>
#include <optional>

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

// What the presence firmware needs of the API: the sensor's state (nothing
// once it is gone), and a report made the sensor's data and handed to its
// sinks on the calling thread (nothing when none is registered).
std::optional<SensorState> sensor_state_of(size_t sensor);
std::optional<HRESULT> deliver_report_here(size_t sensor, const machine::sensor_data& report);

// The presence firmware (presence_firmware.cpp): the report a sensor makes,
// a new sensor to serve, and the end of every sensor's reporting (machine
// reset; waits for a report in progress).
machine::sensor_data firmware_report(SensorState state, bool present, bool legacy);
void firmware_sensor_added(size_t sensor, const machine::sensor_description& description);
void stop_firmware();

}  // namespace winsim::detail
