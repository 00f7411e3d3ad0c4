// Controls of the simulated COM Sensor API: the sensors the sensor manager
// lists, their state and data, and deliveries of sensor events to the sinks a
// program registered with ISensor::SetEventSink.
//
// Calls of the API can be made to fail with winsim::machine::fail_call under
// these names, the error being the HRESULT to answer: "CoInitializeEx",
// "CoCreateInstance", "ISensorManager::GetSensorsByCategory",
// "ISensorCollection::GetCount", "ISensorCollection::GetAt",
// "ISensor::GetProperty", "ISensor::GetState", "ISensor::GetData",
// "ISensor::SetEventSink", "ISensorDataReport::GetSensorValue".
#pragma once

#include <windows.h>
#include <sensorsapi.h>
#include <sensors.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace winsim::machine {

// A field of any key and PROPVARIANT type, as a driver may fill it. `value`
// holds the type's data: for the numeric types (VT_I1 to VT_UI8, VT_INT,
// VT_UINT, VT_R4, VT_R8, VT_BOOL, VT_ERROR) the bytes of the value, for
// VT_LPSTR the characters of the text, for VT_LPWSTR the bytes of its WCHARs
// (a partial WCHAR at the end is dropped), for VT_CLSID the 16 bytes of the
// GUID. Texts get their terminating zero. Missing bytes read as zero, bytes
// beyond the type's size land in the rest of the PROPVARIANT's union (as
// stale bytes would). Any other type is reported with all its data zero.
struct sensor_field {
  PROPERTYKEY key{};
  VARTYPE type = VT_EMPTY;
  std::vector<unsigned char> value;
};

// The fields of one data report. An absent field is not in the report:
// GetSensorValue answers HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for it.
struct sensor_data {
  std::optional<ULONG> custom_value1;  // VT_UI4, as HID sensors report custom values
  std::optional<ULONG> custom_value2;  // VT_UI4
  std::optional<bool> human_presence;  // VT_BOOL
};

// A report of a sensor that has no custom values: presence only.
sensor_data legacy_report(bool present);
// A report of the custom layout: the HID sensor state in custom value 1, the
// report kind in the low byte of custom value 2.
sensor_data custom_report(ULONG hid_state, ULONG kind, bool present);

// A presence sensor reports by itself, as its firmware does: every report
// carries custom value 1 (the HID sensor state of the sensor's state: 2 READY
// up to 7 ERROR), custom value 2 (report kind SENSOR_EVENT_DATA_UPDATED, 4)
// and human presence; it reports at its report interval whether or not
// anything changed, and at once when the person in front of it comes or
// goes. ISensor::GetData answers the last report. A legacy sensor reports
// human presence only. Reports reach the registered sinks on one reporting
// thread of the Sensor API, in the order the sensors made them.
inline constexpr DWORD default_report_interval_ms = 1000;

struct sensor_description {
  GUID category = SENSOR_CATEGORY_OTHER;
  std::wstring manufacturer = L"Ostrel Works";
  SensorState state = SENSOR_STATE_READY;  // what ISensor::GetState answers
  bool present = true;                     // somebody sits in front of it
  DWORD report_interval_ms = default_report_interval_ms;  // 0: reports only when told to
  bool legacy = false;                     // reports without custom values
  // What ISensor::GetData reports until the first report; no fields at all:
  // the report the sensor would make now.
  sensor_data data;
};

// Adds a sensor and returns its index; collections list sensors in the order
// they were added.
size_t add_sensor(const sensor_description& sensor);
size_t sensor_count();
void set_sensor_state(size_t sensor, SensorState state);
// What ISensor::GetData answers until the next report; no fields at all:
// ERROR_NO_DATA.
void set_sensor_data(size_t sensor, const sensor_data& data);

// The person in front of the sensor comes or goes (or stays: the sensor
// reports all the same). The sensor reports at once; the call waits until
// the report has reached the sinks and returns their answer (the first
// sink's), or nothing when no sink is registered. Not while deliveries are
// held.
std::optional<HRESULT> set_sensor_presence(size_t sensor, bool present);
bool sensor_presence(size_t sensor);
// From now on the sensor reports every `interval_ms` (0: only on a presence change).
void set_sensor_report_interval(size_t sensor, DWORD interval_ms);
void set_sensor_legacy(size_t sensor, bool legacy);
// Reports the sensor has made by itself since it was added.
size_t sensor_report_count(size_t sensor);
// True while some ISensor of this sensor has an event sink registered.
bool sensor_has_event_sink(size_t sensor);
// When the sensor last got its first sink or lost its last one (steady
// clock; the epoch when it never had one).
std::chrono::steady_clock::time_point sensor_event_sink_changed_at(size_t sensor);
// Blocks until the sensor has a sink (`registered`) or has none, or
// `timeout_ms` has passed; true when it is so.
bool wait_for_sensor_event_sink(size_t sensor, bool registered, DWORD timeout_ms);

// Deliveries run on a thread of the simulated Sensor API, like Windows'
// callbacks, and reach every sink registered on the sensor. A delivery first
// makes the sensor's state (or data) the given one, as the driver's change
// would. The synchronous forms wait for the sink and return its answer (the
// first sink's when there are several), or nothing when no sink is registered.
std::optional<HRESULT> deliver_state_changed(size_t sensor, SensorState state);
std::optional<HRESULT> deliver_data_updated(size_t sensor, const sensor_data& report);
// The same with a report made of `fields` alone (for a key listed twice, the
// first entry counts).
std::optional<HRESULT> deliver_typed_report(size_t sensor, const std::vector<sensor_field>& fields);
// One thread per report, all released at the same moment; the answers in the
// order of the reports (S_FALSE for a report that found no sink).
std::vector<HRESULT> deliver_data_updated_concurrently(size_t sensor, const std::vector<sensor_data>& reports);
// Asynchronous forms: start the delivery thread and return at once.
void post_state_changed(size_t sensor, SensorState state);
void post_data_updated(size_t sensor, const sensor_data& report);
// Joins every delivery thread started by the post_ forms.
void wait_for_sensor_deliveries();
// While held, a delivery that has taken its sink waits before calling it:
// lets a test act between "the Sensor API has the event" and "the sink runs".
// Use only the post_ forms while held.
void hold_sensor_deliveries(bool hold);
// Number of deliveries waiting at the hold.
size_t held_sensor_deliveries();

// The named call succeeds but hands back a null pointer (a misbehaving
// driver): "CoCreateInstance", "ISensorManager::GetSensorsByCategory",
// "ISensor::GetData".
void sensor_api_answer_null(const std::string& function, bool enabled = true);

// Objects of the simulated API (manager, collections, sensors, reports)
// still alive; 0 once a program has released everything it obtained.
size_t sensor_api_object_count();
// Calls made of one of the failure-injection names above since the reset.
size_t sensor_api_call_count(const std::string& function);
// Successful CoInitializeEx calls not yet balanced by CoUninitialize on the
// calling thread.
ULONG com_initialization_count();
// Blocks from CoTaskMemAlloc not yet freed (PROPVARIANT strings included).
size_t co_task_allocations();

}  // namespace winsim::machine
