// The engine runner against the simulated Sensor API: reports delivered on
// the API's own threads, concurrently and late, end up as the right events.
#include "engine/engine_runner.h"

#include "sensor_test_helpers.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

namespace ostrel {
namespace {

using test::count_of;
using test::recorded_queue;
using winsim::machine::custom_report;
using winsim::machine::legacy_report;
using events = std::vector<events_t>;

class SensorPresenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::machine::sensor_description d;
    d.state = SENSOR_STATE_READY;
    d.data = custom_report(2, 4, true);
    d.report_interval_ms = 0;  // the test makes every report itself
    winsim::machine::add_sensor(d);
    runner_ = std::make_unique<engine_runner>(nullptr, recorded_.queue, &stop_requested_);
    ASSERT_EQ(runner_->init(), 0);
    ASSERT_EQ(runner_->set_engine_suspended(false), 0);
  }
  void TearDown() override {
    runner_.reset();
    winsim::machine::wait_for_sensor_deliveries();
    EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
    EXPECT_EQ(winsim::machine::com_initialization_count(), 0u);
  }

  winsim::machine::scoped_machine machine_;
  test::trace_capture trace_{0};
  recorded_queue recorded_;
  std::atomic<bool> stop_requested_{false};
  std::unique_ptr<engine_runner> runner_;
};

TEST_F(SensorPresenceTest, ALeaveAndAReturnAsTheSensorReportsThem) {
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, false)), S_OK);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, true)), S_OK);
  EXPECT_EQ(recorded_.take(), (events{PROXIMITY_FAR, PROXIMITY_NEAR}));

  // The sensor fails and recovers; presence counts again only once READY.
  EXPECT_EQ(winsim::machine::deliver_state_changed(0, SENSOR_STATE_ERROR), S_OK);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, legacy_report(false)), S_OK);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, false)), S_OK);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, false)), S_OK);
  EXPECT_EQ(recorded_.take(), (events{HPD_SENSOR_UNAVAILABLE, HPD_SENSOR_AVAILABLE, PROXIMITY_FAR}));
}

TEST_F(SensorPresenceTest, ReportsFromSeveralSensorThreadsAtOnceAreAllPushed) {
  std::vector<winsim::machine::sensor_data> reports;
  for (int i = 0; i < 48; ++i) reports.push_back(custom_report(2, 4, i % 3 == 0));
  // State changes to the same state race the reports on threads of their own.
  for (int i = 0; i < 8; ++i) winsim::machine::post_state_changed(0, SENSOR_STATE_READY);
  auto results = winsim::machine::deliver_data_updated_concurrently(0, reports);
  winsim::machine::wait_for_sensor_deliveries();
  EXPECT_EQ(results, std::vector<HRESULT>(reports.size(), S_OK));

  auto pushed = recorded_.take();
  EXPECT_EQ(count_of(pushed, PROXIMITY_NEAR), 16u);
  EXPECT_EQ(count_of(pushed, PROXIMITY_FAR), 32u);
  EXPECT_EQ(count_of(pushed, HPD_SENSOR_AVAILABLE), 8u);
  EXPECT_EQ(pushed.size(), 56u);
}

TEST_F(SensorPresenceTest, ReportsArrivingAfterASuspendPushNoPresence) {
  // In flight at the Sensor API when the state machine suspends the engine.
  winsim::machine::hold_sensor_deliveries(true);
  for (int i = 0; i < 3; ++i) winsim::machine::post_data_updated(0, legacy_report(i % 2 == 0));
  winsim::machine::post_data_updated(0, custom_report(3, 4, true));
  ASSERT_TRUE(test::wait_for([] { return winsim::machine::held_sensor_deliveries() == 4; }));
  ASSERT_EQ(runner_->set_engine_suspended(true), 0);
  winsim::machine::hold_sensor_deliveries(false);
  winsim::machine::wait_for_sensor_deliveries();
  EXPECT_EQ(recorded_.take(), events{});

  // Unsubscribed: the Sensor API has nobody to tell.
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, true)), std::nullopt);

  // A late report naming READY, or a state change, differs from the NOT
  // AVAILABLE of a suspended engine; it must not announce the sensor either,
  // or the lock screen would start leave detection again.
  ASSERT_EQ(runner_->set_engine_suspended(false), 0);
  winsim::machine::hold_sensor_deliveries(true);
  winsim::machine::post_data_updated(0, custom_report(2, 4, true));
  winsim::machine::post_data_updated(0, custom_report(7, 2, true));
  winsim::machine::post_state_changed(0, SENSOR_STATE_READY);
  ASSERT_TRUE(test::wait_for([] { return winsim::machine::held_sensor_deliveries() == 3; }));
  ASSERT_EQ(runner_->set_engine_suspended(true), 0);
  winsim::machine::hold_sensor_deliveries(false);
  winsim::machine::wait_for_sensor_deliveries();
  EXPECT_EQ(recorded_.take(), events{});
  EXPECT_EQ(trace_.count_containing("Ignoring report: not subscribed"), 3u);

  // Subscribed again, the sensor is heard as before (the held deliveries
  // left its state to chance: settle it first).
  winsim::machine::set_sensor_state(0, SENSOR_STATE_READY);
  winsim::machine::set_sensor_data(0, custom_report(2, 4, true));
  ASSERT_EQ(runner_->set_engine_suspended(false), 0);
  EXPECT_EQ(winsim::machine::deliver_data_updated(0, custom_report(2, 4, false)), S_OK);
  EXPECT_EQ(recorded_.take(), events{PROXIMITY_FAR});
}

TEST_F(SensorPresenceTest, ACallbackInFlightOutlivesTheRunner) {
  winsim::machine::hold_sensor_deliveries(true);
  winsim::machine::post_data_updated(0, legacy_report(false));
  ASSERT_TRUE(test::wait_for([] { return winsim::machine::held_sensor_deliveries() == 1; }));
  // The pass ends while the Sensor API still holds the sink.
  runner_.reset();
  EXPECT_EQ(recorded_.queue.use_count(), 2);  // the sink's reference keeps the queue
  winsim::machine::hold_sensor_deliveries(false);
  winsim::machine::wait_for_sensor_deliveries();
  EXPECT_EQ(recorded_.queue.use_count(), 1);
  EXPECT_EQ(recorded_.take(), events{});  // the ended runner left the sink NOT AVAILABLE
}

}  // namespace
}  // namespace ostrel
