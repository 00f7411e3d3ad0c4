#include "engine/engine_runner.h"

#include "sensor_test_helpers.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <string>

namespace ostrel {
namespace {

using test::recorded_queue;
using test::trace_capture;
using winsim::machine::custom_report;
using events = std::vector<events_t>;

// The runner only keeps the reader; nothing is read through it.
class unused_reader : public config::reader {
 public:
  config::platform_status get_platform_status() override { return config::ENABLED; }
  void set_config_change_callback(std::function<void()>) override {}
  void set_power_source(bool) override {}
  bool write_string(const config::string_entry&, const std::string&) override { return true; }
  bool write_dword(const config::dword_entry&, const int32_t&) override { return true; }
  std::string read_string(const config::string_entry& e) override { return e.default_value; }
  int32_t read_dword(const config::dword_entry& e) override { return e.default_value; }
  std::map<std::string, std::string> read_map() override { return {}; }
};

class EngineRunnerTest : public ::testing::Test {
 protected:
  static void add_ostrel_sensor() {
    winsim::machine::sensor_description d;
    d.state = SENSOR_STATE_READY;
    d.data = custom_report(2, 4, true);
    d.report_interval_ms = 0;  // no report of its own may reach the recorded queue
    winsim::machine::add_sensor(d);
  }
  void TearDown() override {
    runner_.reset();
    // The runner's end unsubscribes, releases every Sensor API object and balances COM.
    EXPECT_FALSE(winsim::machine::sensor_count() > 0 && winsim::machine::sensor_has_event_sink(0));
    EXPECT_EQ(winsim::machine::sensor_api_object_count(), 0u);
    EXPECT_EQ(winsim::machine::com_initialization_count(), 0u);
    EXPECT_EQ(recorded_.queue.use_count(), 1);
    EXPECT_EQ(reader_.use_count(), 1);
  }
  size_t sink_calls() { return winsim::machine::sensor_api_call_count("ISensor::SetEventSink"); }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  recorded_queue recorded_;
  std::atomic<bool> stop_requested_{false};
  std::shared_ptr<config::reader> reader_ = std::make_shared<unused_reader>();
  std::unique_ptr<engine_runner> runner_ =
      std::make_unique<engine_runner>(reader_, recorded_.queue, &stop_requested_);
};

TEST_F(EngineRunnerTest, InitOpensTheSensorWithoutSubscribing) {
  add_ostrel_sensor();
  EXPECT_FALSE(runner_->initialised());
  EXPECT_EQ(winsim::machine::sensor_api_call_count("CoCreateInstance"), 0u);  // nothing opened at construction
  EXPECT_EQ(runner_->init(), 0);
  EXPECT_TRUE(runner_->initialised());
  EXPECT_FALSE(runner_->running());
  EXPECT_TRUE(trace_.contains("[runner] Got sensor state = 0"));
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));
}

TEST_F(EngineRunnerTest, InitFailuresReturnFour) {
  winsim::machine::sensor_description other;
  other.manufacturer = L"Contoso";
  winsim::machine::add_sensor(other);
  EXPECT_EQ(runner_->init(), 4);
  EXPECT_FALSE(runner_->initialised());
  EXPECT_TRUE(trace_.contains("[runner] Failed to find a Ostrel presence sensor"));
  EXPECT_TRUE(trace_.contains("[runner] Failed to openOstrelHidSensor"));
  EXPECT_TRUE(trace_.contains("[runner] failed to initialize hid engine"));

  trace_.clear();
  winsim::machine::add_sensor({});
  winsim::machine::fail_call("ISensor::GetState", static_cast<DWORD>(E_FAIL), 1);
  EXPECT_EQ(runner_->init(), 4);
  EXPECT_TRUE(trace_.contains("[runner] Failed to get sensor state"));
  EXPECT_TRUE(trace_.contains("[runner] failed to initialize hid engine"));

  // Resuming a runner whose init failed fails cleanly.
  winsim::machine::fail_call("CoCreateInstance", static_cast<DWORD>(REGDB_E_CLASSNOTREG), 1);
  EXPECT_EQ(runner_->init(), 4);
  EXPECT_EQ(runner_->set_engine_suspended(false), 4);
  EXPECT_TRUE(trace_.contains("[runner] start hid process failed"));
  EXPECT_FALSE(runner_->running());
}

TEST_F(EngineRunnerTest, ResumeAndSuspendSubscribeOnlyOnChange) {
  add_ostrel_sensor();
  ASSERT_EQ(runner_->init(), 0);
  EXPECT_EQ(runner_->set_engine_suspended(true), 0);  // never resumed: nothing to undo
  EXPECT_EQ(sink_calls(), 0u);

  EXPECT_EQ(runner_->set_engine_suspended(false), 0);
  EXPECT_EQ(runner_->set_engine_suspended(false), 0);
  EXPECT_EQ(sink_calls(), 1u);
  EXPECT_TRUE(runner_->running());
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));
  EXPECT_EQ(trace_.count_containing("[wse] [setSensorState] State manually updated to READY on timestamp "), 1u);

  EXPECT_EQ(runner_->set_engine_suspended(true), 0);
  EXPECT_EQ(runner_->set_engine_suspended(true), 0);
  EXPECT_EQ(sink_calls(), 2u);
  EXPECT_FALSE(runner_->running());
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));
  EXPECT_EQ(trace_.count_containing("State manually updated to NOT AVAILABLE"), 1u);
  // Neither direction pushes anything by itself.
  EXPECT_EQ(recorded_.take(), events{});

  EXPECT_TRUE(runner_->start());
  EXPECT_TRUE(runner_->running());
}

