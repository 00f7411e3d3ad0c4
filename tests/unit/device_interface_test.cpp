// demo_helpers_leave_windows with a scripted stand-in for the daemon (built
// as "ostrel_service_daemon" beside this test) on the simulated laptop:
// every signal row, the command lines, the answers, and the two tasks.
#include "device/device_interface_windows.h"

#include "device/session_commands.h"
#include "events/event_queue.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using namespace ostrel;
using test::trace_capture;
using test::wait_for;

const std::string demo_tools = "C:\\Program Files (x86)\\Ostrel\\Ostrel Demo\\";

std::string own_directory() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

// The daemon as every command names it: full path, in quotes.
std::string daemon() { return "\"" + own_directory() + "/ostrel_service_daemon.exe\""; }

class DeviceInterfaceTest : public ::testing::Test {
 protected:
  DeviceInterfaceTest() {
    fs::create_directories(fake_dir());
    queue_->set_event_callback([this](events_t e) { delivered_.push_back(e); });
    device_.set_event_queue(queue_);
  }

  std::string fake_dir() const { return machine_.path() + "/fake_daemon"; }
  // How the stand-in answers runs whose first option is `option`.
  void script(const std::string& option, const std::string& what, const std::string& value) {
    std::ofstream(fake_dir() + "/" + option + "." + what) << value;
  }
  // Input for a waiting --monitor_activity run.
  void user_input() { std::ofstream(fake_dir() + "/activity") << "1"; }
  // The stand-in installed where the demo tools and the shell live.
  void install_tools() {
    for (const auto& [dir, name] : std::vector<std::pair<std::string, std::string>>{
             {"Program Files (x86)/Ostrel/Ostrel Demo", "fancontrol_cli.exe"},
             {"Windows/System32", "powershell.exe"}}) {
      fs::create_directories(machine_.path() + "/drive_c/" + dir);
      fs::copy_file(own_directory() + "/ostrel_service_daemon", machine_.path() + "/drive_c/" + dir + "/" + name,
                    fs::copy_options::overwrite_existing);
    }
    const std::string black = machine_.path() + "/drive_c/Program Files (x86)/Ostrel/Ostrel Demo/black";
    fs::create_directories(black);
    std::ofstream(black + "/stop.bat") << "exit 0\n";
  }

