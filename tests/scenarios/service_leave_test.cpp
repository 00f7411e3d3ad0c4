// The road of one leave through the whole service: the sensor reports that
// nobody is there, the screen dims, the display goes off; input brings the
// user back.
#include "service_fixture.h"

#include <algorithm>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

class ServiceLeaveTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    // A short leave: dim 5 s after the user left, display off 4 s later. The
    // display-off time counts from the start of the dimming, before the
    // overlay's daemon runs, which can take over a second each on a loaded
    // machine: 1 s let the display go off before the overlay came up.
    winsim::machine::set_registry_dword(user_settings_ac, "LockScreenTimeout", 0);
    winsim::machine::set_registry_dword(system_settings_ac, "DimDuration", 4);
    add_presence_sensor();
    winsim::machine::start_display_physics();
  }

  static bool journal_contains(const std::string& part) {
    const auto texts = winsim::machine::desktop_journal_texts();
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& text) { return text.find(part) != std::string::npos; });
  }

  // The running machine has resumed the engine: the sensor's reports reach the service.
  bool wait_until_user_present(size_t times = 1) {
    return wait_for_trace("substate:USER_PRESENT", 15s, times) &&
           wait_for([] { return winsim::machine::sensor_has_event_sink(0); }, 5s);
  }
};

TEST_F(ServiceLeaveTest, TheUserLeavesTheScreenDimsTheDisplayGoesOffAndInputBringsItBack) {
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(wait_until_user_present()) << trace_.dump();

  ASSERT_TRUE(winsim::machine::set_sensor_presence(0, false).has_value());
  ASSERT_TRUE(wait_for_trace("event:PROXIMITY_FAR state:RUNNING substate:USER_ABSENT")) << trace_.dump();

  // After the 5 s wait the overlay comes up, then the display goes off.
  ASSERT_TRUE(wait_for([] { return journal_contains("window_shown class=KeltDimOverlayWindow"); }, 15s))
      << trace_.dump();
  ASSERT_TRUE(wait_for_trace("substate:DIMMING"));
  ASSERT_TRUE(wait_for([] { return !winsim::machine::display_on(); }, 10s)) << trace_.dump();
  ASSERT_TRUE(wait_for_trace("event:DISPLAY_OFF state:STOPPED substate:ABSENT")) << trace_.dump();
  // The video time-out was lowered to turn the display off, and is back now.
  ASSERT_TRUE(wait_for([] { return winsim::machine::video_timeout(SystemPowerPolicyAc) == 600; }, 5s));
  ASSERT_TRUE(wait_for([] { return winsim::machine::open_window_count() == 0; }, 10s));

  // The user is back and touches the keyboard: display on, leave detection
  // runs again, and the sensor's next reports keep the user present.
  EXPECT_EQ(winsim::machine::set_sensor_presence(0, true), std::nullopt);  // suspended: nobody listens
  winsim::machine::simulate_input();
  ASSERT_TRUE(wait_for_trace("event:START_MACHINE state:RUNNING")) << trace_.dump();
  ASSERT_TRUE(wait_until_user_present(2)) << trace_.dump();
  EXPECT_TRUE(winsim::machine::display_on());
  const size_t reports = winsim::machine::sensor_report_count(0);
  ASSERT_TRUE(wait_for([&] { return winsim::machine::sensor_report_count(0) >= reports + 2; }));
  ASSERT_TRUE(wait_for_trace("event:PROXIMITY_NEAR state:RUNNING substate:USER_PRESENT")) << trace_.dump();
  EXPECT_EQ(trace_.count_containing(" state:RUNNING substate:USER_ABSENT"), 1u) << trace_.dump();
  // Every report carried its custom values: the legacy path was never taken,
  // and each resume read the sensor's state from the last report.
  EXPECT_EQ(trace_.count_containing("Custom values not available"), 0u);
  EXPECT_EQ(trace_.count_containing("Failed to get sensor value SENSOR_DATA_TYPE_CUSTOM_VALUE1"), 0u);

  ASSERT_TRUE(stop_service()) << trace_.dump();
  EXPECT_EQ(statuses().back().dwWin32ExitCode, 0u);
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_EQ(winsim::machine::open_window_count(), 0u);
}

