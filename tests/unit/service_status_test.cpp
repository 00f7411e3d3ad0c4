#include "common/process_flags.h"
#include "host/service_status.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <future>
#include <optional>
#include <thread>

namespace ostrel {
namespace {

using test::trace_capture;
using test::wait_for;

VOID WINAPI returning_service_main(DWORD, LPSTR*) {}

// The service's process as the SCM starts it: a connected dispatcher (whose
// ServiceMain returns at once), so that the test thread can register the
// handler and report statuses; controls reach HandlerEx on the dispatcher's thread.
class ServiceStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    status_checkpoint = 1;
    status_reported = false;
    debug_mode = false;
    winsim::machine::start_scm("NolvaneSvc");
    dispatcher_ = std::async(std::launch::async, [] {
      char name[] = "";
      SERVICE_TABLE_ENTRYA table[] = {{name, &returning_service_main}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherA(table);
    });
    ASSERT_TRUE(wait_for([] { return winsim::machine::dispatcher_connected(); }));
  }

  void TearDown() override {
    winsim::machine::stop_scm();
    EXPECT_TRUE(dispatcher_.get());
  }

  static std::vector<std::string> event_log_texts() {
    std::vector<std::string> texts;
    for (const auto& entry : winsim::machine::event_log()) {
      EXPECT_EQ(entry.event_id, 0x40020002u);
      EXPECT_EQ(entry.type, EVENTLOG_INFORMATION_TYPE);
      texts.push_back(entry.strings.at(1));
    }
    return texts;
  }

  static void expect_status(const SERVICE_STATUS& s, DWORD state, DWORD accepted, DWORD exit_code, DWORD checkpoint,
                            DWORD wait_hint = 0) {
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwCurrentState, state);
    EXPECT_EQ(s.dwControlsAccepted, accepted);
    EXPECT_EQ(s.dwWin32ExitCode, exit_code);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, checkpoint);
    EXPECT_EQ(s.dwWaitHint, wait_hint);
  }

  winsim::machine::scoped_machine machine_;
  std::future<BOOL> dispatcher_;
};

void ignore_control(DWORD, DWORD, void*) {}

TEST_F(ServiceStatusTest, ReportsCarryCheckpointsAndAcceptedControlsAndASecondStopIsRefused) {
  {
    service_status status("Nolvane");
    status.register_handler(&ignore_control);
    EXPECT_EQ(winsim::machine::registered_handler_name(), "Nolvane");

    EXPECT_TRUE(status.report_start_pending());
    EXPECT_TRUE(status.report_status(SERVICE_START_PENDING, 0, 3000));
    EXPECT_TRUE(status.report_status(SERVICE_STOP_PENDING, 0, 0));
    EXPECT_TRUE(status.report_running());
    EXPECT_TRUE(status.report_stopped(1610));
    EXPECT_FALSE(status.report_stopped());
    EXPECT_FALSE(status.report_running());
  }  // the last state accepted was SERVICE_STOPPED: nothing more is reported

  const auto statuses = winsim::machine::service_statuses();
  ASSERT_EQ(statuses.size(), 5u);
  expect_status(statuses[0], SERVICE_START_PENDING, 0, 0, 2);
  expect_status(statuses[1], SERVICE_START_PENDING, 0, 0, 3, 3000);
  expect_status(statuses[2], SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 4);
  expect_status(statuses[3], SERVICE_RUNNING, 0xE7, 0, 0);
  expect_status(statuses[4], SERVICE_STOPPED, 0xE7, 1610, 0);
  EXPECT_EQ(event_log_texts(), (std::vector<std::string>{"Service already stopped, ignoring call: 1, 0, 0\n",
                                                         "Service already stopped, ignoring call: 4, 0, 0\n"}));
}

