// The simulated OS's display physics: the video time-out of the power source
// in use turns an idle display off, input turns it on, and a service
// registered for the console display state hears of each change through the
// simulated SCM.
#include "wait_for.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/machine.h>

#include <chrono>
#include <future>
#include <mutex>

namespace {

using namespace std::chrono_literals;
using ostrel::test::wait_for;

std::mutex service_mutex;
std::vector<DWORD> display_states;  // guarded by service_mutex
HANDLE service_stop = nullptr;

DWORD WINAPI display_handler(DWORD control, DWORD event_type, LPVOID data, LPVOID) {
  if (control == SERVICE_CONTROL_POWEREVENT && event_type == PBT_POWERSETTINGCHANGE) {
    const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(data);
    if (setting->PowerSetting == GUID_CONSOLE_DISPLAY_STATE && setting->DataLength == sizeof(DWORD)) {
      DWORD state = 0;
      std::memcpy(&state, setting->Data, sizeof state);
      std::lock_guard<std::mutex> lock(service_mutex);
      display_states.push_back(state);
    }
  }
  return NO_ERROR;
}

VOID WINAPI display_service_main(DWORD, LPSTR*) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA("Nolvane", &display_handler, nullptr);
  HPOWERNOTIFY notify =
      RegisterPowerSettingNotification(reinterpret_cast<HANDLE>(handle), &GUID_CONSOLE_DISPLAY_STATE,
                                       DEVICE_NOTIFY_SERVICE_HANDLE);
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0xE7, 0, 0, 0, 0};
  SetServiceStatus(handle, &status);
  WaitForSingleObject(service_stop, INFINITE);
  UnregisterPowerSettingNotification(notify);
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = 0;
  SetServiceStatus(handle, &status);
}

class DisplayPhysicsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(service_mutex);
      display_states.clear();
    }
    service_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    winsim::machine::start_scm();
    dispatcher_ = std::async(std::launch::async, [] {
      char name[] = "";
      SERVICE_TABLE_ENTRYA table[] = {{name, &display_service_main}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherA(table);
    });
    ASSERT_TRUE(wait_for([] {
      for (const auto& s : winsim::machine::service_statuses()) {
        if (s.dwCurrentState == SERVICE_RUNNING) return true;
      }
      return false;
    }));
  }

  void TearDown() override {
    winsim::machine::stop_display_physics();
    SetEvent(service_stop);
    winsim::machine::stop_scm();
    if (dispatcher_.valid()) {
      EXPECT_TRUE(dispatcher_.get());
    }
    CloseHandle(service_stop);
  }

  static std::vector<DWORD> states() {
    std::lock_guard<std::mutex> lock(service_mutex);
    return display_states;
  }

  winsim::machine::scoped_machine machine_;
  std::future<BOOL> dispatcher_;
};

TEST_F(DisplayPhysicsTest, AnIdleDisplayGoesOffAfterTheVideoTimeoutAndInputBringsItBack) {
  winsim::machine::set_video_timeout(SystemPowerPolicyAc, 1);
  winsim::machine::simulate_input();
  const auto input = std::chrono::steady_clock::now();
  winsim::machine::start_display_physics(10);
  ASSERT_TRUE(wait_for([] { return !winsim::machine::display_on(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - input, 990ms);
  ASSERT_TRUE(wait_for([] { return states().size() == 1; }));
  EXPECT_EQ(states(), (std::vector<DWORD>{0}));

  winsim::machine::simulate_input();
  ASSERT_TRUE(wait_for([] { return states().size() == 2; }));
  EXPECT_EQ(states(), (std::vector<DWORD>{0, 1}));
  EXPECT_TRUE(winsim::machine::display_on());

  // Turned off by someone else (the daemon's display-off message): the
  // service hears of it all the same.
  winsim::machine::set_display_on(false);
  ASSERT_TRUE(wait_for([] { return states().size() == 3; }));
  EXPECT_EQ(states().back(), 0u);
  winsim::machine::stop_display_physics();
  EXPECT_FALSE(winsim::machine::display_physics_running());
}

TEST_F(DisplayPhysicsTest, TheDisplayStaysOnWhileRequiredOrWithoutTimeoutAndOnBatteryTheDcTimeoutCounts) {
  winsim::machine::set_video_timeout(SystemPowerPolicyAc, 1);
  winsim::machine::set_system_execution_state(ES_CONTINUOUS | ES_DISPLAY_REQUIRED);
  winsim::machine::simulate_input();
  winsim::machine::start_display_physics(10);
  EXPECT_FALSE(wait_for([] { return !winsim::machine::display_on(); }, 1500ms));
  // The request ends; the input is long past the time-out.
  winsim::machine::set_system_execution_state(0);
  ASSERT_TRUE(wait_for([] { return !winsim::machine::display_on(); }));

  winsim::machine::set_video_timeout(SystemPowerPolicyAc, 0);  // never
  winsim::machine::simulate_input();
  EXPECT_FALSE(wait_for([] { return !winsim::machine::display_on(); }, 1500ms));

  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);
  winsim::machine::set_video_timeout(SystemPowerPolicyDc, 1);
  ASSERT_TRUE(wait_for([] { return !winsim::machine::display_on(); }));
  ASSERT_TRUE(wait_for([] { return states().size() == 3; }));
  EXPECT_EQ(states(), (std::vector<DWORD>{0, 1, 0}));
}

}  // namespace
