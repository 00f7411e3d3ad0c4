// The simulated COM Sensor API against Microsoft's documented behaviour
// (Wine does not register the sensor manager, so only winsim is pinned here).
#include "com_ptr.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <objbase.h>
#include <propidl.h>
#include <sensors.h>
#include <sensorsapi.h>
#include <winsim/machine.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <set>
#include <thread>

namespace ostrel {
namespace {

using winsim::machine::custom_report;
using winsim::machine::legacy_report;

constexpr HRESULT not_found = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// The fields a report carries (a field it lacks stays empty).
winsim::machine::sensor_data fields_of(ISensorDataReport* report) {
  winsim::machine::sensor_data fields;
  unique_propvariant value;
  if (report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()) == S_OK) fields.custom_value1 = value->ulVal;
  if (report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE2, value.put()) == S_OK) fields.custom_value2 = value->ulVal;
  if (report->GetSensorValue(SENSOR_DATA_TYPE_HUMAN_PRESENCE, value.put()) == S_OK) {
    fields.human_presence = value->boolVal == VARIANT_TRUE;
  }
  return fields;
}

void expect_fields(const winsim::machine::sensor_data& actual, const winsim::machine::sensor_data& expected) {
  EXPECT_EQ(actual.custom_value1, expected.custom_value1);
  EXPECT_EQ(actual.custom_value2, expected.custom_value2);
  EXPECT_EQ(actual.human_presence, expected.human_presence);
}

// Records every callback with the thread it ran on; optionally waits in
// OnDataUpdated until `rendezvous` callbacks are inside at the same time.
class recording_sink final : public ISensorEvents {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid != IID_IUnknown && riid != IID_ISensorEvents) return E_NOINTERFACE;
    *object = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE OnStateChanged(ISensor* sensor, SensorState state) override {
    record(sensor);
    last_state = state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataUpdated(ISensor* sensor, ISensorDataReport* report) override {
    record(sensor);
    {
      std::lock_guard<std::mutex> lock(mutex);
      last_report = fields_of(report);
    }
    unique_propvariant presence;
    EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_HUMAN_PRESENCE, presence.put()), S_OK);
    ++inside;
    if (rendezvous > 0) {
      test::wait_for([this] { return inside.load() >= rendezvous; }, std::chrono::milliseconds(5000));
      if (inside.load() >= rendezvous) ++met;
    }
    return presence->boolVal == VARIANT_TRUE ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE OnEvent(ISensor*, REFGUID, IPortableDeviceValues*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeave(REFSENSOR_ID) override { return S_OK; }

  winsim::machine::sensor_data last() {
    std::lock_guard<std::mutex> lock(mutex);
    return last_report;
  }

  void record(ISensor* sensor) {
    EXPECT_NE(sensor, nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
    ++calls;
  }

  std::atomic<ULONG> references{1};
  std::atomic<int> calls{0};
  std::atomic<int> inside{0};
  std::atomic<int> met{0};
  int rendezvous = 0;
  std::atomic<SensorState> last_state{SENSOR_STATE_MIN};
  std::mutex mutex;
  std::set<std::thread::id> threads;
  winsim::machine::sensor_data last_report;
};

class SensorApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
  void TearDown() override {
    CoUninitialize();
    EXPECT_EQ(winsim::machine::co_task_allocations(), 0u);
  }
  com_ptr<ISensorCollection> others() {
    com_ptr<ISensorManager> manager;
    EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager,
                               manager.put_void()),
              S_OK);
    com_ptr<ISensorCollection> collection;
    EXPECT_EQ(manager->GetSensorsByCategory(SENSOR_CATEGORY_OTHER, collection.put()), S_OK);
    return collection;
  }
  com_ptr<ISensor> first_other() {
    com_ptr<ISensor> sensor;
    EXPECT_EQ(others()->GetAt(0, sensor.put()), S_OK);
    return sensor;
  }

  winsim::machine::scoped_machine machine_;
};

