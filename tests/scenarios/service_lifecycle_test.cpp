// The service's life under the SCM: start, reloads, the ways it stops.
#include "service_fixture.h"

#include <algorithm>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

class ServiceLifecycleTest : public ServiceFixture {};

TEST_F(ServiceLifecycleTest, StartsPendingThenRunningAndStopsWithExitCodeZero) {
  add_presence_sensor();
  const size_t handles_before = winsim::machine::open_handle_count();
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(wait_for_trace("[runner] Start process events: "));
  ASSERT_TRUE(stop_service()) << trace_.dump();

  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  expect_status(s[0], SERVICE_START_PENDING, 0, 0, 2);
  expect_status(s[1], SERVICE_RUNNING, 0xE7, 0, 0);
  expect_status(s[2], SERVICE_STOPPED, 0xE7, 0, 0);
  EXPECT_EQ(winsim::machine::registered_handler_name(), "");  // the dispatcher has left

  for (const char* line : {"[runner] Service starting", "[runner] Reported starting",
                           "[runner] Nolvane version 1000.124.444.10302", "[runner] ACDC: PluggedIn",
                           "[runner] SUCCESS: Runner initialize success ",
                           "[runner] service_control_handler: SERVICE_CONTROL_STOP ",
                           "[sm] state_machine::~state_machine"}) {
    EXPECT_TRUE(trace_.contains(line)) << line << "\n" << trace_.dump();
  }
  EXPECT_EQ(trace_.count_containing("Delaying service start"), 0u);
  EXPECT_EQ(winsim::machine::registry_string(service_status_key, "Version"), "1000.124.444.10302");
  EXPECT_EQ(winsim::machine::registry_dword(service_status_key, "EnabledInBios"), 1u);
  EXPECT_TRUE(event_log_texts().empty());

  // Everything the service opened went with it: daemon runs, handles, the
  // sensor subscription, the registry change notifications.
  EXPECT_EQ(winsim::machine::running_process_count(), 0u);
  EXPECT_FALSE(winsim::machine::sensor_has_event_sink(0));
  EXPECT_EQ(winsim::machine::registry_armed_notification_count(), 0u);
  EXPECT_EQ(winsim::machine::open_handle_count(), handles_before);
}

// A STOP must end the service within a second whenever it comes. The
// deadline below is wider only for a loaded machine: a STOP that is lost
// never ends it.
constexpr auto stop_deadline = 5s;

TEST_F(ServiceLifecycleTest, AStopRightAfterRunningIsReportedIsNotLost) {
  // The STOP lands after the engine started and the state machine queried
  // the session, just before the event loop runs; the loop must still see it.
  add_presence_sensor();
  send_control_at(pass_point::event_loop_start, 1, SERVICE_CONTROL_STOP);
  start_service();
  ASSERT_TRUE(wait_for([&] { return control_sent_at_point(); }, 15s)) << trace_.dump();
  EXPECT_TRUE(control_delivered_at_point());
  ASSERT_TRUE(service_ended(stop_deadline)) << trace_.dump();
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(statuses().back().dwWin32ExitCode, 0u);
}

TEST_F(ServiceLifecycleTest, AStopBetweenTwoLoadPassesEndsTheService) {
  // Disabled in the settings: each pass waits in its event loop.
  add_presence_sensor();
  winsim::machine::set_registry_dword(user_settings_ac, "Enable", 0);
  // The STOP reaches the first pass's callback after the second pass began.
  send_control_at(pass_point::control_callback_swap, 2, SERVICE_CONTROL_STOP);
  start_service();
  ASSERT_TRUE(wait_for_trace("substate:MISCONFIGURED")) << trace_.dump();
  change_setting(user_settings_ac, "LockScreenTimeout", 30);  // a reload
  ASSERT_TRUE(wait_for([&] { return control_sent_at_point(); }, 15s)) << trace_.dump();
  EXPECT_TRUE(control_delivered_at_point());
  ASSERT_TRUE(service_ended(stop_deadline)) << trace_.dump();
  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  expect_status(s[2], SERVICE_STOPPED, 0xE7, 0, 0);
  // The second pass went no further than its callback.
  EXPECT_EQ(trace_.count("[runner] Reported starting"), 1u);
}

TEST_F(ServiceLifecycleTest, APowerSourceChangeBetweenTwoLoadPassesIsNotLost) {
  // On battery the feature is off, so the pass shows which settings it runs with.
  add_presence_sensor();
  winsim::machine::set_registry_dword(user_settings_dc, "Enable", 0);
  // The charger is out; the notification comes after the second pass gave
  // the reader its power source, and reaches the first pass's callback.
  send_control_at(pass_point::control_callback_swap, 2, SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE);
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);
  change_setting(user_settings_ac, "LockScreenTimeout", 30);  // a reload
  ASSERT_TRUE(wait_for([&] { return control_sent_at_point(); }, 15s)) << trace_.dump();
  EXPECT_TRUE(control_delivered_at_point());
  EXPECT_TRUE(trace_.contains("[runner] Power status: Switching to DC"));
  // Either a pass runs with the battery's settings, or one starts leave
  // detection with the mains' ones.
  ASSERT_TRUE(wait_for(
      [&] {
        return trace_.contains("[runner] WARNING: Nolvane is disabled due to: DISABLED_IN_CONFIG") ||
               trace_.count("[sm] Leave detection state machine has started") >= 2;
      },
      15s))
      << trace_.dump();
  EXPECT_TRUE(trace_.contains("[runner] WARNING: Nolvane is disabled due to: DISABLED_IN_CONFIG")) << trace_.dump();
  EXPECT_EQ(trace_.count("[sm] Leave detection state machine has started"), 1u);
  EXPECT_TRUE(trace_.contains("[runner] ACDC: OnBattery"));
}