  bool send(output_signal signal, std::any value = nullptr, signal_tag tag = signal_tag::NONE) {
    return device_.send_command(output_signal_package{signal, std::move(value), tag});
  }
  bool ask(input_signal signal, std::any value = nullptr, signal_tag tag = signal_tag::NONE) {
    return device_.register_callback(input_signal_package{signal, {}, {}, std::move(value), tag});
  }
  std::vector<events_t> events() {
    while (queue_->process_next_event()) {
    }
    return delivered_;
  }
  static std::vector<std::string> command_lines() {
    std::vector<std::string> lines;
    for (const auto& p : winsim::machine::processes()) lines.push_back(p.command_line);
    return lines;
  }
  static std::vector<winsim::machine::process_record> runs_of(const std::string& arguments) {
    std::vector<winsim::machine::process_record> found;
    for (const auto& p : winsim::machine::processes()) {
      if (p.command_line == daemon() + " " + arguments) found.push_back(p);
    }
    return found;
  }
  static size_t running(const std::string& arguments) {
    size_t n = 0;
    for (const auto& p : runs_of(arguments)) n += p.running ? 1 : 0;
    return n;
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  std::shared_ptr<event_queue> queue_ = std::make_shared<event_queue>();
  std::vector<events_t> delivered_;
  demo_helpers_leave_windows device_;
};

TEST_F(DeviceInterfaceTest, EachCommandRunsItsCommandLineInTheUsersSession) {
  install_tools();
  const std::vector<std::tuple<output_signal, std::any, std::string>> rows = {
      {output_signal::SET_DISPLAY_REQUIRED, nullptr, daemon() + " --stayin_alive"},
      {output_signal::LOCK_SCREEN, nullptr, daemon() + " --lock_screen"},
      {output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK, std::string("40"), daemon() + " -z 40"},
      {output_signal::DISPLAY_OFF_RESET_BRIGHTNESS, std::string("35"), daemon() + " -x 35"},
      {output_signal::DIM_SCREEN, std::string("30"), daemon() + " --set_brightness 30"},
      {output_signal::BRIGHTEN_SCREEN, nullptr,
       "powershell (Get-WmiObject -Namespace root/WMI -Class WmiMonitorBrightnessMethods).WmiSetBrightness(0,100)"},
      {output_signal::TURN_OFF_DISPLAY, nullptr, "ostrel_service_daemon.exe --turn_off_display"},
      {output_signal::TURN_OFF_DISPLAY_AND_LOCK, nullptr, "ostrel_service_daemon.exe --turn_off_display_and_lock"},
      {output_signal::SET_FAN, uint8_t{7}, "\"" + demo_tools + "fancontrol_cli.exe\" set 7"},
      {output_signal::PLAY_BEEP, nullptr, "powershell (new-object -com SAPI.SpVoice).speak('Dimming')"},
      {output_signal::REMOVE_IMAGE, nullptr, "\"" + demo_tools + "black\\stop.bat\""},
      {output_signal::SET_SYSTEM_REQUIRED, nullptr, daemon() + " --system_required"},
      {output_signal::SET_AWAY_MODE, nullptr, daemon() + " --away_mode"},
  };
  std::vector<std::string> expected;
  for (const auto& [signal, value, line] : rows) {
    EXPECT_TRUE(send(signal, value, signal_tag::AC)) << output_signal_name(signal);
    expected.push_back(line);
  }
  EXPECT_EQ(command_lines(), expected);
  for (const auto& p : winsim::machine::processes()) {
    EXPECT_TRUE(p.with_user_token) << p.command_line;
    EXPECT_EQ(p.desktop, "winsta0\\default");
    EXPECT_FALSE(p.running);
    EXPECT_EQ(p.exit_code, 0u) << p.command_line;
  }
  // The bare daemon name was found in the service's own directory.
  EXPECT_EQ(winsim::machine::processes()[6].program, own_directory() + "/ostrel_service_daemon");
  EXPECT_TRUE(trace_.contains("[runner] executing: " + daemon() + " -z 40"));
  EXPECT_TRUE(trace_.contains("[runner] Brighten screen"));
  EXPECT_TRUE(trace_.contains("[runner] [send_command] Enter Signal: DIM_SCREEN, Tag: AC"));
  // The display-required family answers without an "Exit" line.
  EXPECT_EQ(trace_.count("[runner] [send_command] Exit"), rows.size() - 3);
}

TEST_F(DeviceInterfaceTest, CommandsThatAnswerByExitCodeNeedZero) {
  script("stayin_alive", "exit", "1");
  script("system_required", "exit", "2");
  script("away_mode", "exit", "3");
  script("lock_screen", "exit", "5");
  EXPECT_FALSE(send(output_signal::SET_DISPLAY_REQUIRED));
  EXPECT_FALSE(send(output_signal::SET_SYSTEM_REQUIRED));
  EXPECT_FALSE(send(output_signal::SET_AWAY_MODE));
  // A command that only has to run does not look at the exit code.
  EXPECT_TRUE(send(output_signal::LOCK_SCREEN));
}

TEST_F(DeviceInterfaceTest, RunsThatCannotStartLogAndAnswerFalse) {
  install_tools();
  winsim::machine::fail_call("CreateProcessAsUserA", ERROR_ACCESS_DENIED);
  const std::vector<std::tuple<output_signal, std::any, const char*>> commands = {
      {output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK, std::string("1"), "ERROR: Failed to dim screen"},
      {output_signal::DIM_SCREEN, std::string("1"), "ERROR: Failed to dim screen"},
      {output_signal::BRIGHTEN_SCREEN, nullptr, "ERROR: Failed to bright screen"},
      {output_signal::TURN_OFF_DISPLAY, nullptr, "ERROR: Failed to turn off display"},
      {output_signal::TURN_OFF_DISPLAY_AND_LOCK, nullptr, "ERROR: Failed to turn off and lock"},
      {output_signal::PLAY_BEEP, nullptr, "ERROR: Failed to play beep"},
      {output_signal::REMOVE_IMAGE, nullptr, "ERROR: Failed to remove"},
  };
  for (const auto& [signal, value, message] : commands) {
    trace_.clear();
    EXPECT_FALSE(send(signal, value)) << output_signal_name(signal);
    EXPECT_TRUE(trace_.contains(std::string("[runner] ") + message)) << output_signal_name(signal);
    EXPECT_EQ(trace_.count("[runner] [send_command] Exit"), 0u);
  }
  for (auto signal : {output_signal::LOCK_SCREEN, output_signal::SET_DISPLAY_REQUIRED,
                      output_signal::SET_SYSTEM_REQUIRED, output_signal::SET_AWAY_MODE}) {
    EXPECT_FALSE(send(signal)) << output_signal_name(signal);
  }
  EXPECT_FALSE(send(output_signal::SET_FAN, uint8_t{3}));

  uint32_t speed = 77;
  EXPECT_FALSE(ask(input_signal::GET_FAN_SPEED, &speed));
  EXPECT_EQ(speed, 77u);
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed get fan speed"));
  std::string brightness = "untouched";
  EXPECT_FALSE(ask(input_signal::GET_BRIGHTNESS, &brightness));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed to run get_brightness"));
  EXPECT_FALSE(ask(input_signal::HAS_EXTERNAL_DISPLAY));
  EXPECT_FALSE(ask(input_signal::IS_REMOTE_SESSION));
  EXPECT_TRUE(trace_.contains("[runner] Failed to create process for is_remote_session"));
  // A locked-session query that could not run has no exit code, so it never
  // reads as "locked".
  EXPECT_TRUE(ask(input_signal::IS_SESSION_LOCKED));
  EXPECT_TRUE(trace_.contains("[runner] Failed to create process for is_session_locked"));
  EXPECT_EQ(events(), (std::vector<events_t>{SESSION_UNLOCK}));
  EXPECT_TRUE(winsim::machine::processes().empty());
}

TEST_F(DeviceInterfaceTest, RefusedAndUncaughtSignalsRunNothing) {
  EXPECT_FALSE(send(output_signal::SEND_RETURN_KEY));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Send return key is not implemented"));
  for (auto signal : {output_signal::DIM_RESET, output_signal::START_GUI, output_signal::START_NOISY_GUI,
                      output_signal::STOP_GUI, output_signal::SHOW_IMAGE, static_cast<output_signal>(25),
                      static_cast<output_signal>(1000)}) {
    trace_.clear();
    EXPECT_FALSE(send(signal, nullptr, static_cast<signal_tag>(7)));
    EXPECT_TRUE(trace_.contains("[runner] ERROR: Uncaught signal"));
    EXPECT_TRUE(trace_.contains(std::string("[runner] [send_command] Enter Signal: ") + output_signal_name(signal) +
                                ", Tag: UNKNOWN"));
  }
  EXPECT_TRUE(trace_.contains("[runner] [send_command] Enter Signal: UNKNOWN, Tag: UNKNOWN"));
  EXPECT_TRUE(send(output_signal::CHECK_DEVICE_MODEL_NAME));
  for (auto signal : {input_signal::LOCK_EVENT, input_signal::UNLOCK_EVENT, static_cast<input_signal>(11)}) {
    trace_.clear();
    EXPECT_TRUE(ask(signal));
    EXPECT_TRUE(trace_.contains("[runner] [register_callback] Exit"));
  }
  EXPECT_TRUE(winsim::machine::processes().empty());
}

TEST_F(DeviceInterfaceTest, PayloadsOfTheWrongTypeOrEmptyTextsRunNothing) {
  EXPECT_FALSE(send(output_signal::DIM_SCREEN, 30));
  EXPECT_FALSE(send(output_signal::DISPLAY_OFF_RESET_BRIGHTNESS, "30"));  // const char*, not a text object
  EXPECT_FALSE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, int32_t{500}));
  EXPECT_FALSE(send(output_signal::SET_FAN, 5));
  uint64_t wrong = 0;
  EXPECT_FALSE(ask(input_signal::GET_FAN_SPEED, &wrong));
  EXPECT_FALSE(ask(input_signal::GET_BRIGHTNESS, std::string("x")));
  EXPECT_GE(trace_.count_containing("bad any"), 6u) << trace_.dump();
  // A null place to answer into is refused instead of written through.
  EXPECT_FALSE(ask(input_signal::GET_FAN_SPEED, static_cast<uint32_t*>(nullptr)));
  EXPECT_FALSE(ask(input_signal::GET_BRIGHTNESS, static_cast<std::string*>(nullptr)));
  // Empty brightness texts.
  EXPECT_FALSE(send(output_signal::DIM_SCREEN, std::string()));
  EXPECT_FALSE(send(output_signal::DISPLAY_OFF_RESET_BRIGHTNESS, std::string()));
  EXPECT_FALSE(send(output_signal::DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK, std::string()));
  EXPECT_EQ(trace_.count("[runner] ERROR: Failed to dim screen"), 3u);
  EXPECT_TRUE(winsim::machine::processes().empty());
  // The rejected overlay left no task behind.
  EXPECT_TRUE(send(output_signal::REMOVE_DIM_SCREEN_OVERLAY));
  EXPECT_TRUE(trace_.contains("[runner] Dim overlay proc is not active. Cancecling  the removal process"));
}

