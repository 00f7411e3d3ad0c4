// demo_helpers_leave_windows running the built daemon on the simulated
// desktop: what the user's session answers and what the actions change.
#include "device/device_interface_windows.h"

#include "events/event_queue.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <winsim/machine.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace ostrel;
using test::trace_capture;
using test::wait_for;

class DeviceInterfaceSimTest : public ::testing::Test {
 protected:
  DeviceInterfaceSimTest() {
    queue_->set_event_callback([this](events_t e) { delivered_.push_back(e); });
    device_.set_event_queue(queue_);
  }

  bool send(output_signal signal, std::any value = nullptr) {
    return device_.send_command(output_signal_package{signal, std::move(value), signal_tag::NONE});
  }
  bool ask(input_signal signal, std::any value = nullptr) {
    return device_.register_callback(input_signal_package{signal, {}, {}, std::move(value), signal_tag::NONE});
  }
  std::vector<events_t> events() {
    while (queue_->process_next_event()) {
    }
    return delivered_;
  }
  static bool journal_has(const std::string& text) {
    const auto texts = winsim::machine::desktop_journal_texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
  static size_t runs(const std::string& option) {
    size_t n = 0;
    for (const auto& p : winsim::machine::processes()) {
      n += p.command_line.size() >= option.size() &&
                   p.command_line.compare(p.command_line.size() - option.size(), option.size(), option) == 0
               ? 1
               : 0;
    }
    return n;
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  std::shared_ptr<event_queue> queue_ = std::make_shared<event_queue>();
  std::vector<events_t> delivered_;
  demo_helpers_leave_windows device_;
};

TEST_F(DeviceInterfaceSimTest, SessionQueriesReflectTheConsoleSession) {
  EXPECT_TRUE(ask(input_signal::IS_SESSION_LOCKED));  // unlocked
  EXPECT_FALSE(ask(input_signal::IS_REMOTE_SESSION));
  winsim::machine::set_session_locked(true);
  winsim::machine::set_remote_session(true);
  EXPECT_FALSE(ask(input_signal::IS_SESSION_LOCKED));
  EXPECT_TRUE(ask(input_signal::IS_REMOTE_SESSION));
  EXPECT_EQ(events(), (std::vector<events_t>{SESSION_UNLOCK, REMOTE_DESKTOP}));
  EXPECT_TRUE(ask(input_signal::IS_USER_TOKEN_AVAILABLE));
}

TEST_F(DeviceInterfaceSimTest, DisplayQueriesAndBrightness) {
  EXPECT_FALSE(ask(input_signal::HAS_EXTERNAL_DISPLAY));
  winsim::machine::set_physical_monitors({1, 1});
  EXPECT_TRUE(ask(input_signal::HAS_EXTERNAL_DISPLAY));

  winsim::machine::set_lcd_brightness(55, 40);
  std::string brightness;
  EXPECT_TRUE(ask(input_signal::GET_BRIGHTNESS, &brightness));
  EXPECT_EQ(brightness, "55");
  EXPECT_TRUE(send(output_signal::DIM_SCREEN, std::string("30")));
  EXPECT_EQ(winsim::machine::lcd().ac, 30);
  EXPECT_EQ(winsim::machine::lcd().dc, 30);
  // Without an LCD the daemon's error text comes back through the same pipe.
  winsim::machine::remove_lcd();
  EXPECT_TRUE(ask(input_signal::GET_BRIGHTNESS, &brightness));
  EXPECT_EQ(brightness.rfind("Invalid handle: ", 0), 0u) << brightness;
}

TEST_F(DeviceInterfaceSimTest, ActionsChangeTheDesktop) {
  EXPECT_TRUE(send(output_signal::SET_DISPLAY_REQUIRED));
  EXPECT_TRUE(journal_has("execution_state 0x80000003"));
  EXPECT_TRUE(send(output_signal::TURN_OFF_DISPLAY));
  EXPECT_FALSE(winsim::machine::display_on());
  winsim::machine::simulate_input();
  EXPECT_TRUE(send(output_signal::LOCK_SCREEN));
  EXPECT_TRUE(winsim::machine::session_locked());
  winsim::machine::set_session_locked(false);
  EXPECT_TRUE(send(output_signal::DISPLAY_OFF_RESET_BRIGHTNESS, std::string("20")));
  EXPECT_EQ(winsim::machine::lcd().ac, 20);
  EXPECT_FALSE(winsim::machine::display_on());
  EXPECT_FALSE(winsim::machine::session_locked());
  winsim::machine::simulate_input();
  EXPECT_TRUE(send(output_signal::TURN_OFF_DISPLAY_AND_LOCK));
  EXPECT_TRUE(winsim::machine::session_locked());
  EXPECT_FALSE(winsim::machine::display_on());
}

TEST_F(DeviceInterfaceSimTest, InputEndsTheMonitorAndTheWatcherReportsIt) {
  ASSERT_TRUE(send(output_signal::OS_VIDEO_TIMER_SCREEN_OFF));
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  // The monitor has taken its first reading of the last input time.
  ASSERT_TRUE(wait_for([] { return winsim::machine::last_input_queries() > 0; }));
  winsim::machine::simulate_input();
  ASSERT_TRUE(wait_for([&] { return !events().empty(); }));
  EXPECT_EQ(events(), (std::vector<events_t>{USER_IS_ACTIVE}));
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 600u);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyDc), 300u);
  EXPECT_TRUE(journal_has("execution_state 0x80000003"));
  ASSERT_TRUE(wait_for([&] { return runs("--monitor_activity") == 2; }));
  EXPECT_TRUE(send(output_signal::STOP_USER_ACTIVITY_PROCESS));
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_EQ(events().size(), 1u);
}

