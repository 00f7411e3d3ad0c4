#include "engine/sensor_values.h"

#include "com_ptr.h"
#include "logging/trace_line.h"

#include <sstream>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

const char* sensor_state_name(ULONG state) {
  switch (state) {
    case SENSOR_STATE_READY: return "READY";
    case SENSOR_STATE_NOT_AVAILABLE: return "NOT AVAILABLE";
    case SENSOR_STATE_NO_DATA: return "NO DATA";
    case SENSOR_STATE_INITIALIZING: return "INITIALIZING";
    case SENSOR_STATE_ACCESS_DENIED: return "ACCESS DENIED";
    case SENSOR_STATE_ERROR: return "ERROR";
    default: return "UNKNOWN_STATE";
  }
}

const char* sensor_event_name(ULONG event) {
  switch (event) {
    case 1: return "SENSOR_EVENT_UNKNOWN";
    case 2: return "SENSOR_EVENT_STATE_CHANGED";
    case 3: return "SENSOR_EVENT_PROPERTY_CHANGED";
    case 4: return "SENSOR_EVENT_DATA_UPDATED";
    case 5: return "SENSOR_EVENT_POLL_RESPONSE";
    case 6: return "SENSOR_EVENT_CHANGE_SENSITIVITY";
    default: return "UNKNOWN_EVENT";
  }
}

SensorState hid_to_sensor_state(ULONG hid_value, const char* tag) {
  // The HID sensor-state usage values follow the SensorState order from 2 on.
  switch (LOBYTE(hid_value)) {
    case 2: return SENSOR_STATE_READY;
    case 3: return SENSOR_STATE_NOT_AVAILABLE;
    case 4: return SENSOR_STATE_NO_DATA;
    case 5: return SENSOR_STATE_INITIALIZING;
    case 6: return SENSOR_STATE_ACCESS_DENIED;
    case 7: return SENSOR_STATE_ERROR;
    default:
      trace_line(log_level::debug, tag, "hid_to_sensor_state") << "Unknown hid sensor state";
      return SENSOR_STATE_ERROR;
  }
}

std::string hresult_text(HRESULT result) {
  std::ostringstream text;
  text << std::hex << static_cast<uint32_t>(result);
  return text.str();
}

HRESULT propvariant_to_ulong(const PROPVARIANT& value, ULONG* out) {
  switch (value.vt) {
    case VT_UI1: *out = value.bVal; break;
    case VT_UI2: *out = value.uiVal; break;
    case VT_UI4: *out = value.ulVal; break;
    case VT_UINT: *out = value.uintVal; break;
    case VT_I1: *out = static_cast<ULONG>(value.cVal); break;
    case VT_I2: *out = static_cast<ULONG>(value.iVal); break;
    case VT_I4: *out = static_cast<ULONG>(value.lVal); break;
    case VT_INT: *out = static_cast<ULONG>(value.intVal); break;
    case VT_BOOL: *out = value.boolVal != VARIANT_FALSE ? 1 : 0; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

namespace {

HRESULT read_field(ISensorDataReport* report, REFPROPERTYKEY key, ULONG* value) {
  if (report == nullptr || value == nullptr) return E_POINTER;
  unique_propvariant field;
  HRESULT result = report->GetSensorValue(key, field.put());
  if (SUCCEEDED(result)) result = propvariant_to_ulong(field.get(), value);
  return result;
}

}  // namespace

HRESULT get_custom_value_1(ISensorDataReport* report, ULONG* value, const char* tag) {
  const HRESULT result = read_field(report, SENSOR_DATA_TYPE_CUSTOM_VALUE1, value);
  if (FAILED(result)) {
    trace_line(log_level::error, tag, "get_custom_value_1") << "Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE1";
  }
  return result;
}

HRESULT get_custom_value_2(ISensorDataReport* report, ULONG* value, const char* tag) {
  const HRESULT result = read_field(report, SENSOR_DATA_TYPE_CUSTOM_VALUE2, value);
  if (FAILED(result)) {
    trace_line(log_level::error, tag, "get_custom_value_2") << "Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE2";
  }
  return result;
}

HRESULT get_human_presence(ISensorDataReport* report, ULONG* value) {
  return read_field(report, SENSOR_DATA_TYPE_HUMAN_PRESENCE, value);
}

}  // namespace ostrel