TEST_F(DeviceInterfaceTest, QueriesAnswerFromTheDaemonThePowerPolicyAndTheTerminal) {
  install_tools();
  script("get", "exit", "42");
  uint32_t speed = 0;
  EXPECT_TRUE(ask(input_signal::GET_FAN_SPEED, &speed));
  EXPECT_EQ(speed, 42u);
  EXPECT_EQ(command_lines().back(), "\"" + demo_tools + "fancontrol_cli.exe\" get");

  // A run whose exit code is no answer (terminated, or not readable) gives
  // no speed.
  winsim::machine::fail_call("GetExitCodeProcess", ERROR_ACCESS_DENIED, 1);
  speed = 77;
  EXPECT_FALSE(ask(input_signal::GET_FAN_SPEED, &speed));
  EXPECT_EQ(speed, 77u);
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed get fan speed"));

  script("get_brightness", "out", "73");
  std::string brightness;
  EXPECT_TRUE(ask(input_signal::GET_BRIGHTNESS, &brightness));
  EXPECT_EQ(brightness, "73");
  EXPECT_EQ(command_lines().back(), daemon() + " --get_brightness");
  // A run that was terminated (here: its wait failed) wrote no brightness.
  winsim::machine::fail_call("WaitForSingleObject", ERROR_INVALID_HANDLE, 1);
  EXPECT_FALSE(ask(input_signal::GET_BRIGHTNESS, &brightness));
  EXPECT_EQ(brightness, "73");
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed to run get_brightness"));

  EXPECT_TRUE(ask(input_signal::HAS_EXTERNAL_DISPLAY));
  EXPECT_EQ(command_lines().back(), daemon() + " --has_external_display");
  script("has_external_display", "exit", "1");
  EXPECT_FALSE(ask(input_signal::HAS_EXTERNAL_DISPLAY));

  EXPECT_FALSE(ask(input_signal::IS_DISPLAY_REQUIRED));
  winsim::machine::set_system_execution_state(ES_CONTINUOUS | ES_DISPLAY_REQUIRED);
  EXPECT_TRUE(ask(input_signal::IS_DISPLAY_REQUIRED));
  winsim::machine::set_system_execution_state(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_FALSE(ask(input_signal::IS_DISPLAY_REQUIRED));

  EXPECT_TRUE(ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED));
  winsim::machine::set_video_timeout(SystemPowerPolicyAc, 0);
  EXPECT_FALSE(ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED));
  winsim::machine::set_video_timeout(SystemPowerPolicyAc, 600);
  winsim::machine::set_idle_timeout(SystemPowerPolicyAc, 0);
  EXPECT_FALSE(ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED));
  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);  // the DC policy is in force now
  EXPECT_TRUE(ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED));

  winsim::machine::fail_call("CallNtPowerInformation", static_cast<DWORD>(STATUS_ACCESS_DENIED));
  EXPECT_TRUE(ask(input_signal::IS_DISPLAY_REQUIRED));  // unknown counts as required
  EXPECT_TRUE(trace_.contains("[runner] Failed to poll media CallNtPowerInformation (display required)"));
  EXPECT_FALSE(ask(input_signal::IS_SCREEN_OFF_TIMER_ENABLED));
  EXPECT_TRUE(
      trace_.contains("[runner] Failed to poll media CallNtPowerInformation for Power Policy (idle timeout)"));

  EXPECT_TRUE(ask(input_signal::IS_USER_TOKEN_AVAILABLE));
  winsim::machine::set_console_user_logged_on(false);
  EXPECT_FALSE(ask(input_signal::IS_USER_TOKEN_AVAILABLE));
  winsim::machine::set_console_session_id(0xFFFFFFFF);
  EXPECT_FALSE(ask(input_signal::IS_USER_TOKEN_AVAILABLE));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed to get active console session id"));
  EXPECT_EQ(winsim::machine::open_token_count(), 0u);
}