TEST_F(SensorApiTest, PublishedIdentifiersAndLayouts) {
  EXPECT_EQ(CLSID_SensorManager, (GUID{0x77A1C827, 0xFCD2, 0x4689, {0x89, 0x15, 0x9D, 0x61, 0x3C, 0xC5, 0xFA, 0x3E}}));
  EXPECT_EQ(IID_ISensorManager, (GUID{0xBD77DB67, 0x45A8, 0x42DC, {0x8D, 0x00, 0x6D, 0xCF, 0x15, 0xF8, 0x37, 0x7A}}));
  EXPECT_EQ(IID_ISensorEvents, (GUID{0x5D8DCC91, 0x4641, 0x47E7, {0xB7, 0xC3, 0xB7, 0x4F, 0x48, 0xA6, 0xC3, 0x91}}));
  EXPECT_EQ(SENSOR_CATEGORY_OTHER,
            (GUID{0x2C90E7A9, 0xF4C9, 0x4FA2, {0xAF, 0x37, 0x56, 0xD4, 0x71, 0xFE, 0x5A, 0x3D}}));
  EXPECT_EQ(IID_IUnknown, (GUID{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}));
  const GUID common{0x7F8383EC, 0xD3EC, 0x495C, {0xA8, 0xCF, 0xB8, 0xBB, 0xE8, 0x5C, 0x29, 0x20}};
  const GUID custom{0xB14C764F, 0x07CF, 0x41E8, {0x9D, 0x82, 0xEB, 0xE3, 0xD0, 0x77, 0x6A, 0x6F}};
  const GUID biometric{0x2299288A, 0x6D9E, 0x4B0B, {0xB7, 0xEC, 0x35, 0x28, 0xF8, 0x9E, 0x40, 0xAF}};
  EXPECT_EQ(SENSOR_PROPERTY_MANUFACTURER, (PROPERTYKEY{common, 6}));
  EXPECT_EQ(SENSOR_DATA_TYPE_CUSTOM_VALUE1, (PROPERTYKEY{custom, 7}));
  EXPECT_EQ(SENSOR_DATA_TYPE_CUSTOM_VALUE2, (PROPERTYKEY{custom, 8}));
  EXPECT_EQ(SENSOR_DATA_TYPE_HUMAN_PRESENCE, (PROPERTYKEY{biometric, 2}));
  EXPECT_EQ(sizeof(PROPERTYKEY), 20u);
  EXPECT_EQ(sizeof(PROPVARIANT), 8 + 2 * sizeof(void*));
  EXPECT_EQ(SENSOR_STATE_ERROR, 5);
}

TEST_F(SensorApiTest, ApartmentsAndClassCreation) {
  // SetUp initialised the multithreaded apartment.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
  EXPECT_EQ(winsim::machine::com_initialization_count(), 2u);
  CoUninitialize();

  void* object = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(IID_ISensor, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ISensorManager, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, reinterpret_cast<IUnknown*>(&object), CLSCTX_INPROC_SERVER,
                             IID_ISensorManager, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensor, &object), E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK);
  static_cast<IUnknown*>(object)->Release();

  // A thread without COM works through the implicit MTA while this one keeps it.
  HRESULT other_thread = E_FAIL;
  std::thread([&] {
    void* manager = nullptr;
    other_thread = CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager, &manager);
    if (manager != nullptr) static_cast<IUnknown*>(manager)->Release();
  }).join();
  EXPECT_EQ(other_thread, S_OK);
  CoUninitialize();
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager, &object),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // for TearDown
  EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
}