TEST_F(ServiceStatusTest, FailedReportsAreLoggedWithTheSystemText) {
  std::optional<service_status> status;
  status.emplace("Nolvane");
  // Before the handler is registered there is no status handle.
  EXPECT_FALSE(status->report_start_pending());
  status->register_handler(&ignore_control);
  winsim::machine::fail_call("SetServiceStatus", ERROR_INVALID_DATA, 1);
  EXPECT_FALSE(status->report_start_pending());
  winsim::machine::fail_call("SetServiceStatus", 0, 1);
  EXPECT_FALSE(status->report_start_pending());
  winsim::machine::fail_call("SetServiceStatus", 0x2468ACE, 1);
  EXPECT_FALSE(status->report_start_pending());
  // A lost SERVICE_RUNNING is sent once more: without it the SCM delivers no STOP.
  winsim::machine::fail_call("SetServiceStatus", ERROR_INVALID_DATA, 1);
  EXPECT_TRUE(status->report_running());
  // Every start-pending attempt took a checkpoint.
  EXPECT_EQ(status_checkpoint.load(), 5u);

  // The destructor's SERVICE_STOPPED fails too.
  winsim::machine::fail_call("SetServiceStatus", ERROR_INVALID_HANDLE);
  status.reset();
  winsim::machine::clear_failures();

  EXPECT_EQ(event_log_texts(), (std::vector<std::string>{
                                   "Unable to Update Service Status: The handle is invalid.\r\n\n",
                                   "Unable to Update Service Status: The data is invalid.\r\n\n",
                                   "Unable to Update Service Status: \n",
                                   "Unable to Update Service Status: \n",
                                   "Unable to Update Service Status: The data is invalid.\r\n\n",
                                   "Unable to Update Service Status: The handle is invalid.\r\n\n",
                                   "Failed to report service stopped\n",
                               }));
  const auto statuses = winsim::machine::service_statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceStatusTest, DestructionReportsStoppedAfterRunningEvenWhenTheFirstAttemptFails) {
  {
    service_status status("Nolvane");
    status.register_handler(&ignore_control);
    ASSERT_TRUE(status.report_running());
    // Without SERVICE_STOPPED the SCM would keep the service for good.
    winsim::machine::fail_call("SetServiceStatus", ERROR_INVALID_DATA, 1);
  }
  const auto statuses = winsim::machine::service_statuses();
  ASSERT_EQ(statuses.size(), 2u);
  expect_status(statuses[1], SERVICE_STOPPED, 0xE7, 0, 0);
  EXPECT_EQ(event_log_texts(), std::vector<std::string>{"Unable to Update Service Status: The data is invalid.\r\n\n"});
}

TEST_F(ServiceStatusTest, TheFirstRegistrationAsksForDisplayAndLidNotifications) {
  trace_capture capture(0);
  {
    service_status status("Nolvane");
    status.register_handler(&ignore_control);
    status.register_handler(&ignore_control);  // replaces the callback only
    const auto registrations = winsim::machine::power_setting_registrations();
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(registrations[0].setting, GUID_CONSOLE_DISPLAY_STATE));
    EXPECT_TRUE(IsEqualGUID(registrations[1].setting, GUID_LIDSWITCH_STATE_CHANGE));
    for (const auto& r : registrations) {
      EXPECT_EQ(r.flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
      EXPECT_NE(r.recipient, nullptr);
      EXPECT_EQ(r.recipient, registrations[0].recipient);
      EXPECT_TRUE(r.active);
    }
  }
  for (const auto& r : winsim::machine::power_setting_registrations()) EXPECT_FALSE(r.active);
  EXPECT_TRUE(capture.messages().empty());

  // Failed registrations only warn.
  winsim::machine::fail_call("RegisterPowerSettingNotification", ERROR_INVALID_PARAMETER, 1);
  {
    service_status status("Nolvane");
    EXPECT_NO_THROW(status.register_handler(&ignore_control));
  }
  EXPECT_EQ(capture.messages(),
            std::vector<std::string>{"[runner] WARNING: Unable to Register for MONITOR_POWER_ON notification\n"});
  capture.clear();
  winsim::machine::fail_call("RegisterPowerSettingNotification", ERROR_INVALID_PARAMETER);
  {
    service_status status("Nolvane");
    EXPECT_NO_THROW(status.register_handler(&ignore_control));
  }
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"[runner] WARNING: Unable to Register for MONITOR_POWER_ON notification\n",
                                      "[runner] WARNING: Unable to Register for _GUID_LIDSWITCH_STATE_CHANGE notification\n"}));
  for (const auto& event : capture.events()) EXPECT_EQ(event.level, 4);

  winsim::machine::fail_call("RegisterServiceCtrlHandlerExA", ERROR_SERVICE_NOT_IN_EXE, 1);
  service_status status("Nolvane");
  try {
    status.register_handler(&ignore_control);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to register service control handler");
  }
}