TEST_F(DeviceInterfaceTest, SessionQueriesPushTheirEvents) {
  script("is_session_locked", "exit", "0");
  EXPECT_FALSE(ask(input_signal::IS_SESSION_LOCKED));  // locked: nothing to push
  script("is_session_locked", "exit", "1");
  EXPECT_TRUE(ask(input_signal::IS_SESSION_LOCKED));
  script("remote_session", "exit", "0");
  EXPECT_TRUE(ask(input_signal::IS_REMOTE_SESSION));
  script("remote_session", "exit", "1");
  EXPECT_FALSE(ask(input_signal::IS_REMOTE_SESSION));
  EXPECT_EQ(events(), (std::vector<events_t>{SESSION_UNLOCK, REMOTE_DESKTOP}));
  EXPECT_EQ(command_lines(), (std::vector<std::string>{daemon() + " --is_session_locked", daemon() + " --is_session_locked",
                                                       daemon() + " --remote_session", daemon() + " --remote_session"}));

  // Without a queue there is nobody to tell: nothing runs.
  EXPECT_FALSE(device_.set_event_queue(nullptr));
  EXPECT_FALSE(ask(input_signal::IS_SESSION_LOCKED));
  EXPECT_FALSE(ask(input_signal::IS_REMOTE_SESSION));
  EXPECT_EQ(winsim::machine::processes().size(), 4u);
  EXPECT_TRUE(device_.set_event_queue(queue_));
}

