#include "engine/windows_sensor_events.h"

#include "sensor_test_helpers.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>

namespace ostrel {
namespace {

using test::recorded_queue;
using test::trace_capture;
using winsim::machine::custom_report;
using winsim::machine::legacy_report;
using events = std::vector<events_t>;

class SensorEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    winsim::machine::add_sensor({});
    sensor_ = test::other_sensor_at(0);
    auto* created = new windows_sensor_events(recorded_.queue);
    ASSERT_EQ(created->QueryInterface(IID_ISensorEvents, sink_.put_void()), S_OK);
    events_ = created;
  }
  void TearDown() override {
    sink_.reset();
    sensor_.reset();
    CoUninitialize();
    EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
  }

  HRESULT data(const winsim::machine::sensor_data& d) {
    auto report = test::report_of(sensor_.get(), 0, d);
    return sink_->OnDataUpdated(sensor_.get(), report.get());
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  recorded_queue recorded_;
  com_ptr<ISensor> sensor_;
  com_ptr<ISensorEvents> sink_;
  windows_sensor_events* events_ = nullptr;
};

TEST_F(SensorEventsTest, ComIdentityAndReferenceCountingDropTheQueueAtZero) {
  std::weak_ptr<event_queue> queue = recorded_.queue;
  recorded_.queue.reset();  // only the sink holds it now
  EXPECT_FALSE(queue.expired());

  auto* poisoned = reinterpret_cast<void*>(0xdeadbeef);
  void* unknown = poisoned;
  EXPECT_EQ(sink_->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(sink_.get()));
  void* other = poisoned;
  EXPECT_EQ(sink_->QueryInterface(IID_ISensor, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(sink_->QueryInterface(IID_ISensorEvents, nullptr), E_POINTER);

  EXPECT_EQ(sink_->AddRef(), 3u);  // ours, the IUnknown one, this one
  EXPECT_EQ(sink_->Release(), 2u);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
  EXPECT_FALSE(queue.expired());
  EXPECT_EQ(sink_.detach()->Release(), 0u);
  EXPECT_TRUE(queue.expired());
}

TEST_F(SensorEventsTest, StateChangesPushAvailabilityAndOnlyErrorIsUnavailable) {
  EXPECT_EQ(sink_->OnStateChanged(nullptr, SENSOR_STATE_READY), E_INVALIDARG);
  EXPECT_TRUE(trace_.contains("[wse] [OnStateChanged] OnStateChanged input is nullptr"));
  EXPECT_EQ(recorded_.take(), events{});

  EXPECT_EQ(sink_->OnStateChanged(sensor_.get(), SENSOR_STATE_NO_DATA), S_OK);
  EXPECT_EQ(events_->current_state(), SENSOR_STATE_NO_DATA);
  EXPECT_EQ(sink_->OnStateChanged(sensor_.get(), SENSOR_STATE_ERROR), S_OK);
  EXPECT_EQ(sink_->OnStateChanged(sensor_.get(), static_cast<SensorState>(9)), S_OK);
  EXPECT_EQ(recorded_.take(), (events{HPD_SENSOR_AVAILABLE, HPD_SENSOR_UNAVAILABLE, HPD_SENSOR_AVAILABLE}));
  EXPECT_EQ(trace_.count_containing("[wse] [update_sensor_state] State changed to NO DATA on timestamp "), 1u);
  EXPECT_EQ(trace_.count_containing("[wse] [update_sensor_state] State changed to UNKNOWN_STATE on timestamp "), 1u);
  EXPECT_EQ(trace_.count("[wse] [update_sensor_state] Sensor ready. Device compatible"), 2u);
  EXPECT_EQ(trace_.count("[wse] [update_sensor_state] Sensor error. Device incompatible"), 1u);

  // The engine's own reading is stored silently.
  events_->setSensorState(SENSOR_STATE_READY);
  EXPECT_EQ(events_->current_state(), SENSOR_STATE_READY);
  EXPECT_EQ(recorded_.take(), events{});
  EXPECT_EQ(trace_.count_containing("[wse] [setSensorState] State manually updated to READY on timestamp "), 1u);
}

TEST_F(SensorEventsTest, CustomReportsPushPresenceOnlyWhileReady) {
  events_->setSensorState(SENSOR_STATE_READY);
  EXPECT_EQ(data(custom_report(2, 4, true)), S_OK);
  EXPECT_EQ(data(custom_report(2, 0x1204, false)), S_OK);  // only the low byte is the kind
  EXPECT_EQ(recorded_.take(), (events{PROXIMITY_NEAR, PROXIMITY_FAR}));
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] SENSOR_EVENT_DATA_UPDATED"));
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_data] presenceValue = 1"));
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_data] Current sensor state READY"));