TEST_F(SensorApiTest, SensorsPropertiesAndReports) {
  winsim::machine::sensor_description presence;
  presence.state = SENSOR_STATE_INITIALIZING;
  presence.data = custom_report(5, 4, true);
  presence.report_interval_ms = 0;  // no report of its own replaces the data set here
  winsim::machine::add_sensor(presence);
  winsim::machine::sensor_description biometric;
  biometric.category = SENSOR_CATEGORY_BIOMETRIC;
  winsim::machine::add_sensor(biometric);
  winsim::machine::sensor_description other;
  other.manufacturer = L"Contoso";
  winsim::machine::add_sensor(other);

  auto collection = others();
  ULONG count = 0;
  EXPECT_EQ(collection->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2u);
  com_ptr<ISensor> sensor;
  EXPECT_EQ(collection->GetAt(2, sensor.put()), E_INVALIDARG);
  EXPECT_EQ(collection->GetAt(1, sensor.put()), S_OK);
  {
    unique_propvariant manufacturer;
    EXPECT_EQ(sensor->GetProperty(SENSOR_PROPERTY_MANUFACTURER, manufacturer.put()), S_OK);
    EXPECT_EQ(manufacturer->vt, VT_LPWSTR);
    EXPECT_EQ(std::wcscmp(manufacturer->pwszVal, L"Contoso"), 0);
    EXPECT_EQ(winsim::machine::co_task_allocations(), 1u);
  }
  EXPECT_EQ(winsim::machine::co_task_allocations(), 0u);  // PropVariantClear freed the string

  EXPECT_EQ(collection->GetAt(0, sensor.put()), S_OK);
  SensorState state = SENSOR_STATE_READY;
  EXPECT_EQ(sensor->GetState(&state), S_OK);
  EXPECT_EQ(state, SENSOR_STATE_INITIALIZING);
  unique_propvariant value;
  EXPECT_EQ(sensor->GetProperty(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()), not_found);
  EXPECT_EQ(value->vt, VT_EMPTY);

  com_ptr<ISensorDataReport> report;
  EXPECT_EQ(sensor->GetData(report.put()), S_OK);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()), S_OK);
  EXPECT_EQ(value->vt, VT_UI4);
  EXPECT_EQ(value->ulVal, 5u);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_HUMAN_PRESENCE, value.put()), S_OK);
  EXPECT_EQ(value->vt, VT_BOOL);
  EXPECT_EQ(value->boolVal, VARIANT_TRUE);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_HUMAN_PRESENCE, nullptr), E_POINTER);

  // A report is a snapshot; GetData answers the latest data.
  winsim::machine::set_sensor_data(0, legacy_report(false));
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()), S_OK);
  EXPECT_EQ(sensor->GetData(report.put()), S_OK);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()), not_found);
  winsim::machine::set_sensor_data(0, {});
  EXPECT_EQ(sensor->GetData(report.put()), HRESULT_FROM_WIN32(232));  // ERROR_NO_DATA
  EXPECT_FALSE(report);

  // Fields of any type, as a driver may fill them: a text is terminated (a partial WCHAR dropped), a
  // number is read through its own member of the union, the first field of a key counts, and the
  // latest report is what GetData answers.
  const wchar_t text[] = L"hi";
  std::vector<unsigned char> text_bytes(reinterpret_cast<const unsigned char*>(text),
                                        reinterpret_cast<const unsigned char*>(text) + 2 * sizeof(WCHAR));
  text_bytes.push_back('!');
  EXPECT_EQ(winsim::machine::deliver_typed_report(0, {{SENSOR_DATA_TYPE_CUSTOM_VALUE1, VT_LPWSTR, text_bytes},
                                                      {SENSOR_DATA_TYPE_CUSTOM_VALUE2, VT_UI1, {7, 0xEE, 0xEE}},
                                                      {SENSOR_DATA_TYPE_CUSTOM_VALUE2, VT_UI4, {1}}}),
            std::nullopt);  // no sink registered
  EXPECT_EQ(sensor->GetData(report.put()), S_OK);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE1, value.put()), S_OK);
  ASSERT_EQ(value->vt, VT_LPWSTR);
  EXPECT_EQ(std::wcscmp(value->pwszVal, L"hi"), 0);
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_CUSTOM_VALUE2, value.put()), S_OK);
  EXPECT_EQ(value->vt, VT_UI1);
  EXPECT_EQ(value->bVal, 7);
  EXPECT_EQ(value->uiVal, 0xEE07);  // the rest of the union holds whatever the driver left
  EXPECT_EQ(report->GetSensorValue(SENSOR_DATA_TYPE_HUMAN_PRESENCE, value.put()), not_found);
  EXPECT_EQ(winsim::machine::co_task_allocations(), 0u);

  // No sensor of a category: ERROR_NOT_FOUND and no collection.
  com_ptr<ISensorManager> manager;
  ASSERT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager,
                             manager.put_void()),
            S_OK);
  EXPECT_EQ(manager->GetSensorsByCategory(IID_ISensor, collection.put()), not_found);
  EXPECT_FALSE(collection);
  EXPECT_EQ(winsim::machine::sensor_api_call_count("ISensorManager::GetSensorsByCategory"), 2u);

  manager.reset();
  sensor.reset();
  report.reset();
  EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
}

