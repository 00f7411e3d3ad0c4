// The whole service on the simulated laptop: the simulated SCM runs
// service_main through the real dispatcher, the daemon runs as a child
// process beside the test program, and the test acts only through
// winsim::machine, as an operating system and a user would.
#pragma once

#include "common/process_flags.h"
#include "host/service_main.h"
#include "host/service_status.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

namespace ostrel::test {

inline constexpr const char* user_settings_ac = "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\PluggedIn";
inline constexpr const char* user_settings_dc = "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\OnBattery";
inline constexpr const char* system_settings_ac = "SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings\\PluggedIn";
inline constexpr const char* system_settings = "SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings";
inline constexpr const char* service_status_key = "SOFTWARE\\Ostrel Works\\Nolvane\\ServiceStatus";

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    stop_requested = false;
    reload_requested = false;
    display_on = true;
    plugged_in = true;
    debug_mode = false;
    status_checkpoint = 1;
    status_reported = false;
    // The default OutputDirectory, C:\Windows\Temp\, exists on every Windows.
    std::filesystem::create_directories(winsim::machine::host_path("C:\\Windows\\Temp"));
    winsim::machine::start_scm("NolvaneSvc");
  }

  void TearDown() override {
    if (dispatcher_.valid()) {
      if (dispatcher_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        winsim::machine::send_control(SERVICE_CONTROL_STOP);
      }
      EXPECT_TRUE(service_ended(std::chrono::seconds(30))) << "the service did not stop";
      winsim::machine::stop_scm();
      dispatcher_.get();
    }
    set_pass_hook(nullptr);
    winsim::machine::stop_display_physics();
  }

  static void add_presence_sensor() { winsim::machine::add_sensor(winsim::machine::sensor_description{}); }

  // Changes a setting once the service watches its settings again: it stops
  // watching while it writes a value itself and re-arms the watch of each of
  // its two keys on a thread of its own, so a change made in between would
  // go unseen.
  static void change_setting(const char* key, const char* name, DWORD value) {
    EXPECT_TRUE(wait_for([] { return winsim::machine::registry_armed_notification_count() == 2; }));
    winsim::machine::set_registry_dword(key, name, value);
  }

  // Sends a control through the SCM from the service's own thread when pass
  // `pass` reaches `point`: a control that arrives exactly then. Call before
  // start_service.
  void send_control_at(pass_point point, int pass, DWORD control, DWORD event_type = 0) {
    set_pass_hook([this, point, pass, control, event_type](pass_point reached, int number) {
      if (reached != point || number != pass || control_sent_at_point_) return;
      control_delivered_at_point_ = winsim::machine::send_control(control, event_type).delivered;
      control_sent_at_point_ = true;
    });
  }
  bool control_sent_at_point() const { return control_sent_at_point_; }
  bool control_delivered_at_point() const { return control_delivered_at_point_; }

  void start_service() {
    dispatcher_ = std::async(std::launch::async, [] {
      char name[] = "";
      SERVICE_TABLE_ENTRYA table[] = {{name, &service_main}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherA(table);
    });
  }

  // The dispatcher returns once service_main has returned after SERVICE_STOPPED.
  bool service_ended(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return dispatcher_.valid() && dispatcher_.wait_for(timeout) == std::future_status::ready;
  }

  static std::vector<SERVICE_STATUS> statuses() { return winsim::machine::service_statuses(); }

  static bool reported(DWORD state) {
    for (const auto& s : statuses()) {
      if (s.dwCurrentState == state) return true;
    }
    return false;
  }

  static bool wait_for_status(DWORD state, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return wait_for([state] { return reported(state); }, timeout);
  }

  bool wait_for_trace(const std::string& part, std::chrono::milliseconds timeout = std::chrono::seconds(15),
                      size_t times = 1) {
    return wait_for([&] { return trace_.count_containing(part) >= times; }, timeout);
  }

  // The event loop of the current pass runs with the state machine started.
  bool wait_until_running(size_t pass = 1) {
    return wait_for_status(SERVICE_RUNNING) &&
           wait_for_trace("[sm] Leave detection state machine has started", std::chrono::seconds(15), pass);
  }

  bool stop_service() {
    const auto result = winsim::machine::send_control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(result.delivered) << result.error;
    return service_ended();
  }

  static std::vector<std::string> event_log_texts() {
    std::vector<std::string> texts;
    for (const auto& entry : winsim::machine::event_log()) {
      EXPECT_EQ(entry.event_id, 0x40020002u);
      texts.push_back(entry.strings.size() > 1 ? entry.strings[1] : std::string());
    }
    return texts;
  }

  static void expect_status(const SERVICE_STATUS& s, DWORD state, DWORD accepted, DWORD exit_code, DWORD checkpoint) {
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwCurrentState, state);
    EXPECT_EQ(s.dwControlsAccepted, accepted);
    EXPECT_EQ(s.dwWin32ExitCode, exit_code);
    EXPECT_EQ(s.dwCheckPoint, checkpoint);
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  std::future<BOOL> dispatcher_;
  std::atomic<bool> control_sent_at_point_{false};
  std::atomic<bool> control_delivered_at_point_{false};
};

}  // namespace ostrel::test