TEST_F(DeviceInterfaceTest, GetDataAnswersNothingForAnySignal) {
  for (uint64_t s = 0; s <= 11; ++s) {
    const auto signal = static_cast<input_signal>(s);
    EXPECT_FALSE(device_.get_data(input_signal_package{signal, {}, {}, nullptr, signal_tag::DC}).has_value());
    EXPECT_TRUE(trace_.contains(std::string("[runner] ERROR: Get data for signal ") + input_signal_name(signal) +
                                " not implemented"));
  }
  EXPECT_TRUE(trace_.contains("[runner] [get_data] Enter Signal: UNKNOWN, Tag: DC"));
}

TEST_F(DeviceInterfaceTest, VideoTimerSignalsGoToTheTimerManager) {
  EXPECT_TRUE(send(output_signal::OS_VIDEO_TIMER_SCREEN_OFF));
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 1u);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyDc), 1u);
  EXPECT_TRUE(send(output_signal::OS_VIDEO_TIMER_RECOVER));
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 600u);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyDc), 300u);
  winsim::machine::fail_power_policy_write(SystemPowerPolicyAc, STATUS_ACCESS_DENIED);
  EXPECT_FALSE(send(output_signal::OS_VIDEO_TIMER_SCREEN_OFF));
  EXPECT_TRUE(trace_.contains("[runner] Failed to override video timers"));
  winsim::machine::clear_failures();
  winsim::machine::set_video_timeout(SystemPowerPolicyDc, 1);
  winsim::machine::fail_power_policy_write(SystemPowerPolicyDc, STATUS_ACCESS_DENIED);
  EXPECT_FALSE(send(output_signal::OS_VIDEO_TIMER_RECOVER));
  EXPECT_TRUE(trace_.contains("[runner] Failed to reset video timers"));
  winsim::machine::clear_failures();
}

TEST_F(DeviceInterfaceTest, ASecondOverlayEndsTheFirstBeforeItStarts) {
  const std::string overlay = "--dim_screen 60000";
  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000}));
  ASSERT_TRUE(wait_for([&] { return running(overlay) == 1; }));
  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000}));
  ASSERT_TRUE(wait_for([&] { return runs_of(overlay).size() == 2 && running(overlay) == 1; }));
  auto runs = runs_of(overlay);
  EXPECT_TRUE(runs[0].terminated || runs[0].terminate_order != 0);
  EXPECT_LT(runs[0].terminate_order, runs[1].start_order);
  EXPECT_NE(runs[0].terminate_order, 0u);
  for (const char* line : {"[runner] wait_timeout_ms: 60000", "[runner] timeout set to: 60000",
                           "[runner] wait_timeout_ms set to: 60000", "[runner] Timeout is 60000 ms",
                           "[runner] Setting dim event", "[runner] Dim Waiting", "[runner] Dim Get",
                           "[runner] Event reset", "[runner] Dim done"}) {
    EXPECT_TRUE(trace_.contains(line)) << line;
  }
  EXPECT_TRUE(trace_.contains("[runner] Command is " + daemon() + " " + overlay));
  EXPECT_TRUE(trace_.contains("[runner] Executing: " + daemon() + " " + overlay));
  EXPECT_EQ(trace_.count("[runner] Creating dim screen event"), 1u);

  EXPECT_TRUE(send(output_signal::REMOVE_DIM_SCREEN_OVERLAY));
  EXPECT_TRUE(trace_.contains("[runner] Resetting dim screen"));
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_TRUE(runs_of(overlay)[1].terminated);
  // Removing again: nothing is running any more.
  trace_.clear();
  EXPECT_TRUE(send(output_signal::REMOVE_DIM_SCREEN_OVERLAY));
  EXPECT_TRUE(trace_.contains("[runner] Dim overlay proc is not active. Cancecling  the removal process"));
}

