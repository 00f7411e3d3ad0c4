// The simulated service control manager, event log and power status against
// the Windows behaviour the service relies on.
#include "wait_for.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/machine.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace winsim::machine;
using ostrel::test::wait_for;

// A service whose ServiceMain runs the test's steps on its own thread until
// told to return, and whose HandlerEx records what it receives.
struct hosted_service {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::packaged_task<void()>> steps;
  bool leave = false;
  std::thread::id main_thread;
  std::vector<std::string> args;
  std::thread::id handler_thread;
  std::vector<std::tuple<DWORD, DWORD, std::vector<BYTE>>> controls;
  SERVICE_STATUS_HANDLE handle = nullptr;
};

hosted_service* current = nullptr;

DWORD WINAPI recording_handler(DWORD control, DWORD event_type, LPVOID data, LPVOID context) {
  auto* service = static_cast<hosted_service*>(context);
  std::vector<BYTE> bytes;
  if (control == SERVICE_CONTROL_SESSIONCHANGE && data != nullptr) {
    const auto* p = static_cast<const BYTE*>(data);
    bytes.assign(p, p + sizeof(WTSSESSION_NOTIFICATION));
  } else if (control == SERVICE_CONTROL_POWEREVENT && event_type == PBT_POWERSETTINGCHANGE) {
    const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(data);
    const auto* p = static_cast<const BYTE*>(data);
    bytes.assign(p, p + offsetof(POWERBROADCAST_SETTING, Data) + setting->DataLength);
  }
  std::lock_guard<std::mutex> lock(service->mutex);
  service->handler_thread = std::this_thread::get_id();
  service->controls.emplace_back(control, event_type, std::move(bytes));
  return 0x100 + control;
}

VOID WINAPI hosted_main(DWORD argc, LPSTR* argv) {
  hosted_service& service = *current;
  std::unique_lock<std::mutex> lock(service.mutex);
  service.main_thread = std::this_thread::get_id();
  for (DWORD i = 0; i < argc; ++i) service.args.emplace_back(argv[i]);
  for (;;) {
    service.changed.wait(lock, [&] { return !service.steps.empty() || service.leave; });
    if (service.steps.empty()) return;
    auto step = std::move(service.steps.front());
    service.steps.pop_front();
    lock.unlock();
    step();
    lock.lock();
  }
}

class ScmTest : public ::testing::Test {
 protected:
  void SetUp() override { current = &service_; }

  void TearDown() override {
    leave_service_main();
    stop_scm();
    if (dispatcher_.valid()) dispatcher_.get();
    current = nullptr;
  }

  void start_dispatcher() {
    dispatcher_ = std::async(std::launch::async, [this] {
      dispatcher_thread_ = std::this_thread::get_id();
      char name[] = "";
      SERVICE_TABLE_ENTRYA table[] = {{name, &hosted_main}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherA(table);
    });
    ASSERT_TRUE(wait_for([] { return dispatcher_connected(); }));
  }

  // Runs `step` on ServiceMain's thread and waits for it.
  void in_service(std::function<void()> step) {
    std::packaged_task<void()> task(std::move(step));
    auto done = task.get_future();
    {
      std::lock_guard<std::mutex> lock(service_.mutex);
      service_.steps.push_back(std::move(task));
    }
    service_.changed.notify_all();
    done.get();
  }

  void leave_service_main() {
    {
      std::lock_guard<std::mutex> lock(service_.mutex);
      service_.leave = true;
    }
    service_.changed.notify_all();
  }

  BOOL report(DWORD state, DWORD accepted, DWORD checkpoint = 0, DWORD exit_code = 0) {
    BOOL ok = FALSE;
    in_service([&] {
      SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, exit_code, 0, checkpoint, 0};
      ok = SetServiceStatus(service_.handle, &status);
    });
    return ok;
  }

  void register_handler() {
    in_service([&] { service_.handle = RegisterServiceCtrlHandlerExA("Nolvane", &recording_handler, &service_); });
    ASSERT_NE(service_.handle, nullptr);
  }

  scoped_machine machine_;
  hosted_service service_;
  std::future<BOOL> dispatcher_;
  std::thread::id dispatcher_thread_;
};

TEST_F(ScmTest, OutsideTheScmTheServiceCallsFail) {
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, &hosted_main}, {nullptr, nullptr}};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegisterServiceCtrlHandlerExA("Nolvane", &recording_handler, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));

  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  const auto result = send_control(SERVICE_CONTROL_STOP);
  EXPECT_FALSE(result.delivered);
  EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_TRUE(service_statuses().empty());
}