TEST_F(ServiceLifecycleTest, DisabledInTheFirmwareReportsRunningThenStopsWithExitCodeZero) {
  add_presence_sensor();
  winsim::machine::set_firmware_driver_answer(0x0);
  start_service();
  ASSERT_TRUE(service_ended()) << trace_.dump();

  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  expect_status(s[0], SERVICE_START_PENDING, 0, 0, 2);
  expect_status(s[1], SERVICE_RUNNING, 0xE7, 0, 0);
  expect_status(s[2], SERVICE_STOPPED, 0xE7, 0, 0);
  EXPECT_TRUE(trace_.contains("[runner] WARNING: Disabled in bios. Stopping Nolvane"));
  EXPECT_EQ(winsim::machine::registry_dword(service_status_key, "EnabledInBios"), 0u);
  // The engine was never started.
  EXPECT_EQ(trace_.count_containing("Runner initialize"), 0u);
  EXPECT_EQ(winsim::machine::sensor_api_call_count("CoCreateInstance"), 0u);
}

TEST_F(ServiceLifecycleTest, AConfigChangeAfterRunningReloadsAndKeepsTheStateMachine) {
  add_presence_sensor();
  start_service();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();

  change_setting(user_settings_ac, "LockScreenTimeout", 30);
  ASSERT_TRUE(wait_for_trace("[runner] Reloading due to config change")) << trace_.dump();
  ASSERT_TRUE(wait_until_running(2)) << trace_.dump();
  EXPECT_GE(trace_.count("[runner] SUCCESS: Runner initialize success "), 2u);
  EXPECT_GE(trace_.count("[runner] Reported starting"), 2u);
  // One state machine for the life of the service; its settings were read again.
  EXPECT_EQ(trace_.count("[sm] state_machine::state_machine()"), 1u);

  ASSERT_TRUE(stop_service());
  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(s[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(s[2].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceLifecycleTest, DisabledInTheSettingsStaysIdleUntilTheSettingChanges) {
  add_presence_sensor();
  winsim::machine::set_registry_dword(user_settings_ac, "Enable", 0);
  start_service();
  ASSERT_TRUE(wait_for_trace("[runner] WARNING: Nolvane is disabled due to: DISABLED_IN_CONFIG")) << trace_.dump();
  ASSERT_TRUE(wait_for_trace("substate:MISCONFIGURED")) << trace_.dump();
  EXPECT_TRUE(reported(SERVICE_RUNNING));
  EXPECT_FALSE(service_ended(200ms));

  change_setting(user_settings_ac, "Enable", 1);
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  ASSERT_TRUE(stop_service());
  EXPECT_EQ(statuses().back().dwWin32ExitCode, 0u);
}

TEST_F(ServiceLifecycleTest, AFailingEngineIsRetriedAfterASecond) {
  // No presence sensor yet: the engine cannot open it.
  start_service();
  ASSERT_TRUE(wait_for_trace("[runner] WARNING: Runner failed to initialize with error code: 4. Reload number: 1"))
      << trace_.dump();
  EXPECT_TRUE(reported(SERVICE_RUNNING));
  ASSERT_TRUE(wait_for_trace("Reload number: 2")) << trace_.dump();
  add_presence_sensor();
  ASSERT_TRUE(wait_until_running()) << trace_.dump();
  EXPECT_EQ(trace_.count_containing("[runner] failed to initialize hid engine"),
            trace_.count_containing("[runner] WARNING: Runner failed to initialize"));

  ASSERT_TRUE(stop_service());
  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2].dwWin32ExitCode, 0u);
}

TEST_F(ServiceLifecycleTest, EleventhEngineFailureGivesUpAndMarksTheDeviceIncompatible) {
  winsim::machine::set_registry_dword(service_status_key, "DeviceCompatibility", 1);
  start_service();
  ASSERT_TRUE(service_ended(60s)) << trace_.dump();

  for (int n = 1; n <= 10; ++n) {
    EXPECT_EQ(trace_.count("[runner] WARNING: Runner failed to initialize with error code: 4. Reload number: " +
                           std::to_string(n)),
              1u)
        << n;
  }
  EXPECT_EQ(trace_.count_containing("Reload number: 11"), 0u);
  EXPECT_TRUE(trace_.contains("[runner] Stopping the service"));
  EXPECT_EQ(event_log_texts(), std::vector<std::string>{"ERROR: Failed to initialize Nolvane. Runner error: 4\n"});
  EXPECT_EQ(winsim::machine::registry_dword(service_status_key, "DeviceCompatibility"), 0u);
  const auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  expect_status(s[2], SERVICE_STOPPED, 0xE7, 0, 0);
}

TEST_F(ServiceLifecycleTest, AnOutputDirectoryThatIsNotThereStopsTheService) {
  add_presence_sensor();
  winsim::machine::set_registry_string(system_settings, "OutputDirectory", "%SystemDrive%\\missing\\");
  start_service();
  ASSERT_TRUE(service_ended()) << trace_.dump();

  EXPECT_TRUE(trace_.contains("[runner] Error: is_directory failed - 'C:\\missing\\' does not exist"));
  EXPECT_TRUE(trace_.contains("[runner] Output directory is not a directory: C:\\missing\\"));
  EXPECT_TRUE(event_log_texts().empty());
  const auto s = statuses();
  ASSERT_EQ(s.size(), 2u);
  expect_status(s[0], SERVICE_START_PENDING, 0, 0, 2);
  expect_status(s[1], SERVICE_STOPPED, 0xE7, 0, 0);
  EXPECT_EQ(trace_.count_containing("Runner initialize"), 0u);
}

TEST_F(ServiceLifecycleTest, AReaderThatCannotBeCreatedEndsStartUpInOrder) {
  // The reader's change subscription cannot get its event.
  winsim::machine::fail_call("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1);
  start_service();
  ASSERT_TRUE(service_ended()) << trace_.dump();

  EXPECT_EQ(event_log_texts(),
            (std::vector<std::string>{"Failed to create config\n", "config error: Failed to create event\n"}));
  // The SCM learns that the service stopped, with the configuration error
  // code, although no pass had registered the handler yet.
  const auto s = statuses();
  ASSERT_EQ(s.size(), 1u);
  expect_status(s[0], SERVICE_STOPPED, 0xE7, 1610, 0);
  EXPECT_EQ(trace_.count_containing("Service starting"), 0u);
}

TEST_F(ServiceLifecycleTest, AReaderThatCannotReachTheRegistryEndsStartUpInOrder) {
  winsim::machine::fail_call("RegCreateKeyExA", ERROR_ACCESS_DENIED);
  start_service();
  ASSERT_TRUE(service_ended()) << trace_.dump();

  // The reader exists but cannot read DebugMode; start-up goes on until the
  // next read fails the same way.
  EXPECT_EQ(event_log_texts(), (std::vector<std::string>{"Failed to create config\n",
                                                         "runtime error: Failed to create registry key\n"}));
  const auto s = statuses();
  ASSERT_EQ(s.size(), 1u);
  expect_status(s[0], SERVICE_STOPPED, 0xE7, 1610, 0);
}

TEST_F(ServiceLifecycleTest, TheDelayedStartEndsEarlyWhenAStopIsRequested) {
  winsim::machine::set_registry_dword(user_settings_ac, "DelayedStartTime", 3600);
  start_service();
  ASSERT_TRUE(wait_for_trace("[runner] Delaying service start")) << trace_.dump();
  // No handler is registered during the delay, so no STOP reaches it.
  EXPECT_EQ(winsim::machine::send_control(SERVICE_CONTROL_STOP).error,
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_FALSE(service_ended(100ms));

  // What the control handler and the give-up do: set the flag, wake the wait.
  stop_requested = true;
  ASSERT_TRUE(wait_for(
      [this] {
        start_delay_wait.notify_all();
        return service_ended(10ms);
      },
      5s))
      << trace_.dump();
  EXPECT_TRUE(trace_.contains("[runner] Service starting"));
  const auto s = statuses();
  ASSERT_EQ(s.size(), 1u);
  expect_status(s[0], SERVICE_STOPPED, 0xE7, 0, 0);
}

TEST_F(ServiceLifecycleTest, APostureChangeWhileTheServiceStartsLeavesLaterChangesSeen) {
  // The maker's service sets the posture at boot, while this service still
  // waits out its delayed start; the change itself is ignored, but the
  // convertible folded into a tablet later must still reload the service.
  constexpr const char* posture_key = "SYSTEM\\CurrentControlSet\\Services\\KELTPMSVC\\Transform\\CurrentStatus";
  add_presence_sensor();
  // Two seconds leave a loaded machine ample time to make the first change
  // inside the delay.
  winsim::machine::set_registry_dword(user_settings_ac, "DelayedStartTime", 2);
  start_service();
  ASSERT_TRUE(wait_for_trace("[runner] Delaying service start")) << trace_.dump();
  change_setting(posture_key, "MM", 1);
  ASSERT_TRUE(wait_until_running()) << trace_.dump();

  change_setting(posture_key, "MM", 2);
  EXPECT_TRUE(wait_for_trace("[runner] WARNING: Nolvane is disabled due to: DISABLED_IN_TABLET_MODE"))
      << trace_.dump();
}

}  // namespace
}  // namespace ostrel::test