  // Custom value 1 naming another state changes the state and pushes only availability.
  EXPECT_EQ(data(custom_report(5, 4, true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{HPD_SENSOR_AVAILABLE});
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] HID sensor state INITIALIZING does not match sensor state READY"));
  EXPECT_EQ(data(custom_report(5, 4, true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{});
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_data] Filtering out data due to sensor state INITIALIZING"));

  // Unknown HID states count as ERROR.
  EXPECT_EQ(data(custom_report(9, 4, true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{HPD_SENSOR_UNAVAILABLE});
  EXPECT_TRUE(trace_.contains("[wse] [hid_to_sensor_state] Unknown hid sensor state"));
  EXPECT_EQ(events_->current_state(), SENSOR_STATE_ERROR);
}

TEST_F(SensorEventsTest, ReportKindsOtherThanDataUpdateAreStateChangesOrIgnored) {
  events_->setSensorState(SENSOR_STATE_READY);
  EXPECT_EQ(data(custom_report(2, 2, true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{HPD_SENSOR_AVAILABLE});
  EXPECT_TRUE(trace_.contains(
      "[wse] [OnDataUpdated] HID sensor event SENSOR_EVENT_STATE_CHANGED called in data update callback."));

  EXPECT_EQ(data(custom_report(2, 3, true)), S_OK);
  EXPECT_EQ(data(custom_report(2, 0x105, true)), S_OK);
  EXPECT_EQ(data(custom_report(2, 0, true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{});
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] Ignoring sensor event SENSOR_EVENT_PROPERTY_CHANGED"));
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] Ignoring sensor event SENSOR_EVENT_POLL_RESPONSE"));
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] Ignoring sensor event UNKNOWN_EVENT"));
}

TEST_F(SensorEventsTest, BadInputsAndUnreadablePresenceAreRefused) {
  events_->setSensorState(SENSOR_STATE_READY);
  auto report = test::report_of(sensor_.get(), 0, custom_report(2, 4, true));
  EXPECT_EQ(sink_->OnDataUpdated(nullptr, report.get()), E_INVALIDARG);
  EXPECT_EQ(sink_->OnDataUpdated(sensor_.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(trace_.count("[wse] [OnDataUpdated] OnDataUpdated input is nullptr"), 2u);

  EXPECT_EQ(data({2u, 4u, std::nullopt}), E_FAIL);
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_data] Failed to get human presence value, return value = 80070490"));
  EXPECT_EQ(recorded_.take(), events{});

  EXPECT_EQ(sink_->OnEvent(sensor_.get(), SENSOR_CATEGORY_OTHER, nullptr), S_OK);
  EXPECT_EQ(sink_->OnLeave(SENSOR_CATEGORY_OTHER), S_OK);
  EXPECT_TRUE(trace_.contains("[wse] [OnEvent] In OnEvent"));
  EXPECT_TRUE(trace_.contains("[wse] [OnLeave] In OnLeave"));
}

TEST_F(SensorEventsTest, LegacyReportsAreDistrustedForAHundredMillisecondsAfterAStateChange) {
  EXPECT_EQ(data(legacy_report(true)), S_OK);
  EXPECT_EQ(recorded_.take(), events{});  // not READY yet
  EXPECT_TRUE(trace_.contains("[wse] [get_custom_value_1] Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE1"));
  EXPECT_TRUE(trace_.contains("[wse] [get_custom_value_2] Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE2"));
  EXPECT_TRUE(trace_.contains("[wse] [OnDataUpdated] Custom values not available. Using legacy sensor API, "
                              "return value1 = 80070490 return value2 = 80070490"));
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_data] Filtering out data due to sensor state NOT AVAILABLE"));

  // Some 50 ms after the change the report is dropped. The check only counts
  // when the report really fell inside the window; a stalled machine retries
  // (each try needs the report made within 50 ms of the wait's end).
  bool checked = false;
  for (int attempt = 0; attempt < 20 && !checked; ++attempt) {
    const DWORD before_change = GetTickCount();
    ASSERT_EQ(sink_->OnStateChanged(sensor_.get(), SENSOR_STATE_READY), S_OK);
    ASSERT_EQ(recorded_.take(), events{HPD_SENSOR_AVAILABLE});
    ASSERT_TRUE(test::wait_for([&] { return GetTickCount() - before_change >= 50; }));
    trace_.clear();
    ASSERT_EQ(data(legacy_report(true)), S_OK);
    if (GetTickCount() - before_change >= 100) {
      recorded_.take();  // too late to be filtered: the report went through
      continue;
    }
    EXPECT_EQ(recorded_.take(), events{});
    EXPECT_EQ(trace_.count_containing("[wse] [update_sensor_data] Filtering out data due to timestamp "), 1u);
    checked = true;
  }
  EXPECT_TRUE(checked);

  ASSERT_EQ(sink_->OnStateChanged(sensor_.get(), SENSOR_STATE_READY), S_OK);
  const DWORD after_change = GetTickCount();
  recorded_.take();
  ASSERT_TRUE(test::wait_for([&] { return GetTickCount() - after_change >= 100; }));
  EXPECT_EQ(data(legacy_report(false)), S_OK);
  EXPECT_EQ(data(legacy_report(true)), S_OK);
  EXPECT_EQ(recorded_.take(), (events{PROXIMITY_FAR, PROXIMITY_NEAR}));
}

}  // namespace
}  // namespace ostrel
