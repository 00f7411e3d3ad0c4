#include "common/process_flags.h"
#include "host/service_control_handler.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>
#include <future>
#include <mutex>
#include <vector>

namespace ostrel {
namespace {

using test::trace_capture;
using test::wait_for;

class ControlHandlerTest : public ::testing::Test {
 protected:
  ControlHandlerTest() {
    reset_flags();
    queue_->set_event_callback([this](events_t event) {
      std::lock_guard<std::mutex> lock(mutex_);
      delivered_.push_back(event);
    });
  }
  ~ControlHandlerTest() override { reset_flags(); }

  static void reset_flags() {
    stop_requested = false;
    reload_requested = false;
    display_on = true;
    plugged_in = true;
    debug_mode = false;
  }

  DWORD handle(DWORD control, DWORD event_type, void* data = nullptr) {
    return service_control_handler(*queue_, control, event_type, data);
  }

  DWORD power_setting(const GUID& setting, DWORD value) {
    auto data = winsim::machine::power_setting_data(setting, &value, sizeof(value));
    return handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, data.data());
  }

  // Every event pushed since the last call, in push order.
  std::vector<events_t> pushed() {
    while (queue_->process_next_event()) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(delivered_, {});
  }

  // The ETW level the line was written at (0 when absent).
  int level_of(const std::string& line) const {
    for (const auto& event : capture_.events()) {
      if (event.message == line) return event.level;
    }
    return 0;
  }

  winsim::machine::scoped_machine machine_;
  trace_capture capture_{0};
  std::shared_ptr<event_queue> queue_ = std::make_shared<event_queue>();
  std::mutex mutex_;
  std::vector<events_t> delivered_;
};

constexpr int etw_debug = 5;
constexpr int etw_info = 4;
constexpr int etw_error = 2;

TEST_F(ControlHandlerTest, StopSetsTheFlagWakesTheDelayWaitAndEndsTheEventLoop) {
  // The loop is running (it has delivered an event) when STOP arrives.
  auto loop = std::async(std::launch::async, [this] { queue_->process_events(); });
  queue_->add_event(USER_IS_ACTIVE);
  ASSERT_TRUE(wait_for([this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return !delivered_.empty();
  }));

  std::mutex wait_mutex;
  bool waiting = false;
  // True when a notify (not the deadline) ended the wait with the flag set;
  // a spurious wake-up only waits again.
  auto waiter = std::async(std::launch::async, [&] {
    std::unique_lock<std::mutex> lock(wait_mutex);
    waiting = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stop_requested) {
      if (start_delay_wait.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
    return true;
  });
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard<std::mutex> lock(wait_mutex);
    return waiting;
  }));
  {
    // Holding the waiter's mutex: it is inside wait(), so only the notify can wake it.
    std::lock_guard<std::mutex> lock(wait_mutex);
    EXPECT_EQ(handle(SERVICE_CONTROL_STOP, 0), 0u);
  }
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(loop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(stop_requested);
  EXPECT_TRUE(capture_.contains("[runner] service_control_handler: SERVICE_CONTROL_STOP \n"));
  EXPECT_EQ(level_of("[runner] service_control_handler: SERVICE_CONTROL_STOP \n"), etw_debug);

  // QUIT discards what is pending and is not delivered itself.
  pushed();
  queue_->add_event(SESSION_LOCK);
  handle(SERVICE_CONTROL_STOP, 0);
  EXPECT_TRUE(pushed().empty());
}