TEST_F(EngineRunnerTest, FailedSubscriptionChangesLeaveRunningAsItWas) {
  add_ostrel_sensor();
  ASSERT_EQ(runner_->init(), 0);
  winsim::machine::fail_call("ISensor::SetEventSink", static_cast<DWORD>(E_FAIL), 1);
  EXPECT_EQ(runner_->set_engine_suspended(false), 4);
  EXPECT_FALSE(runner_->running());
  EXPECT_TRUE(trace_.contains("[runner] setEventCallbacks() failed"));
  EXPECT_TRUE(trace_.contains("[runner] start hid process failed"));

  // Subscribed but the state unreadable: the subscription is undone, so no
  // events flow while the runner counts as suspended.
  winsim::machine::fail_call("ISensor::GetState", static_cast<DWORD>(E_FAIL), 1);
  EXPECT_FALSE(runner_->start());
  EXPECT_FALSE(runner_->running());
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));

  ASSERT_EQ(runner_->set_engine_suspended(false), 0);
  winsim::machine::fail_call("ISensor::SetEventSink", static_cast<DWORD>(E_FAIL), 1);
  EXPECT_EQ(runner_->set_engine_suspended(true), 4);
  EXPECT_TRUE(runner_->running());
  EXPECT_TRUE(trace_.contains("[runner] removeEventCallbacks() failed"));
  EXPECT_TRUE(trace_.contains("[runner] stop hid process failed"));
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));
}

TEST_F(EngineRunnerTest, ParametersAreKeptByIdAndType) {
  std::any opmode = uint64_t{1020};
  EXPECT_TRUE(runner_->set_parameter(1, std::move(opmode)));
  EXPECT_FALSE(opmode.has_value());  // NOLINT(bugprone-use-after-move): the holder is emptied
  EXPECT_TRUE(runner_->set_parameter(2, true));
  EXPECT_TRUE(runner_->set_parameter(3, true));
  EXPECT_TRUE(runner_->set_parameter(4, uint64_t{4}));
  EXPECT_TRUE(runner_->set_parameter(5, uint64_t{5}));
  EXPECT_TRUE(runner_->set_parameter(6, true));
  EXPECT_TRUE(runner_->set_parameter(7, 45.0f));
  EXPECT_TRUE(runner_->set_parameter(8, true));
  EXPECT_TRUE(runner_->set_parameter(9, std::string("skelder")));
  auto p = runner_->parameters();
  EXPECT_EQ(p.opmode, 1020u);
  EXPECT_TRUE(p.debug_mode && p.parameter_3 && p.parameter_6 && p.use_skelder);
  EXPECT_EQ(p.parameter_4, 4u);
  EXPECT_EQ(p.parameter_5, 5u);
  EXPECT_EQ(p.parameter_7, 45.0f);
  EXPECT_EQ(p.parameter_9, "skelder");

  std::any wrong = uint64_t{45};
  EXPECT_FALSE(runner_->set_parameter(7, std::move(wrong)));
  EXPECT_FALSE(wrong.has_value());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(trace_.contains("[runner] bad any_cast"));
  EXPECT_FALSE(runner_->set_parameter(9, "a C string is not a string"));
  EXPECT_FALSE(runner_->set_parameter(0, uint64_t{1}));
  EXPECT_TRUE(trace_.contains("[runner] parameter 0 not set"));
  EXPECT_TRUE(runner_->set_parameter(12, uint64_t{99}));
  p = runner_->parameters();
  EXPECT_EQ(p.parameter_7, 45.0f);
  EXPECT_EQ(p.parameter_9, "skelder");

  engine_parameters fresh;
  EXPECT_EQ(fresh.parameter_9, "none");
  EXPECT_EQ(fresh.opmode, 0u);
}

TEST_F(EngineRunnerTest, RemainingOperations) {
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(runner_->send_to_engine(1407, bytes, sizeof(bytes)), 0);
  EXPECT_EQ(runner_->send_to_engine(0, nullptr, 0), 0);
  EXPECT_TRUE(runner_->get_operation_modes().empty());
  EXPECT_TRUE(trace_.contains("[runner] Warning: get_operation_modes not implemented"));
  runner_->cache_opmode_list();
  EXPECT_TRUE(trace_.contains("[runner] Warning: cache_opmode_list not implemented"));
  EXPECT_FALSE(runner_->set_calibration_state(1));
  EXPECT_EQ(trace_.count_containing("[runner] [engine_runner.cpp:"), 1u);
  EXPECT_EQ(trace_.count_containing(
                "] [set_calibration_state] Warning 'set_calibration_state' not supported for HID runner\n"),
            1u);
  runner_->restart_audio();
  EXPECT_TRUE(trace_.contains("[runner] In restart audio"));

  EXPECT_FALSE(stop_requested_);
  runner_->stop();
  EXPECT_TRUE(stop_requested_);
}

TEST_F(EngineRunnerTest, DestroyingARunningRunnerUnsubscribes) {
  add_ostrel_sensor();
  ASSERT_EQ(runner_->init(), 0);
  ASSERT_EQ(runner_->set_engine_suspended(false), 0);
  EXPECT_TRUE(winsim::machine::sensor_has_event_sink(0));
  // TearDown destroys it and checks that nothing is left behind.
}

}  // namespace
}  // namespace ostrel