TEST_F(SensorApiTest, InjectedFailuresAndNullAnswers) {
  winsim::machine::add_sensor({});
  auto sensor = first_other();
  winsim::machine::fail_call("ISensor::GetState", static_cast<DWORD>(E_ACCESSDENIED), 2);
  SensorState state;
  EXPECT_EQ(sensor->GetState(&state), E_ACCESSDENIED);
  EXPECT_EQ(sensor->GetState(&state), E_ACCESSDENIED);
  EXPECT_EQ(sensor->GetState(&state), S_OK);
  EXPECT_EQ(winsim::machine::sensor_api_call_count("ISensor::GetState"), 3u);

  winsim::machine::sensor_api_answer_null("ISensor::GetData");
  com_ptr<ISensorDataReport> report;
  EXPECT_EQ(sensor->GetData(report.put()), S_OK);
  EXPECT_FALSE(report);
}

TEST_F(SensorApiTest, DeliveriesReachRegisteredSinksOnSensorApiThreads) {
  winsim::machine::sensor_description quiet;
  quiet.report_interval_ms = 0;  // only the deliveries made here reach the sink
  winsim::machine::add_sensor(quiet);
  recording_sink sink;
  EXPECT_EQ(winsim::machine::deliver_state_changed(0, SENSOR_STATE_NO_DATA), std::nullopt);  // nobody listens

  {
    auto sensor = first_other();
    EXPECT_EQ(sensor->SetEventSink(&sink), S_OK);
    EXPECT_EQ(sink.references.load(), 2u);
  }
  // The registration keeps the sensor object alive; only unregistering frees it.
  EXPECT_EQ(winsim::machine::sensor_api_object_count(), 1u);
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));

  EXPECT_EQ(winsim::machine::deliver_state_changed(0, SENSOR_STATE_ERROR), S_OK);
  EXPECT_EQ(sink.last_state.load(), SENSOR_STATE_ERROR);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, legacy_report(false)), S_FALSE);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, legacy_report(true)), S_OK);
  EXPECT_EQ(sink.threads.count(std::this_thread::get_id()), 0u);
  {
    auto sensor = first_other();
    SensorState state;
    EXPECT_EQ(sensor->GetState(&state), S_OK);
    EXPECT_EQ(state, SENSOR_STATE_ERROR);  // a delivered change is the sensor's state
  }

  // Held deliveries wait with their references until released.
  winsim::machine::hold_sensor_deliveries(true);
  winsim::machine::post_data_updated(0, legacy_report(true));
  winsim::machine::post_state_changed(0, SENSOR_STATE_READY);
  EXPECT_TRUE(test::wait_for([] { return winsim::machine::held_sensor_deliveries() == 2; }));
  EXPECT_EQ(sink.calls.load(), 3);
  EXPECT_EQ(sink.references.load(), 4u);
  winsim::machine::hold_sensor_deliveries(false);
  winsim::machine::wait_for_sensor_deliveries();
  EXPECT_EQ(sink.calls.load(), 5);
  EXPECT_EQ(sink.references.load(), 2u);

  // Concurrent deliveries are inside the sink at the same time.
  sink.rendezvous = 4;
  auto results = winsim::machine::deliver_data_updated_concurrently(
      0, {legacy_report(true), legacy_report(true), legacy_report(true), legacy_report(true)});
  EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK}));
  EXPECT_EQ(sink.met.load(), 4);
  EXPECT_GE(sink.threads.size(), 2u);

  // A sink left registered is released when the machine is reset.
  winsim::machine::reset();
  EXPECT_EQ(sink.references.load(), 1u);
  EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
}