TEST_F(DeviceInterfaceTest, AnOverlayEndsByItselfAtItsTimeout) {
  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{30}));
  ASSERT_TRUE(trace_.wait_for_line("[runner] Dim done"));
  auto runs = runs_of("--dim_screen 30");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_FALSE(runs[0].terminated);
  EXPECT_EQ(runs[0].exit_code, 0u);
  // A later overlay reuses the event, reset and non-signalled.
  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000}));
  ASSERT_TRUE(wait_for([&] { return running("--dim_screen 60000") == 1; }));
  EXPECT_TRUE(trace_.contains("[runner] Event reset"));
}

TEST_F(DeviceInterfaceTest, StoppingTheWatcherTerminatesItsMonitorWithoutReportingActivity) {
  EXPECT_TRUE(send(output_signal::STOP_USER_ACTIVITY_PROCESS));
  EXPECT_TRUE(trace_.contains("[runner] Activity proc is not active. Cancecling  the stop process"));

  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));
  EXPECT_TRUE(send(output_signal::STOP_USER_ACTIVITY_PROCESS));
  for (const char* line : {"[runner] Creating activity event", "[runner] launch user activity proc",
                           "[runner] Stopping activity proc", "[runner] Activity proc is active active. Stopping",
                           "[runner] Setting activity event", "[runner] Activty Waiting", "[runner] Activity Get",
                           "[runner] Resetting event", "[runner] Activity Event reset",
                           "[runner] Activity while loop done"}) {
    EXPECT_TRUE(trace_.contains(line)) << line;
  }
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_TRUE(runs_of("--monitor_activity").at(0).terminated);
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(runs_of("--stayin_alive").empty());
}

TEST_F(DeviceInterfaceTest, InputEndsAMonitorRunAndTheWatcherReportsAndWatchesOn) {
  ASSERT_TRUE(send(output_signal::OS_VIDEO_TIMER_SCREEN_OFF));
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));
  user_input();
  ASSERT_TRUE(wait_for([&] { return !events().empty(); }));
  EXPECT_EQ(events(), (std::vector<events_t>{USER_IS_ACTIVE}));
  // The video timers came back, then the display was required again, then
  // a new monitor started.
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 600u);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyDc), 300u);
  ASSERT_TRUE(wait_for([&] { return runs_of("--monitor_activity").size() == 2; }));
  auto monitors = runs_of("--monitor_activity");
  auto stayin = runs_of("--stayin_alive");
  ASSERT_EQ(stayin.size(), 1u);
  EXPECT_FALSE(monitors[0].terminated);
  EXPECT_LT(monitors[0].start_order, stayin[0].start_order);
  EXPECT_LT(stayin[0].start_order, monitors[1].start_order);
  EXPECT_TRUE(monitors[1].running);

  // USER_ACTIVITY while a watcher runs: the old monitor is terminated, the
  // old task awaited, the event reset, and a new watcher watches.
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(wait_for([&] { return runs_of("--monitor_activity").size() == 3 && running("--monitor_activity") == 1; }));
  monitors = runs_of("--monitor_activity");
  EXPECT_NE(monitors[1].terminate_order, 0u);
  EXPECT_LT(monitors[1].terminate_order, monitors[2].start_order);
  EXPECT_EQ(events().size(), 1u);  // the termination was not activity
  user_input();
  ASSERT_TRUE(wait_for([&] { return events().size() == 2; }));
  EXPECT_EQ(events().back(), USER_IS_ACTIVE);
}