TEST_F(ServiceStatusTest, HandlerExRunsTheCallbackOnTheScmThreadOrAnswers1070) {
  service_status status("Nolvane");
  status.register_handler(control_callback{});
  ASSERT_TRUE(status.report_running());
  auto result = winsim::machine::send_control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_TRUE(result.delivered);
  EXPECT_EQ(result.result, 1070u);
  EXPECT_EQ(event_log_texts(), std::vector<std::string>{"Service event callback is not set\n"});

  std::mutex mutex;
  std::vector<std::tuple<DWORD, DWORD, DWORD>> received;
  std::thread::id thread;
  status.register_handler([&](DWORD control, DWORD event_type, void* data) {
    std::lock_guard<std::mutex> lock(mutex);
    thread = std::this_thread::get_id();
    received.emplace_back(control, event_type, static_cast<WTSSESSION_NOTIFICATION*>(data)->dwSessionId);
  });
  result = winsim::machine::send_session_change(WTS_SESSION_LOCK, 7);
  EXPECT_TRUE(result.delivered);
  EXPECT_EQ(result.result, 0u);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(received, (std::vector<std::tuple<DWORD, DWORD, DWORD>>{{SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, 7}}));
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(ServiceStatusTest, AReplacementCanWaitUntilTheCallbackItReplacedHasReturned) {
  service_status status("Nolvane");
  status.wait_for_replaced_callbacks();  // nothing running: at once
  std::promise<void> entered;
  std::promise<void> release;
  auto released = release.get_future().share();
  status.register_handler([&entered, released](DWORD, DWORD, void*) {
    entered.set_value();
    released.wait();
  });
  ASSERT_TRUE(status.report_running());
  auto stop = std::async(std::launch::async, [] { return winsim::machine::send_control(SERVICE_CONTROL_STOP); });
  EXPECT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  // A pass installs its callback while the old one still handles a STOP:
  // what the STOP does is done only when the wait returns.
  status.register_handler(&ignore_control);
  auto settled = std::async(std::launch::async, [&] { status.wait_for_replaced_callbacks(); });
  EXPECT_EQ(settled.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(settled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(stop.get().delivered);
}

// The service ends while the SCM thread still runs a handler (a STOP that
// made service_main return): the object goes only after the handler has
// left it.
TEST_F(ServiceStatusTest, DestructionWaitsUntilARunningHandlerHasLeftTheObject) {
  auto status = std::make_unique<service_status>("Nolvane");
  std::promise<void> entered;
  std::promise<void> release;
  auto released = release.get_future().share();
  status->register_handler([&entered, released](DWORD, DWORD, void*) {
    entered.set_value();
    released.wait();
  });
  ASSERT_TRUE(status->report_running());
  auto stop = std::async(std::launch::async, [] { return winsim::machine::send_control(SERVICE_CONTROL_STOP); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  auto destroyed = std::async(std::launch::async, [&status] { status.reset(); });
  // A destructor that does not wait returns within microseconds; 200 ms
  // shows it even on a loaded machine (a slow one only passes late).
  EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(stop.get().delivered);
}

TEST_F(ServiceStatusTest, ReplacingTheCallbackNeitherWaitsForNorDestroysTheOneRunning) {
  service_status status("Nolvane");
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  std::promise<void> entered;
  std::promise<void> release;
  auto released = release.get_future().share();
  status.register_handler([token = std::move(token), &entered, released](DWORD, DWORD, void*) {
    entered.set_value();
    released.wait();
  });
  ASSERT_TRUE(status.report_running());

  auto stop = std::async(std::launch::async, [] { return winsim::machine::send_control(SERVICE_CONTROL_STOP); });
  EXPECT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  std::atomic<int> second_calls{0};
  auto replaced = std::async(std::launch::async,
                             [&] { status.register_handler([&](DWORD, DWORD, void*) { ++second_calls; }); });
  // The slow callback is still running: the replacement must not wait for it.
  // (Checked without ending the test, so that the release below always comes.)
  EXPECT_EQ(replaced.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(watch.expired());  // the running callback is still alive

  release.set_value();
  replaced.get();
  EXPECT_TRUE(stop.get().delivered);
  EXPECT_TRUE(watch.expired());  // released with HandlerEx's copy

  EXPECT_TRUE(winsim::machine::send_control(SERVICE_CONTROL_STOP).delivered);
  EXPECT_EQ(second_calls.load(), 1);
}

}  // namespace
}  // namespace ostrel