TEST_F(ControlHandlerTest, PowerStatusChangeReloadsOnlyWhenTheSourceChanges) {
  const std::string event_line = "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMPOWERSTATUSCHANGE\n";
  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);
  EXPECT_EQ(handle(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE), 0u);
  EXPECT_FALSE(plugged_in);
  EXPECT_TRUE(reload_requested);
  EXPECT_EQ(pushed(), std::vector<events_t>{RELOAD});
  EXPECT_EQ(capture_.messages(), (std::vector<std::string>{event_line, "[runner] Power status: Switching to DC\n"}));
  EXPECT_EQ(level_of(event_line), etw_info);
  EXPECT_EQ(level_of("[runner] Power status: Switching to DC\n"), etw_debug);

  // No change: logged, nothing else.
  capture_.clear();
  reload_requested = false;
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE);
  EXPECT_FALSE(plugged_in);
  EXPECT_FALSE(reload_requested);
  EXPECT_TRUE(pushed().empty());
  EXPECT_EQ(capture_.messages(), (std::vector<std::string>{event_line, "[runner] Power status: Already on DC\n"}));
  EXPECT_EQ(level_of("[runner] Power status: Already on DC\n"), etw_debug);

  // An unknown AC line status counts as mains power.
  capture_.clear();
  winsim::machine::set_ac_line_status(AC_LINE_UNKNOWN);
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE);
  EXPECT_TRUE(plugged_in);
  EXPECT_TRUE(reload_requested);
  EXPECT_EQ(pushed(), std::vector<events_t>{RELOAD});
  EXPECT_TRUE(capture_.contains("[runner] Power status: Switching to AC\n"));

  // A failed query keeps the source we know: no reload, however the line stands.
  capture_.clear();
  reload_requested = false;
  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);
  winsim::machine::fail_call("GetSystemPowerStatus", ERROR_GEN_FAILURE, 1);
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE);
  EXPECT_TRUE(plugged_in);
  EXPECT_FALSE(reload_requested);
  EXPECT_TRUE(pushed().empty());
  EXPECT_EQ(capture_.messages(), (std::vector<std::string>{event_line, "[runner] Failed to get system power status\n",
                                                           "[runner] Power status: Already on AC\n"}));
  EXPECT_EQ(level_of("[runner] Failed to get system power status\n"), etw_error);
}

TEST_F(ControlHandlerTest, ConsoleDisplayStateTurnsIntoDisplayEvents) {
  EXPECT_EQ(power_setting(GUID_CONSOLE_DISPLAY_STATE, 0), 0u);
  EXPECT_EQ(pushed(), std::vector<events_t>{DISPLAY_OFF});
  EXPECT_FALSE(display_on);
  EXPECT_EQ(capture_.messages(),
            (std::vector<std::string>{
                "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_POWERSETTINGCHANGE\n",
                "[runner] Power setting: GUID_CONSOLE_DISPLAY_STATE\n", "[runner] Data value: 0\n"}));
  for (const auto& event : capture_.events()) EXPECT_EQ(event.level, etw_info) << event.message;

  // Dimmed: logged and ignored.
  capture_.clear();
  power_setting(GUID_CONSOLE_DISPLAY_STATE, 2);
  EXPECT_TRUE(pushed().empty());
  EXPECT_FALSE(display_on);
  EXPECT_TRUE(capture_.contains("[runner] Data value: 2\n"));

  power_setting(GUID_CONSOLE_DISPLAY_STATE, 1);
  EXPECT_EQ(pushed(), std::vector<events_t>{DISPLAY_ON});
  EXPECT_TRUE(display_on);

  // Only the first DWORD counts, and a shorter setting is read no further
  // than its length (the buffer ends right after its one byte).
  BYTE one = 0;
  auto short_data = winsim::machine::power_setting_data(GUID_CONSOLE_DISPLAY_STATE, &one, 1);
  ASSERT_EQ(short_data.size(), 21u);
  capture_.clear();
  handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, short_data.data());
  EXPECT_EQ(pushed(), std::vector<events_t>{DISPLAY_OFF});
  EXPECT_TRUE(capture_.contains("[runner] Data value: 0\n"));
}

TEST_F(ControlHandlerTest, OtherPowerSettingsAreNamedAndProduceNoEvent) {
  const GUID unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  const std::vector<std::pair<GUID, std::string>> settings = {
      {GUID_ACDC_POWER_SOURCE, "GUID_ACDC_POWER_SOURCE"},
      {GUID_BATTERY_PERCENTAGE_REMAINING, "GUID_BATTERY_PERCENTAGE_REMAINING"},
      {GUID_MONITOR_POWER_ON, "GUID_MONITOR_POWER_ON"},
      {GUID_SESSION_DISPLAY_STATUS, "GUID_SESSION_DISPLAY_STATUS"},
      {GUID_SYSTEM_AWAYMODE, "GUID_SYSTEM_AWAYMODE"},
      {GUID_LIDSWITCH_STATE_CHANGE, "GUID_LIDSWITCH_STATE_CHANGE "},  // final blank included
      {unknown, "Unknown GUID"},
  };
  for (const auto& [setting, name] : settings) {
    capture_.clear();
    // 0 and 1 are the display's values; they must not count for other settings.
    power_setting(setting, 0);
    power_setting(setting, 1);
    EXPECT_EQ(capture_.count("[runner] Power setting: " + name + "\n"), 2u) << name;
    EXPECT_TRUE(pushed().empty()) << name;
  }
  EXPECT_TRUE(display_on);
  EXPECT_STREQ(power_setting_name(GUID_CONSOLE_DISPLAY_STATE), "GUID_CONSOLE_DISPLAY_STATE");
}

