// What the sensor adapter reads from the presence sensor: the names used in
// log lines, the HID sensor state carried in custom value 1, and typed reads
// of the data-report fields. Shared by the connection and the event sink.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <sensorsapi.h>
#include <sensors.h>

#include <string>

namespace ostrel {

// Report kinds in the low byte of custom value 2 (the sensor's event types;
// the names in log lines come from sensor_event_name).
constexpr ULONG report_kind_state_changed = 2;
constexpr ULONG report_kind_data_updated = 4;

// "READY" ... "ERROR"; "UNKNOWN_STATE" above ERROR.
const char* sensor_state_name(ULONG state);
// "SENSOR_EVENT_UNKNOWN" ... "SENSOR_EVENT_CHANGE_SENSITIVITY"; "UNKNOWN_EVENT" otherwise.
const char* sensor_event_name(ULONG event);
// Maps the HID sensor state (low byte of custom value 1) to the Windows
// SensorState; unknown values count as ERROR (logged under `tag`).
SensorState hid_to_sensor_state(ULONG hid_value, const char* tag);

// An HRESULT as log lines show it: lower-case hexadecimal, no leading zeros.
std::string hresult_text(HRESULT result);

// The value of an integer or boolean PROPVARIANT as an unsigned 32-bit value
// (VARIANT_TRUE reads as 1); DISP_E_TYPEMISMATCH for any other type.
HRESULT propvariant_to_ulong(const PROPVARIANT& value, ULONG* out);

// Reads one field of a data report; failures are logged (level error) under
// the function's own name and `tag`.
HRESULT get_custom_value_1(ISensorDataReport* report, ULONG* value, const char* tag);
HRESULT get_custom_value_2(ISensorDataReport* report, ULONG* value, const char* tag);
// Without a log line: the caller reports the failure in its own words.
HRESULT get_human_presence(ISensorDataReport* report, ULONG* value);

}  // namespace ostrel