// A program's first sink and the end of its last are timed, and wake
// whoever waits for them.
TEST_F(SensorApiTest, SinkRegistrationChangesAreTimedAndWakeWaiters) {
  using clock = std::chrono::steady_clock;
  winsim::machine::sensor_description quiet;
  quiet.report_interval_ms = 0;
  winsim::machine::add_sensor(quiet);
  recording_sink sink;
  auto sensor = first_other();
  EXPECT_FALSE(winsim::machine::wait_for_sensor_event_sink(0, true, 10));

  const auto before = clock::now();
  ASSERT_EQ(sensor->SetEventSink(&sink), S_OK);
  const auto registered = winsim::machine::sensor_event_sink_changed_at(0);
  EXPECT_GE(registered, before);
  EXPECT_LE(registered, clock::now());
  EXPECT_TRUE(winsim::machine::wait_for_sensor_event_sink(0, true, 0));
  // Replacing the sink of a registration changes nothing.
  ASSERT_EQ(sensor->SetEventSink(&sink), S_OK);
  EXPECT_EQ(winsim::machine::sensor_event_sink_changed_at(0), registered);

  // Woken by the change, long before its own limit.
  auto gone = std::async(std::launch::async, [] { return winsim::machine::wait_for_sensor_event_sink(0, false, 60000); });
  ASSERT_EQ(gone.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  ASSERT_EQ(sensor->SetEventSink(nullptr), S_OK);
  ASSERT_EQ(gone.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(gone.get());
  EXPECT_GT(winsim::machine::sensor_event_sink_changed_at(0), registered);
}

TEST_F(SensorApiTest, APresenceSensorReportsEveryFieldAtItsIntervalAndAChangeAtOnce) {
  winsim::machine::sensor_description presence;
  presence.report_interval_ms = 10;
  winsim::machine::add_sensor(presence);
  auto sensor = first_other();
  const auto current_data = [&sensor] {
    com_ptr<ISensorDataReport> report;
    EXPECT_EQ(sensor->GetData(report.put()), S_OK);
    return report ? fields_of(report.get()) : winsim::machine::sensor_data{};
  };
  // Before its first report GetData answers what the sensor would report:
  // HID state READY (2), a data report (4), somebody present.
  expect_fields(current_data(), custom_report(2, 4, true));

  recording_sink sink;
  // Counted before the sink is set: the sensor reports on its own thread
  // all the while, and a report counted may reach the sink a moment later.
  const size_t made = winsim::machine::sensor_report_count(0);
  ASSERT_EQ(sensor->SetEventSink(&sink), S_OK);
  // Nothing changes, and the sensor reports all the same.
  ASSERT_TRUE(test::wait_for(
      [&] { return sink.calls.load() >= 3 && winsim::machine::sensor_report_count(0) >= made + 3; }));
  expect_fields(sink.last(), custom_report(2, 4, true));

  // A change reaches the sink before the call returns, and no report of the
  // reading before it comes later.
  for (int i = 0; i < 20; ++i) {
    const bool present = i % 2 == 1;
    EXPECT_EQ(winsim::machine::set_sensor_presence(0, present), present ? S_OK : S_FALSE);
    EXPECT_EQ(sink.last().human_presence, present);
    EXPECT_EQ(winsim::machine::sensor_presence(0), present);
  }
  expect_fields(current_data(), custom_report(2, 4, true));

  // The next report carries the sensor's new state; GetData answers it.
  winsim::machine::set_sensor_state(0, SENSOR_STATE_INITIALIZING);
  ASSERT_TRUE(test::wait_for([&] { return sink.last().custom_value1 == 5u; }));
  expect_fields(current_data(), custom_report(5, 4, true));

  // A legacy sensor reports presence only.
  winsim::machine::set_sensor_legacy(0, true);
  ASSERT_TRUE(test::wait_for([&] { return !sink.last().custom_value1.has_value(); }));
  expect_fields(sink.last(), legacy_report(true));
  expect_fields(current_data(), legacy_report(true));

  ASSERT_EQ(sensor->SetEventSink(nullptr), S_OK);
  EXPECT_EQ(winsim::machine::set_sensor_presence(0, false), std::nullopt);  // nobody listens
  EXPECT_EQ(winsim::machine::set_sensor_presence(0, true), std::nullopt);
  sensor.reset();
  EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
}

}  // namespace
}  // namespace ostrel