TEST_F(ControlHandlerTest, SuspendResumeAndUnknownPowerEventsAreOnlyLogged) {
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
  handle(SERVICE_CONTROL_POWEREVENT, PBT_APMBATTERYLOW);
  EXPECT_EQ(capture_.messages(),
            (std::vector<std::string>{
                "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMSUSPEND\n",
                "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMRESUMESUSPEND\n",
                "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMRESUMEAUTOMATIC\n",
                "[runner] service_control_handler, SERVICE_CONTROL_POWEREVENT -> default: 9\n"}));
  for (const auto& event : capture_.events()) EXPECT_EQ(event.level, etw_info) << event.message;
  EXPECT_TRUE(pushed().empty());
  EXPECT_FALSE(reload_requested);
  EXPECT_TRUE(plugged_in);
}

TEST_F(ControlHandlerTest, SessionChangesPushTheirEvents) {
  struct row {
    DWORD type;
    const char* name;
    std::vector<events_t> events;
  };
  const row rows[] = {
      {WTS_CONSOLE_CONNECT, "WTS_CONSOLE_CONNECT", {}},
      {WTS_CONSOLE_DISCONNECT, "WTS_CONSOLE_DISCONNECT", {}},
      {WTS_REMOTE_CONNECT, "WTS_REMOTE_CONNECT", {REMOTE_DESKTOP}},
      {WTS_REMOTE_DISCONNECT, "WTS_REMOTE_DISCONNECT", {NOT_REMOTE_DESKTOP}},
      {WTS_SESSION_LOGON, "WTS_SESSION_LOGON", {SESSION_UNLOCK}},
      {WTS_SESSION_LOGOFF, "WTS_SESSION_LOGOFF", {SESSION_LOCK}},
      {WTS_SESSION_LOCK, "WTS_SESSION_LOCK", {SESSION_LOCK}},
      {WTS_SESSION_UNLOCK, "WTS_SESSION_UNLOCK", {SESSION_UNLOCK}},
      {WTS_SESSION_REMOTE_CONTROL, "WTS_SESSION_REMOTE_CONTROL", {REMOTE_DESKTOP}},
  };
  for (const auto& r : rows) {
    capture_.clear();
    WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), 1};
    EXPECT_EQ(handle(SERVICE_CONTROL_SESSIONCHANGE, r.type, &notification), 0u);
    const std::string line =
        std::string("[runner] service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> ") + r.name + "\n";
    EXPECT_EQ(capture_.messages(), std::vector<std::string>{line});
    EXPECT_EQ(level_of(line), etw_debug);
    EXPECT_EQ(pushed(), r.events) << r.name;
  }

  capture_.clear();
  handle(SERVICE_CONTROL_SESSIONCHANGE, 0);
  handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_CREATE);
  EXPECT_EQ(capture_.messages(),
            (std::vector<std::string>{"[runner] service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> default:0\n",
                                      "[runner] service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> default:10\n"}));
  EXPECT_EQ(level_of("[runner] service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> default:0\n"), etw_debug);
  EXPECT_TRUE(pushed().empty());
}

TEST_F(ControlHandlerTest, OtherControlsDoNothing) {
  const DWORD controls[] = {SERVICE_CONTROL_SHUTDOWN,    SERVICE_CONTROL_PAUSE,
                            SERVICE_CONTROL_CONTINUE,    SERVICE_CONTROL_INTERROGATE,
                            SERVICE_CONTROL_HARDWAREPROFILECHANGE, 200};
  for (DWORD control : controls) {
    EXPECT_EQ(handle(control, 0), 0u);
  }
  EXPECT_TRUE(capture_.messages().empty());
  EXPECT_TRUE(pushed().empty());
  EXPECT_FALSE(stop_requested);
  EXPECT_FALSE(reload_requested);
  EXPECT_TRUE(display_on);
  EXPECT_TRUE(plugged_in);
}

TEST_F(ControlHandlerTest, MakeCallbackBindsAndKeepsItsQueue) {
  std::weak_ptr<event_queue> weak = queue_;
  auto callback = make_callback(queue_);
  queue_.reset();
  EXPECT_FALSE(weak.expired());  // the callback keeps it
  callback(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, nullptr);
  queue_ = weak.lock();
  ASSERT_NE(queue_, nullptr);
  EXPECT_EQ(pushed(), std::vector<events_t>{SESSION_LOCK});

  queue_.reset();
  callback = nullptr;
  EXPECT_TRUE(weak.expired());
  EXPECT_THROW(make_callback(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace ostrel