TEST_F(DeviceInterfaceTest, WithoutAQueueTheWatcherOnlyKeepsWatching) {
  device_.set_event_queue(nullptr);
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));
  user_input();
  ASSERT_TRUE(wait_for([&] { return runs_of("--monitor_activity").size() == 2 && running("--monitor_activity") == 1; }));
  EXPECT_TRUE(runs_of("--stayin_alive").empty());
  EXPECT_TRUE(events().empty());
}

// A monitor that exits at once (as when GetLastInputInfo fails) still counts
// as activity each time, but after three such ends in a row the watcher
// pauses before the next start instead of spinning.
TEST_F(DeviceInterfaceTest, AMonitorThatKeepsEndingAtOnceIsRestartedOnlyAfterAPause) {
  using std::chrono::milliseconds;
  script("monitor_activity", "exit", "1");
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  const std::string warning =
      "[runner] WARNING: Activity monitor keeps ending at once. Pausing before each restart, up to 30 s";
  // A monitor slowed past 200 ms by a loaded machine only delays the first pause.
  ASSERT_TRUE(trace_.wait_for_line(warning, std::chrono::seconds(30)));

  // The pause runs out and the next monitor starts after it; every end,
  // that one's too, is reported as activity.
  const size_t seen = runs_of("--monitor_activity").size();
  const auto ended_by_themselves = [&] {
    size_t n = 0;
    for (const auto& m : runs_of("--monitor_activity")) n += !m.running && !m.terminated ? 1 : 0;
    return n;
  };
  ASSERT_TRUE(wait_for(
      [&] {
        return runs_of("--monitor_activity").size() > seen && running("--monitor_activity") == 0 &&
               events().size() == ended_by_themselves();
      },
      std::chrono::seconds(10)));
  const auto monitors = runs_of("--monitor_activity");
  bool paused = false;
  for (size_t k = 2; k + 1 < monitors.size(); ++k) {
    paused = paused || monitors[k + 1].started_at - monitors[k].ended_at >= milliseconds(1000);
  }
  EXPECT_TRUE(paused);

  // A stop does not wait a pause out. Margin: waking the watcher takes
  // milliseconds; 500 ms leaves room for a loaded machine and stays well
  // below the 2 s pause it must cut short.
  const auto stop = std::chrono::steady_clock::now();
  EXPECT_TRUE(send(output_signal::STOP_USER_ACTIVITY_PROCESS));
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - stop).count(), 500);
  EXPECT_EQ(trace_.count(warning), 1u);
  for (auto e : events()) EXPECT_EQ(e, USER_IS_ACTIVE);
}

TEST_F(DeviceInterfaceTest, TasksWhoseRunsCannotStartEndWithAnError) {
  winsim::machine::fail_call("CreateProcessAsUserA", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(trace_.wait_for_line("[runner] Activity while loop done"));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: Failed to wait for activity"));
  EXPECT_TRUE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{100}));
  ASSERT_TRUE(trace_.wait_for_line("[runner] ERROR: Failed to make dim overlay"));
  EXPECT_TRUE(winsim::machine::processes().empty());
}

TEST_F(DeviceInterfaceTest, ATaskWithoutItsCancelEventIsNotStarted) {
  // Such a watcher could not be stopped, and each 10-second limit of its
  // monitor would be reported as activity; such an overlay could not be removed.
  winsim::machine::fail_call("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_FALSE(ask(input_signal::USER_ACTIVITY));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: No activity event, not launching user activity proc"));
  winsim::machine::fail_call("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_FALSE(send(output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000}));
  EXPECT_TRUE(trace_.contains("[runner] ERROR: No dim event, not showing the overlay"));
  EXPECT_TRUE(winsim::machine::processes().empty());
  // The next request creates the event and starts.
  EXPECT_TRUE(ask(input_signal::USER_ACTIVITY));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));
}

// Background tasks that cannot start (std::async throws std::system_error
// when no thread can be had) or that end with an exception (future::get()
// rethrows it).
class failing_tasks_device : public demo_helpers_leave_windows {
 public:
  bool refuse_start = false;  // only touched by the thread that calls the device

 protected:
  std::future<void> start_task(std::function<void()> body) override {
    if (refuse_start) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::async(std::launch::async, [body] {
      body();
      throw std::runtime_error("task broke down");
    });
  }
};

