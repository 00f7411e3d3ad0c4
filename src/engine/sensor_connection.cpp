#include "engine/sensor_connection.h"

#include "engine/sensor_values.h"
#include "logging/trace_line.h"

#include <sensors.h>

#include <cwchar>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

namespace {

constexpr const char* tag = "runner";
constexpr const wchar_t* ostrel_manufacturer = L"Ostrel Works";

// The sensor's state as its driver reports it in custom value 1 of the latest
// data report; the API's own state can lag behind it.
HRESULT get_sensor_state_from_custom_value(ISensor* sensor, SensorState* state) {
  constexpr const char* function = "get_sensor_state_from_custom_value";
  if (sensor == nullptr) {
    trace_line(log_level::error, tag, function) << "pSensor is nullptr";
    return E_POINTER;
  }
  com_ptr<ISensorDataReport> report;
  HRESULT result = sensor->GetData(report.put());
  if (FAILED(result)) {
    trace_line(log_level::error, tag, function) << "Failed to get sensor data, return value = " << hresult_text(result);
    return result;
  }
  if (!report) {
    trace_line(log_level::error, tag, function) << "pDataReport nullptr";
    return E_POINTER;
  }
  ULONG hid_state = 0;
  result = get_custom_value_1(report.get(), &hid_state, tag);
  if (FAILED(result)) {
    trace_line(log_level::error, tag, function) << "Failed to get custom data, return value = " << hresult_text(result);
    return result;
  }
  *state = hid_to_sensor_state(hid_state, tag);
  return S_OK;
}

bool is_ostrel_sensor(ISensor* sensor, ULONG index) {
  unique_propvariant manufacturer;
  const HRESULT result = sensor->GetProperty(SENSOR_PROPERTY_MANUFACTURER, manufacturer.put());
  if (FAILED(result)) {
    // One unreadable sensor does not end the search.
    trace_line(log_level::info, tag) << "Failed to get manufacturer of sensor at index " << index
                                     << ", return value = " << hresult_text(result) << "\n";
    return false;
  }
  return manufacturer->vt == VT_LPWSTR && manufacturer->pwszVal != nullptr &&
         std::wcscmp(manufacturer->pwszVal, ostrel_manufacturer) == 0;
}

}  // namespace

sensor_connection::~sensor_connection() { closeSensor(*this); }

int openSensor(sensor_connection& connection) {
  closeSensor(connection);

  HRESULT result = connection.com.initialize(COINIT_MULTITHREADED);
  if (FAILED(result)) {
    // COM may already be usable on this thread in another mode; try anyway.
    trace_line(log_level::info, tag) << "CoInitializeEx() failed, return value = " << hresult_text(result) << "\n";
  }

  result = CoCreateInstance(CLSID_SensorManager, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager,
                            connection.manager.put_void());
  if (FAILED(result)) {
    trace_line(log_level::info, tag) << "CoCreateInstance() failed, return value = " << hresult_text(result) << "\n";
    return -1;
  }
  if (!connection.manager) {
    trace_line(log_level::info, tag) << "openSensor() nullptr\n";
    return -1;
  }

  result = connection.manager->GetSensorsByCategory(SENSOR_CATEGORY_OTHER, connection.collection.put());
  if (FAILED(result)) {
    trace_line(log_level::info, tag) << "GetSensorsByCategory() failed, return value = " << hresult_text(result)
                                     << "\n";
    return -1;
  }
  if (!connection.collection) {
    trace_line(log_level::info, tag) << "Manager is nullptr\n";
    return -1;
  }

  if (findOstrelSensorInCollection(connection, connection.collection.get(), connection.sensor) < 0) {
    trace_line(log_level::info, tag) << "findOstrelSensorInCollection failed\n";
    return -1;
  }
  return 0;
}

int findOstrelSensorInCollection(sensor_connection&, ISensorCollection* collection, com_ptr<ISensor>& sensor) {
  sensor.reset();
  ULONG count = 0;
  if (collection == nullptr || FAILED(collection->GetCount(&count))) {
    trace_line(log_level::info, tag) << "Failed to get count from sensor collection\n";
    return -1;
  }
  for (ULONG index = 0; index < count; ++index) {
    const HRESULT result = collection->GetAt(index, sensor.put());
    if (FAILED(result)) {
      trace_line(log_level::info, tag) << "Failed to get sensor at index " << index
                                       << ", return value = " << hresult_text(result) << "\n";
      sensor.reset();
      return -1;
    }
    if (sensor && is_ostrel_sensor(sensor.get(), index)) break;
    sensor.reset();
  }
  if (!sensor) {
    trace_line(log_level::info, tag) << "Failed to find a Ostrel presence sensor";
    return -1;
  }
  trace_line(log_level::info, tag) << "Found ostrel hid driver\n";
  return 0;
}

int getSensorState(sensor_connection& connection, SensorState& state) {
  if (!connection.sensor) {
    trace_line(log_level::info, tag) << "getSensorState nullptr\n";
    return -1;
  }
  SensorState api_state = state;
  const HRESULT result = connection.sensor->GetState(&api_state);
  if (FAILED(result)) {
    trace_line(log_level::info, tag) << "Failed to get sensor state, return value = " << hresult_text(result);
    return -1;
  }
  state = api_state;

  SensorState custom_state = api_state;
  if (SUCCEEDED(get_sensor_state_from_custom_value(connection.sensor.get(), &custom_state)) &&
      custom_state != api_state) {
    trace_line(log_level::info, tag) << "HID sensor state <" << sensor_state_name(api_state)
                                     << "> does not match sensor state from custom value <"
                                     << sensor_state_name(custom_state) << ">";
    trace_line(log_level::info, tag) << "Forcing custom value state";
    state = custom_state;
  }
  return 0;
}

int setEventCallbacks(sensor_connection& connection, ISensorEvents* sink) {
  if (!connection.sensor || sink == nullptr) {
    trace_line(log_level::info, tag) << "setEventCallbacks nullptr\n";
    return -1;
  }
  const HRESULT result = connection.sensor->SetEventSink(sink);
  if (FAILED(result)) {
    trace_line(log_level::info, tag) << "SetEventSink() failed, return value = " << hresult_text(result) << "\n";
    return -1;
  }
  return 0;
}

int removeEventCallbacks(sensor_connection& connection) {
  if (!connection.sensor) {
    trace_line(log_level::info, tag) << "removeEventCallbacks nullptr\n";
    return -1;
  }
  const HRESULT result = connection.sensor->SetEventSink(nullptr);
  if (FAILED(result)) {
    trace_line(log_level::info, tag) << "SetEventSink() failed, return value = " << hresult_text(result) << "\n";
    return -1;
  }
  return 0;
}

void closeSensor(sensor_connection& connection) {
  connection.sensor.reset();
  connection.collection.reset();
  connection.manager.reset();
  connection.com.reset();
}

}  // namespace ostrel