TEST_F(ScmTest, ServiceMainRunsOnItsOwnThreadAndStatusesAreRecordedInOrder) {
  start_scm("NolvaneSvc");
  start_dispatcher();
  register_handler();
  EXPECT_EQ(registered_handler_name(), "Nolvane");
  EXPECT_NE(service_.main_thread, std::this_thread::get_id());
  EXPECT_NE(service_.main_thread, dispatcher_thread_);
  // An own-process service gets the SCM's name, whatever its table says.
  EXPECT_EQ(service_.args, std::vector<std::string>{"NolvaneSvc"});

  // A second dispatcher in the same process is refused.
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, &hosted_main}, {nullptr, nullptr}};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

  EXPECT_TRUE(report(SERVICE_START_PENDING, 0, 2));
  EXPECT_TRUE(report(SERVICE_RUNNING, 0xE7));
  // Malformed statuses are refused and not recorded.
  in_service([&] {
    SERVICE_STATUS bad{SERVICE_WIN32_OWN_PROCESS, 9, 0, 0, 0, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetServiceStatus(service_.handle, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  });

  // ServiceMain reports stopped but has not returned: the dispatcher waits.
  EXPECT_TRUE(report(SERVICE_STOPPED, 0xE7, 0, 1610));
  EXPECT_TRUE(dispatcher_connected());
  EXPECT_EQ(dispatcher_.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(send_control(SERVICE_CONTROL_INTERROGATE).error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  leave_service_main();
  EXPECT_TRUE(dispatcher_.get());
  EXPECT_FALSE(dispatcher_connected());

  const auto statuses = service_statuses();
  ASSERT_EQ(statuses.size(), 3u);
  EXPECT_EQ(statuses[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(statuses[0].dwCheckPoint, 2u);
  EXPECT_EQ(statuses[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(statuses[1].dwControlsAccepted, 0xE7u);
  EXPECT_EQ(statuses[2].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(statuses[2].dwWin32ExitCode, 1610u);
}

TEST_F(ScmTest, ControlsReachHandlerExOnTheDispatcherThreadWhenAccepted) {
  start_scm();
  start_dispatcher();

  // No handler yet, then start pending: nothing can be delivered.
  EXPECT_EQ(send_control(SERVICE_CONTROL_STOP).error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  register_handler();
  EXPECT_EQ(send_control(SERVICE_CONTROL_STOP).error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

  // Running but accepting only STOP.
  ASSERT_TRUE(report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
  EXPECT_EQ(send_session_change(WTS_SESSION_LOCK).error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(send_control(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND).error,
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(send_control(0x50).error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));  // no such control
  auto interrogate = send_control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_TRUE(interrogate.delivered);
  EXPECT_EQ(interrogate.result, 0x104u);

  ASSERT_TRUE(report(SERVICE_RUNNING, 0xE7));
  auto session = send_session_change(WTS_SESSION_UNLOCK, 3);
  EXPECT_TRUE(session.delivered);
  EXPECT_EQ(session.result, 0x10Eu);
  auto user = send_control(200, 7);
  EXPECT_TRUE(user.delivered);

  // Power settings reach the service only once it has registered for them.
  EXPECT_EQ(send_power_setting(GUID_CONSOLE_DISPLAY_STATE, 0).error, static_cast<DWORD>(ERROR_NOT_FOUND));
  HPOWERNOTIFY notify = nullptr;
  in_service([&] {
    notify = RegisterPowerSettingNotification(reinterpret_cast<HANDLE>(service_.handle), &GUID_CONSOLE_DISPLAY_STATE,
                                              DEVICE_NOTIFY_SERVICE_HANDLE);
  });
  ASSERT_NE(notify, nullptr);
  EXPECT_TRUE(send_power_setting(GUID_CONSOLE_DISPLAY_STATE, 2).delivered);
  EXPECT_EQ(send_power_setting(GUID_LIDSWITCH_STATE_CHANGE, 1).error, static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(UnregisterPowerSettingNotification(notify));
  EXPECT_FALSE(UnregisterPowerSettingNotification(notify));
  EXPECT_EQ(send_power_setting(GUID_CONSOLE_DISPLAY_STATE, 1).error, static_cast<DWORD>(ERROR_NOT_FOUND));

  {
    std::lock_guard<std::mutex> lock(service_.mutex);
    EXPECT_EQ(service_.handler_thread, dispatcher_thread_);
    ASSERT_EQ(service_.controls.size(), 4u);
    EXPECT_EQ(std::get<0>(service_.controls[0]), static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE));

    const auto& [control, type, data] = service_.controls[1];
    EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_SESSIONCHANGE));
    EXPECT_EQ(type, static_cast<DWORD>(WTS_SESSION_UNLOCK));
    WTSSESSION_NOTIFICATION notification{};
    ASSERT_EQ(data.size(), sizeof(notification));
    std::memcpy(&notification, data.data(), sizeof(notification));
    EXPECT_EQ(notification.cbSize, sizeof(notification));
    EXPECT_EQ(notification.dwSessionId, 3u);

    EXPECT_EQ(std::get<0>(service_.controls[2]), 200u);
    EXPECT_EQ(std::get<1>(service_.controls[2]), 7u);

    const auto& power = service_.controls[3];
    EXPECT_EQ(std::get<1>(power), static_cast<DWORD>(PBT_POWERSETTINGCHANGE));
    const auto& bytes = std::get<2>(power);
    ASSERT_EQ(bytes.size(), 24u);  // GUID, DataLength, one DWORD
    GUID setting{};
    std::memcpy(&setting, bytes.data(), sizeof(setting));
    EXPECT_TRUE(IsEqualGUID(setting, GUID_CONSOLE_DISPLAY_STATE));
    DWORD length = 0, value = 0;
    std::memcpy(&length, bytes.data() + 16, 4);
    std::memcpy(&value, bytes.data() + 20, 4);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(value, 2u);
  }

  const auto registrations = power_setting_registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(registrations[0].setting, GUID_CONSOLE_DISPLAY_STATE));
  EXPECT_EQ(registrations[0].flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
  EXPECT_EQ(registrations[0].recipient, reinterpret_cast<HANDLE>(service_.handle));
  EXPECT_FALSE(registrations[0].active);

  // A power-setting registration needs the service's own status handle.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegisterPowerSettingNotification(reinterpret_cast<HANDLE>(0x1234), &GUID_CONSOLE_DISPLAY_STATE,
                                             DEVICE_NOTIFY_SERVICE_HANDLE),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  fail_call("RegisterPowerSettingNotification", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(RegisterPowerSettingNotification(reinterpret_cast<HANDLE>(service_.handle), &GUID_CONSOLE_DISPLAY_STATE,
                                             DEVICE_NOTIFY_SERVICE_HANDLE),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

  // The SCM going away ends the dispatcher once ServiceMain returns.
  stop_scm();
  EXPECT_EQ(send_control(SERVICE_CONTROL_STOP).error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  leave_service_main();
  EXPECT_TRUE(dispatcher_.get());
}

TEST_F(ScmTest, EventLogRecordsEntriesThroughOpenSources) {
  HANDLE source = RegisterEventSourceA(nullptr, "Ostrel Virtual Sensor");
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(open_event_source_count(), 1u);
  LPCSTR strings[] = {"first", "second"};
  BYTE raw[] = {1, 2, 3};
  EXPECT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 3, 0x80020003, nullptr, 2, sizeof(raw), strings, raw));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(ReportEventA(source, 3, 0, 1, nullptr, 0, 0, nullptr, nullptr));  // no such type
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  fail_call("ReportEventA", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 2, 0, strings, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_EQ(open_event_source_count(), 0u);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 2, 0, strings, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  EXPECT_EQ(RegisterEventSourceA("\\\\elsewhere", "Ostrel Virtual Sensor"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  fail_call("RegisterEventSourceA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(RegisterEventSourceA(nullptr, "Ostrel Virtual Sensor"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  const auto entries = event_log();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Ostrel Virtual Sensor");
  EXPECT_EQ(entries[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(entries[0].category, 3);
  EXPECT_EQ(entries[0].event_id, 0x80020003u);
  EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(entries[0].data, (std::vector<BYTE>{1, 2, 3}));
}

TEST_F(ScmTest, PowerStatusReportsTheAcLineAndFailsOnRequest) {
  static_assert(sizeof(SYSTEM_POWER_STATUS) == 12, "Windows layout");
  SYSTEM_POWER_STATUS status{};
  ASSERT_TRUE(GetSystemPowerStatus(&status));
  EXPECT_EQ(status.ACLineStatus, AC_LINE_ONLINE);
  EXPECT_EQ(status.BatteryLifePercent, 100);
  EXPECT_EQ(status.BatteryFullLifeTime, BATTERY_LIFE_UNKNOWN);

  set_ac_line_status(AC_LINE_OFFLINE);
  set_battery_percent(20);
  ASSERT_TRUE(GetSystemPowerStatus(&status));
  EXPECT_EQ(status.ACLineStatus, AC_LINE_OFFLINE);
  EXPECT_EQ(status.BatteryFlag, BATTERY_FLAG_LOW);
  EXPECT_NE(status.BatteryLifeTime, BATTERY_LIFE_UNKNOWN);

  set_ac_line_status(AC_LINE_UNKNOWN);
  ASSERT_TRUE(GetSystemPowerStatus(&status));
  EXPECT_EQ(status.ACLineStatus, AC_LINE_UNKNOWN);
  EXPECT_THROW(set_ac_line_status(7), std::invalid_argument);

  fail_call("GetSystemPowerStatus", ERROR_GEN_FAILURE, 1);
  std::memset(&status, 0xEE, sizeof(status));
  EXPECT_FALSE(GetSystemPowerStatus(&status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(status.ACLineStatus, 0xEE);  // untouched on failure
  EXPECT_TRUE(GetSystemPowerStatus(&status));

  reset();
  EXPECT_EQ(ac_line_status(), AC_LINE_ONLINE);
}

}  // namespace