TEST_F(DeviceInterfaceTest, NothingIsThrownWhenATaskCannotStartOrEndsWithAnException) {
  auto device = std::make_unique<failing_tasks_device>();
  device->set_event_queue(queue_);
  const auto user_activity = input_signal_package{input_signal::USER_ACTIVITY, {}, {}, nullptr, signal_tag::NONE};
  const auto overlay = [](uint64_t ms) {
    return output_signal_package{output_signal::SHOW_DIM_SCREEN_OVERLAY, ms, signal_tag::NONE};
  };
  const auto command = [](output_signal signal) { return output_signal_package{signal, nullptr, signal_tag::NONE}; };

  device->refuse_start = true;
  bool answer = true;
  EXPECT_NO_THROW(answer = device->register_callback(user_activity));
  EXPECT_FALSE(answer);
  EXPECT_NO_THROW(answer = device->send_command(overlay(60000)));
  EXPECT_FALSE(answer);
  const std::string refused =
      std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what();
  EXPECT_EQ(trace_.count("[runner] ERROR: " + refused), 2u) << trace_.dump();
  EXPECT_TRUE(winsim::machine::processes().empty());
  // Nothing was left half-started: there is nothing to stop.
  EXPECT_TRUE(device->send_command(command(output_signal::STOP_USER_ACTIVITY_PROCESS)));
  EXPECT_TRUE(device->send_command(command(output_signal::REMOVE_DIM_SCREEN_OVERLAY)));
  EXPECT_TRUE(trace_.contains("[runner] Dim overlay proc is not active. Cancecling  the removal process"));

  // Stopping a task that broke down logs what it ended with and still
  // leaves its event reset for the next run.
  device->refuse_start = false;
  trace_.clear();
  EXPECT_TRUE(device->send_command(overlay(30)));
  ASSERT_TRUE(trace_.wait_for_line("[runner] Dim done"));
  EXPECT_NO_THROW(answer = device->send_command(command(output_signal::REMOVE_DIM_SCREEN_OVERLAY)));
  EXPECT_TRUE(answer);
  EXPECT_TRUE(device->register_callback(user_activity));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));
  EXPECT_NO_THROW(answer = device->send_command(command(output_signal::STOP_USER_ACTIVITY_PROCESS)));
  EXPECT_TRUE(answer);
  EXPECT_EQ(trace_.count("[runner] ERROR: task broke down"), 2u) << trace_.dump();
  EXPECT_TRUE(trace_.contains("[runner] Event reset"));
  EXPECT_TRUE(trace_.contains("[runner] Activity Event reset"));
  EXPECT_TRUE(device->register_callback(user_activity));
  ASSERT_TRUE(wait_for([&] { return running("--monitor_activity") == 1; }));

  // The destructor's teardown takes the broken-down watcher's result too.
  device.reset();
  EXPECT_EQ(trace_.count("[runner] ERROR: task broke down"), 3u);
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
}

TEST_F(DeviceInterfaceTest, TeardownLeavesNoChildAndNoOpenEvent) {
  const size_t handles = winsim::machine::open_handle_count();
  {
    demo_helpers_leave_windows device;
    device.set_event_queue(queue_);
    device.register_callback(input_signal_package{input_signal::USER_ACTIVITY, {}, {}, nullptr, signal_tag::NONE});
    device.send_command(output_signal_package{output_signal::SHOW_DIM_SCREEN_OVERLAY, uint64_t{60000},
                                              signal_tag::NONE});
    ASSERT_TRUE(wait_for([] { return winsim::machine::running_process_count() == 2; }));
    EXPECT_GT(winsim::machine::open_handle_count(), handles);
    device.teardown();
    EXPECT_EQ(winsim::machine::open_handle_count(), handles);
    EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
    for (const char* line : {"[runner] [teardown] Enter", "[runner] [user_activity_teardown] Enter",
                             "[runner] [dim_screen_teardown] Enter", "[runner] Closing dim handle",
                             "[runner] Resetting Dim handlse", "[runner] [dim_screen_teardown] Exit"}) {
      EXPECT_TRUE(trace_.contains(line)) << line;
    }
    // Tasks can start again after a teardown; the destructor ends them too.
    device.register_callback(input_signal_package{input_signal::USER_ACTIVITY, {}, {}, nullptr, signal_tag::NONE});
    ASSERT_TRUE(wait_for([] { return winsim::machine::running_process_count() == 1; }));
  }
  EXPECT_EQ(winsim::machine::open_handle_count(), handles);
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_TRUE(events().empty());
}

}  // namespace
