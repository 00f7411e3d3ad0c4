// State changes and data reports of any shape from the simulated Sensor API
// into the service's event sink, registered the way the engine registers it:
// any sensor state, report fields of any PROPVARIANT type and value, missing
// fields and failing reads. Every report's PROPVARIANT strings must be freed
// and every Sensor API object released, and the sink pushes nothing but
// presence and availability, at most one event per delivery.
#include "engine/sensor_connection.h"
#include "engine/windows_sensor_events.h"
#include "events/event_queue.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sensors.h>
#include <winsim/machine.h>

#include <cstdint>
#include <memory>

namespace {

ostrel::sensor_connection* connection = nullptr;  // opened once, for the whole run

const VARTYPE types[] = {VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
                         VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL, VT_ERROR, VT_LPSTR, VT_LPWSTR, VT_CLSID, VT_BSTR};
const PROPERTYKEY keys[] = {SENSOR_DATA_TYPE_CUSTOM_VALUE1, SENSOR_DATA_TYPE_CUSTOM_VALUE2,
                            SENSOR_DATA_TYPE_HUMAN_PRESENCE};

std::vector<winsim::machine::sensor_field> any_report(FuzzedDataProvider& input) {
  std::vector<winsim::machine::sensor_field> report;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < count; ++i) {
    winsim::machine::sensor_field field;
    field.key = input.PickValueInArray(keys);
    field.type = input.ConsumeBool() ? input.PickValueInArray(types) : input.ConsumeIntegral<VARTYPE>();
    field.value = input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<size_t>(0, 20));
    report.push_back(std::move(field));
  }
  return report;
}

bool is_sensor_event(ostrel::events_t event) {
  return event == ostrel::PROXIMITY_NEAR || event == ostrel::PROXIMITY_FAR ||
         event == ostrel::HPD_SENSOR_AVAILABLE || event == ostrel::HPD_SENSOR_UNAVAILABLE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports only when this target delivers one: a report of the sensor's
  // own timer would hold a report object across the count at an input's end.
  winsim::machine::sensor_description sensor;
  sensor.report_interval_ms = 0;
  winsim::machine::add_sensor(sensor);
  connection = new ostrel::sensor_connection;
  return ostrel::openSensor(*connection) == 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider input(bytes, size);
  const size_t task_memory_before = winsim::machine::co_task_allocations();
  const size_t objects_before = winsim::machine::sensor_api_object_count();

  auto queue = std::make_shared<ostrel::event_queue>();
  size_t pushed = 0;
  queue->set_event_callback([&pushed](ostrel::events_t event) {
    if (!is_sensor_event(event)) __builtin_trap();
    ++pushed;
  });
  ostrel::com_ptr<ISensorEvents> sink;
  if ((new windows_sensor_events(queue))->QueryInterface(IID_ISensorEvents, sink.put_void()) != S_OK) __builtin_trap();
  if (ostrel::setEventCallbacks(*connection, sink.get()) != 0) __builtin_trap();

  for (int deliveries = 0; deliveries < 8 && input.remaining_bytes() > 0; ++deliveries) {
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
        // Every value a SensorState can hold.
        winsim::machine::deliver_state_changed(0, static_cast<SensorState>(input.ConsumeIntegralInRange<int>(0, 7)));
        break;
      case 1:
        winsim::machine::deliver_typed_report(0, any_report(input));
        break;
      default:
        winsim::machine::fail_call("ISensorDataReport::GetSensorValue", input.ConsumeIntegral<uint32_t>(), 1);
        winsim::machine::deliver_typed_report(0, any_report(input));
        winsim::machine::clear_failures();
        break;
    }
    while (queue->process_next_event()) {
    }
    if (pushed > 1) __builtin_trap();
    pushed = 0;
  }

  if (ostrel::removeEventCallbacks(*connection) != 0) __builtin_trap();
  sink.reset();
  if (winsim::machine::co_task_allocations() != task_memory_before) __builtin_trap();
  if (winsim::machine::sensor_api_object_count() != objects_before) __builtin_trap();
  return 0;
}
