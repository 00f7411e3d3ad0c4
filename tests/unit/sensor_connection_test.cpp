#include "engine/sensor_connection.h"

#include "engine/windows_sensor_events.h"
#include "sensor_test_helpers.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <string>

namespace ostrel {
namespace {

using test::trace_capture;
using winsim::machine::custom_report;
using winsim::machine::sensor_description;

sensor_description sensor(const wchar_t* manufacturer, SensorState state = SENSOR_STATE_READY,
                          GUID category = SENSOR_CATEGORY_OTHER) {
  sensor_description d;
  d.category = category;
  d.manufacturer = manufacturer;
  d.state = state;
  d.report_interval_ms = 0;  // GetData answers what the test set, or the sensor's first report
  return d;
}

class SensorConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    closeSensor(connection_);
    // Everything obtained is released and COM is balanced on this thread.
    EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
    EXPECT_EQ(winsim::machine::com_initialization_count(), 0u);
    EXPECT_EQ(winsim::machine::co_task_allocations(), 0u);
  }

  SensorState state_of_open_sensor() {
    SensorState state = SENSOR_STATE_NOT_AVAILABLE;
    EXPECT_EQ(getSensorState(connection_, state), 0);
    return state;
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  sensor_connection connection_;
};

TEST_F(SensorConnectionTest, ChoosesTheFirstOtherSensorMadeExactlyByOstrelWorks) {
  winsim::machine::add_sensor(sensor(L"Contoso", SENSOR_STATE_NO_DATA));
  winsim::machine::add_sensor(sensor(L"Ostrel Works", SENSOR_STATE_INITIALIZING, SENSOR_CATEGORY_BIOMETRIC));
  winsim::machine::add_sensor(sensor(L"OSTREL WORKS", SENSOR_STATE_ACCESS_DENIED));
  winsim::machine::add_sensor(sensor(L"Ostrel Works", SENSOR_STATE_READY));
  winsim::machine::add_sensor(sensor(L"Ostrel Works", SENSOR_STATE_ERROR));

  EXPECT_EQ(openSensor(connection_), 0);
  EXPECT_TRUE(trace_.contains("[runner] Found ostrel hid driver"));
  EXPECT_EQ(state_of_open_sensor(), SENSOR_STATE_READY);
  EXPECT_EQ(winsim::machine::com_initialization_count(), 1u);

  // Opening again starts over instead of stacking COM initialisations.
  EXPECT_EQ(openSensor(connection_), 0);
  EXPECT_EQ(winsim::machine::com_initialization_count(), 1u);
}

TEST_F(SensorConnectionTest, NoExactManufacturerMatchFindsNothing) {
  winsim::machine::add_sensor(sensor(L"OSTREL WORKS"));
  winsim::machine::add_sensor(sensor(L"Ostrel Works "));
  EXPECT_EQ(openSensor(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] Failed to find a Ostrel presence sensor"));
  EXPECT_TRUE(trace_.contains("[runner] findOstrelSensorInCollection failed"));
  EXPECT_FALSE(connection_.sensor);
}

TEST_F(SensorConnectionTest, EveryFailingCallWhileOpeningIsLoggedAndFails) {
  struct failure {
    const char* function;
    HRESULT error;
    const char* line;
  };
  const failure failures[] = {
      {"CoCreateInstance", REGDB_E_CLASSNOTREG, "[runner] CoCreateInstance() failed, return value = 80040154"},
      {"ISensorManager::GetSensorsByCategory", E_ACCESSDENIED,
       "[runner] GetSensorsByCategory() failed, return value = 80070005"},
      {"ISensorCollection::GetCount", E_FAIL, "[runner] Failed to get count from sensor collection"},
      {"ISensorCollection::GetAt", E_UNEXPECTED, "[runner] Failed to get sensor at index 0, return value = 8000ffff"},
      {"ISensor::GetProperty", E_FAIL,
       "[runner] Failed to get manufacturer of sensor at index 0, return value = 80004005"},
  };
  winsim::machine::add_sensor(sensor(L"Ostrel Works"));
  for (const auto& f : failures) {
    SCOPED_TRACE(f.function);
    trace_.clear();
    winsim::machine::fail_call(f.function, static_cast<DWORD>(f.error), 1);
    EXPECT_EQ(openSensor(connection_), -1);
    EXPECT_TRUE(trace_.contains(f.line)) << trace_.dump();
    closeSensor(connection_);
    EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
    EXPECT_EQ(winsim::machine::com_initialization_count(), 0u);
  }

  // Calls that succeed without an answer.
  trace_.clear();
  winsim::machine::sensor_api_answer_null("CoCreateInstance");
  EXPECT_EQ(openSensor(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] openSensor() nullptr"));
  winsim::machine::sensor_api_answer_null("CoCreateInstance", false);
  winsim::machine::sensor_api_answer_null("ISensorManager::GetSensorsByCategory");
  EXPECT_EQ(openSensor(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] Manager is nullptr"));
}

TEST_F(SensorConnectionTest, NoSensorOfTheCategoryAndAFailedComStart) {
  winsim::machine::add_sensor(sensor(L"Ostrel Works", SENSOR_STATE_READY, SENSOR_CATEGORY_BIOMETRIC));
  EXPECT_EQ(openSensor(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] GetSensorsByCategory() failed, return value = 80070490"));

  closeSensor(connection_);

  // COM already in another mode on this thread: logged, opening goes on, and
  // the failed initialisation is not "balanced" on close.
  winsim::machine::add_sensor(sensor(L"Ostrel Works"));
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(openSensor(connection_), 0);
  EXPECT_TRUE(trace_.contains("[runner] CoInitializeEx() failed, return value = 80010106"));
  closeSensor(connection_);
  EXPECT_EQ(winsim::machine::com_initialization_count(), 1u);
  CoUninitialize();

  // A failure nobody else covers: CoCreateInstance then finds COM unusable.
  winsim::machine::fail_call("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY), 1);
  EXPECT_EQ(openSensor(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] CoInitializeEx() failed, return value = 8007000e"));
  EXPECT_TRUE(trace_.contains("[runner] CoCreateInstance() failed, return value = 800401f0"));
}

TEST_F(SensorConnectionTest, StateFromCustomValueOverridesTheApiState) {
  auto d = sensor(L"Ostrel Works", SENSOR_STATE_NOT_AVAILABLE);
  d.data = custom_report(2, 4, false);
  winsim::machine::add_sensor(d);
  ASSERT_EQ(openSensor(connection_), 0);
  EXPECT_EQ(state_of_open_sensor(), SENSOR_STATE_READY);
  EXPECT_TRUE(trace_.contains(
      "[runner] HID sensor state <NOT AVAILABLE> does not match sensor state from custom value <READY>"));
  EXPECT_TRUE(trace_.contains("[runner] Forcing custom value state"));

  // Custom state unreadable: the API's state stands, and each reason is logged.
  winsim::machine::set_sensor_data(0, winsim::machine::legacy_report(true));
  trace_.clear();
  EXPECT_EQ(state_of_open_sensor(), SENSOR_STATE_NOT_AVAILABLE);
  EXPECT_TRUE(trace_.contains(
      "[runner] [get_custom_value_1] Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE1"));
  EXPECT_TRUE(trace_.contains(
      "[runner] [get_sensor_state_from_custom_value] Failed to get custom data, return value = 80070490"));

  winsim::machine::set_sensor_data(0, {});
  EXPECT_EQ(state_of_open_sensor(), SENSOR_STATE_NOT_AVAILABLE);
  EXPECT_TRUE(trace_.contains(
      "[runner] [get_sensor_state_from_custom_value] Failed to get sensor data, return value = 800700e8"));

  winsim::machine::sensor_api_answer_null("ISensor::GetData");
  EXPECT_EQ(state_of_open_sensor(), SENSOR_STATE_NOT_AVAILABLE);
  EXPECT_TRUE(trace_.contains("[runner] [get_sensor_state_from_custom_value] pDataReport nullptr"));

  // The API state itself unreadable: -1 and the caller's value untouched.
  winsim::machine::fail_call("ISensor::GetState", static_cast<DWORD>(E_FAIL), 1);
  SensorState state = SENSOR_STATE_ACCESS_DENIED;
  EXPECT_EQ(getSensorState(connection_, state), -1);
  EXPECT_EQ(state, SENSOR_STATE_ACCESS_DENIED);
  EXPECT_TRUE(trace_.contains("[runner] Failed to get sensor state, return value = 80004005"));

  closeSensor(connection_);
  EXPECT_EQ(getSensorState(connection_, state), -1);
  EXPECT_TRUE(trace_.contains("[runner] getSensorState nullptr"));
}

TEST_F(SensorConnectionTest, EventSinkRegistration) {
  winsim::machine::add_sensor(sensor(L"Ostrel Works"));
  auto queue = std::make_shared<event_queue>();
  com_ptr<ISensorEvents> sink;
  ASSERT_EQ((new windows_sensor_events(queue))->QueryInterface(IID_ISensorEvents, sink.put_void()), S_OK);

  EXPECT_EQ(setEventCallbacks(connection_, sink.get()), -1);  // not open
  EXPECT_TRUE(trace_.contains("[runner] setEventCallbacks nullptr"));
  EXPECT_EQ(removeEventCallbacks(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] removeEventCallbacks nullptr"));

  ASSERT_EQ(openSensor(connection_), 0);
  EXPECT_EQ(setEventCallbacks(connection_, sink.get()), 0);
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));
  EXPECT_EQ(sink->AddRef(), 3u);  // ours, the Sensor API's, this one
  sink->Release();

  winsim::machine::fail_call("ISensor::SetEventSink", static_cast<DWORD>(E_ACCESSDENIED), 1);
  EXPECT_EQ(removeEventCallbacks(connection_), -1);
  EXPECT_TRUE(trace_.contains("[runner] SetEventSink() failed, return value = 80070005"));
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));

  EXPECT_EQ(removeEventCallbacks(connection_), 0);
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));
  EXPECT_EQ(sink->AddRef(), 2u);
  sink->Release();
}

}  // namespace
}  // namespace ostrel