TEST_F(ServiceLeaveTest, TheUserComingBackWhileTheScreenDimsUndoesTheDimming) {
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(wait_until_user_present()) << trace_.dump();

  ASSERT_TRUE(winsim::machine::set_sensor_presence(0, false).has_value());
  ASSERT_TRUE(wait_for([] { return journal_contains("window_shown class=KeltDimOverlayWindow"); }, 15s))
      << trace_.dump();
  ASSERT_TRUE(winsim::machine::set_sensor_presence(0, true).has_value());
  ASSERT_TRUE(wait_for_trace("event:PROXIMITY_NEAR state:RUNNING substate:USER_PRESENT")) << trace_.dump();
  // The overlay's daemon run has ended: no window is left on the desktop.
  ASSERT_TRUE(wait_for([] { return winsim::machine::open_window_count() == 0; }, 10s));
  EXPECT_TRUE(winsim::machine::display_on());

  ASSERT_TRUE(stop_service()) << trace_.dump();
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 600u);
}

TEST_F(ServiceLeaveTest, OnADeviceThatStartedIncompatibleOnlyTheFirstChangeAfterAPresenceReportIsSwallowed) {
  // DeviceCompatibility is 0 (missing) at start. A long wait keeps the
  // screen from dimming meanwhile.
  winsim::machine::set_registry_dword(user_settings_ac, "LockScreenTimeout", 120);
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(wait_until_user_present()) << trace_.dump();

  ASSERT_TRUE(winsim::machine::set_sensor_presence(0, false).has_value());
  ASSERT_TRUE(wait_for_trace("substate:USER_ABSENT")) << trace_.dump();
  winsim::machine::set_registry_dword(user_settings_ac, "EnableWithExternalMonitor", 1);
  EXPECT_FALSE(wait_for_trace("[runner] Reloading due to config change", 500ms));

  // The sensor keeps reporting; the user's next change still takes effect.
  const size_t handled = trace_.count("[sm] state_machine::handle_incoming_event: PROXIMITY_FAR");
  ASSERT_TRUE(winsim::machine::set_sensor_presence(0, false).has_value());
  ASSERT_TRUE(wait_for([&] {
    return trace_.count("[sm] state_machine::handle_incoming_event: PROXIMITY_FAR") > handled;
  })) << trace_.dump();
  winsim::machine::set_registry_dword(user_settings_ac, "EnableWithExternalMonitor", 0);
  ASSERT_TRUE(wait_for_trace("[runner] Reloading due to config change")) << trace_.dump();
  ASSERT_TRUE(wait_until_running(2)) << trace_.dump();
  EXPECT_EQ(trace_.count("[runner] Reloading due to config change"), 1u);
}

TEST_F(ServiceLeaveTest, AReportOnItsWayWhenTheSessionLocksDoesNotReachTheStateMachines) {
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(wait_until_user_present()) << trace_.dump();

  // The Sensor API has a report of the READY sensor in hand and is about to
  // call the sink when the session locks.
  winsim::machine::hold_sensor_deliveries(true);
  winsim::machine::post_data_updated(0, winsim::machine::custom_report(2, 4, false));
  ASSERT_TRUE(wait_for([] { return winsim::machine::held_sensor_deliveries() >= 1; }));
  ASSERT_TRUE(winsim::machine::send_session_change(WTS_SESSION_LOCK).delivered);
  ASSERT_TRUE(wait_for_trace("event:SESSION_LOCK state:STOPPED substate:LOCKED")) << trace_.dump();
  ASSERT_FALSE(winsim::machine::sensor_has_event_sink(0));
  const size_t locked_at = trace_.messages().size();
  winsim::machine::hold_sensor_deliveries(false);
  winsim::machine::wait_for_sensor_deliveries();

  // Whatever the report pushed is queued before this.
  ASSERT_TRUE(winsim::machine::send_session_change(WTS_REMOTE_DISCONNECT).delivered);
  ASSERT_TRUE(wait_for_trace("[sm] state_machine::handle_incoming_event: NOT_REMOTE_DESKTOP")) << trace_.dump();
  const auto lines = trace_.messages();
  for (size_t i = locked_at; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("[sm] state_machine::handle_incoming_event: HPD_SENSOR"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("[sm] state_machine::handle_incoming_event: PROXIMITY"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("state:RUNNING"), std::string::npos) << lines[i];
  }
  EXPECT_TRUE(trace_.contains("[wse] [update_sensor_state] Ignoring report: not subscribed")) << trace_.dump();
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));
}

}  // namespace
}  // namespace ostrel::test