// The overlay's end is on the desktop journal whichever way it ends: the
// daemon destroys its window when its time is over; a removal terminates the
// daemon, and the system ends the window with the process, before the
// process counts as ended.
TEST_F(DeviceInterfaceSimTest, TheOverlayShowsUntilRemovedAndItsEndIsJournalled) {
  const std::string destroyed = "window_destroyed class=KeltDimOverlayWindow";
  const auto overlay_ends = [&destroyed] {
    std::vector<winsim::machine::desktop_entry> ends;
    for (auto& e : winsim::machine::desktop_journal()) {
      if (e.text.rfind(destroyed, 0) == 0) ends.push_back(std::move(e));
    }
    return ends;
  };

  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{0}));
  ASSERT_TRUE(wait_for([&] { return !overlay_ends().empty(); }));
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_EQ(overlay_ends().front().text, destroyed);  // by the daemon, once

  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000}));
  ASSERT_TRUE(wait_for([] { return winsim::machine::open_window_count() == 1; }));
  EXPECT_TRUE(send(output_signal::REMOVE_DIM_SCREEN_OVERLAY));
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_EQ(winsim::machine::open_window_count(), 0u);
  EXPECT_TRUE(trace_.contains("[runner] Dim done"));

  const auto ends = overlay_ends();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[1].text, destroyed + " by=process_end");
  const auto overlay = winsim::machine::processes().back();
  EXPECT_TRUE(overlay.terminated);
  EXPECT_EQ(ends[1].pid, static_cast<int>(overlay.id));
  const auto ended_us = std::chrono::duration_cast<std::chrono::microseconds>(overlay.ended_at.time_since_epoch());
  EXPECT_LE(ends[1].time_us, static_cast<unsigned long long>(ended_us.count()));
}

// The daemon's directory comes from the narrow module path, unharmed by
// non-ASCII characters and not cut at MAX_PATH, and its path is quoted, so a
// program planted at the install path's first blank ("...\Prögrâm" for
// "...\Prögrâm Fïles\...") is not run in its place.
TEST_F(DeviceInterfaceSimTest, ANonAsciiInstallPathWithBlanksFindsTheRealDaemon) {
  const std::string install = machine_.path() + "/Prögrâm Fïles/" + std::string(150, 'd') + "/" + std::string(150, 'e');
  ASSERT_GT(install.size(), static_cast<size_t>(MAX_PATH));
  fs::create_directories(install);
  fs::create_directories(machine_.path() + "/fake_daemon");
  fs::copy_file(PROBE_PATH, install + "/device_interface_probe");
  fs::copy_file(FAKE_DAEMON_PATH, install + "/ostrel_service_daemon");
  const std::string planted = machine_.path() + "/Prögrâm";
  std::ofstream(planted) << "#!/bin/sh\nexit 99\n";
  ::chmod(planted.c_str(), 0755);

  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, &sa, 0));
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write;
  si.hStdError = write;
  PROCESS_INFORMATION pi{};
  std::string line = "\"" + install + "/device_interface_probe\"";
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  char buffer[4096] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(read, buffer, sizeof buffer - 1, &got, nullptr));
  for (HANDLE h : {read, write, pi.hProcess, pi.hThread}) CloseHandle(h);

  EXPECT_EQ(std::string(buffer, got), "directory=" + install + "\ncommand=\"" + install +
                                          "/ostrel_service_daemon.exe\" --stayin_alive\nran=1 exit=0\n");
  std::ifstream recorded(machine_.path() + "/fake_daemon/runs");
  std::string run;
  ASSERT_TRUE(std::getline(recorded, run));
  EXPECT_NE(run.find(" --stayin_alive"), std::string::npos) << run;
}

}  // namespace
