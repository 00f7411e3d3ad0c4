// os_timer_manager_windows against the simulated power policies, and the
// simulated CallNtPowerInformation it relies on.
#include "device/os_timer_manager_windows.h"

#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace ostrel {
namespace {

using test::trace_capture;
using winsim::machine::video_timeout;

constexpr auto AC = SystemPowerPolicyAc;
constexpr auto DC = SystemPowerPolicyDc;

std::vector<std::pair<POWER_INFORMATION_LEVEL, DWORD>> writes() {
  std::vector<std::pair<POWER_INFORMATION_LEVEL, DWORD>> result;
  for (const auto& w : winsim::machine::power_policy_writes()) result.emplace_back(w.level, w.video_timeout);
  return result;
}

class OsTimerManagerTest : public ::testing::Test {
 protected:
  // Lines of one operation carry their source location; compare the rest.
  size_t logged(const std::string& text) { return trace_.count_containing("] " + text); }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
};

TEST_F(OsTimerManagerTest, ScreenOffStoresTheUserValuesAndRecoverPutsThemBack) {
  ASSERT_EQ(video_timeout(AC), 600u);
  ASSERT_EQ(video_timeout(DC), 300u);
  const SYSTEM_POWER_POLICY before = winsim::machine::power_policy(AC);
  os_timer_manager_windows timers;
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  EXPECT_EQ(video_timeout(AC), 1u);
  EXPECT_EQ(video_timeout(DC), 1u);
  EXPECT_EQ(logged("Storing video Timeout AC: 600\n"), 1u);
  EXPECT_EQ(logged("Storing video Timeout DC: 300\n"), 1u);
  EXPECT_EQ(logged("Setting video Timeout AC: 1\n \n"), 1u);
  // The whole record was written back with only the video time-out changed.
  SYSTEM_POWER_POLICY after = winsim::machine::power_policy(AC);
  after.VideoTimeout = before.VideoTimeout;
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

  ASSERT_TRUE(timers.reset_os_video_timers());
  EXPECT_EQ(video_timeout(AC), 600u);
  EXPECT_EQ(video_timeout(DC), 300u);
  EXPECT_EQ(logged("Video timer is 1 seconds. Reset required\n"), 2u);
  EXPECT_EQ(logged("Stored user setting available. Resetting video timer AC to 600\n \n"), 1u);
  EXPECT_EQ(logged("Stored user setting available. Resetting video timer DC to 300\n \n"), 1u);
  EXPECT_EQ(writes(), (decltype(writes()){{AC, 1}, {DC, 1}, {AC, 600}, {DC, 300}}));
  // Every line of the manager is an info line tagged "runner".
  for (const auto& e : trace_.events()) {
    EXPECT_EQ(e.message.rfind("[runner] ", 0), 0u) << e.message;
    EXPECT_EQ(e.level, 4) << e.message;
  }
  EXPECT_EQ(trace_.count("[runner] [turn_off_screen_with_os_timers] Enter"), 1u);
  EXPECT_EQ(trace_.count("[runner] [reset_os_video_timer] Enter Tag: AC"), 1u);
  EXPECT_EQ(trace_.count("[runner] [reset_os_video_timer] Enter Tag: DC"), 1u);
  EXPECT_EQ(trace_.count_containing(".cpp:"), trace_.count_containing("] [os_timer_manager_windows.cpp:"));
  EXPECT_EQ(trace_.count_containing("] [get_os_video_timer] Video Timeout value is set to: 600"), 1u);
}

TEST_F(OsTimerManagerTest, ASecondScreenOffKeepsTheFirstStoredValues) {
  os_timer_manager_windows timers;
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  EXPECT_EQ(logged("AC video timer is already overridden\n"), 1u);
  EXPECT_EQ(logged("DC video timer is already overridden\n"), 1u);
  EXPECT_EQ(logged("Storing video Timeout AC: 600\n"), 1u);
  EXPECT_EQ(writes(), (decltype(writes()){{AC, 1}, {DC, 1}, {AC, 1}, {DC, 1}}));
  ASSERT_TRUE(timers.reset_os_video_timers());
  EXPECT_EQ(video_timeout(AC), 600u);
  EXPECT_EQ(video_timeout(DC), 300u);
}

TEST_F(OsTimerManagerTest, AOneSecondTimeoutFoundAtStartIsReplacedByTheDefaults) {
  // Left over from a crash, or a user who really chose one second.
  winsim::machine::set_video_timeout(AC, 1);
  winsim::machine::set_video_timeout(DC, 1);
  os_timer_manager_windows timers;
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  EXPECT_EQ(trace_.count_containing("Storing video Timeout"), 0u);
  ASSERT_TRUE(timers.reset_os_video_timers());
  EXPECT_EQ(video_timeout(AC), 300u);
  EXPECT_EQ(video_timeout(DC), 180u);
  EXPECT_EQ(
      logged("Stored user setting not available. Resetting video timer to default values (AC: 5 min, DC: 3 min)\n"),
      2u);
}

TEST_F(OsTimerManagerTest, AUserChangeWhileOverriddenIsKept) {
  os_timer_manager_windows timers;
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  winsim::machine::set_video_timeout(AC, 900);
  ASSERT_TRUE(timers.reset_os_video_timers());
  EXPECT_EQ(video_timeout(AC), 900u);
  EXPECT_EQ(video_timeout(DC), 300u);
  EXPECT_EQ(logged("Video timer is 900 seconds. Reset not required\n"), 1u);
}

TEST_F(OsTimerManagerTest, AFailedDcOverrideWritesTheEventLogAndResetsBoth) {
  winsim::machine::fail_power_policy_write(DC, STATUS_ACCESS_DENIED, 1);
  os_timer_manager_windows timers;
  EXPECT_FALSE(timers.turn_off_screen_with_os_timers());
  EXPECT_EQ(logged("Failed to call media CallNtPowerInformation for setting Power Policy DC. Ret: -1073741790\n"), 1u);
  EXPECT_EQ(logged("Failed to override DC video timer\n"), 1u);
  EXPECT_EQ(logged("Failed to override AC video timer\n"), 0u);
  auto log = winsim::machine::event_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].event_id, 0x40020002u);
  EXPECT_EQ(log[0].type, 4);
  ASSERT_EQ(log[0].strings.size(), 2u);
  EXPECT_EQ(log[0].strings[1],
            "Failed to turn off screen with Win32 Video Timer API. Reseting OS timers to previous values\n");
  // Both were reset: AC to its stored value, DC was never changed.
  EXPECT_EQ(trace_.count("[runner] [reset_os_video_timer] Enter Tag: AC"), 1u);
  EXPECT_EQ(trace_.count("[runner] [reset_os_video_timer] Enter Tag: DC"), 1u);
  EXPECT_EQ(video_timeout(AC), 600u);
  EXPECT_EQ(video_timeout(DC), 300u);
}

TEST_F(OsTimerManagerTest, OnlyAcAndDcAreKnownTags) {
  os_timer_manager_windows timers;
  EXPECT_FALSE(timers.reset_os_video_timer(signal_tag::NONE));
  EXPECT_FALSE(timers.reset_os_video_timer(static_cast<signal_tag>(3)));
  EXPECT_EQ(logged("Resetting for signal tag NONE not supported\n"), 1u);
  EXPECT_EQ(logged("Resetting for signal tag UNKNOWN not supported\n"), 1u);
  EXPECT_FALSE(timers.get_os_video_timer(signal_tag::NONE).has_value());
  EXPECT_EQ(logged("WARNING: Invalid tag for getting Power Policy. Tag: NONE\n"), 1u);
  EXPECT_EQ(logged("WARNING: Failed to get Power Policy for NONE\n"), 1u);
  EXPECT_FALSE(timers.set_os_video_timer(static_cast<signal_tag>(3), 5));
  EXPECT_TRUE(writes().empty());
}

TEST_F(OsTimerManagerTest, ReadFailuresChangeNothing) {
  winsim::machine::fail_power_policy_read(AC, STATUS_ACCESS_DENIED, 1);
  os_timer_manager_windows timers;
  EXPECT_FALSE(timers.turn_off_screen_with_os_timers());
  EXPECT_EQ(logged("Failed to call media CallNtPowerInformation for getting Power Policy AC. Ret: -1073741790\n"), 1u);
  EXPECT_EQ(logged("Failed to get AC video timeout value\n"), 1u);
  EXPECT_EQ(logged("Failed to store video timers\n"), 1u);
  EXPECT_TRUE(writes().empty());

  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  winsim::machine::fail_power_policy_read(AC, STATUS_ACCESS_DENIED, 1);
  EXPECT_FALSE(timers.reset_os_video_timers());
  EXPECT_EQ(logged("ERROR: Failed to get user setting video timer AC. Will not reset\n"), 1u);
  EXPECT_EQ(logged("Failed to reset AC video timer\n"), 1u);
  EXPECT_EQ(video_timeout(AC), 1u);    // untouched
  EXPECT_EQ(video_timeout(DC), 300u);  // still attempted
}

TEST_F(OsTimerManagerTest, DestructionPutsTheUserValuesBack) {
  {
    os_timer_manager_windows timers;
    ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  }
  EXPECT_EQ(video_timeout(AC), 600u);
  EXPECT_EQ(video_timeout(DC), 300u);
  EXPECT_EQ(trace_.count("[runner] [~os_timer_manager_windows] Enter"), 1u);
}

// Removes the simulated power policy's hook when the test ends, however it ends.
class scoped_power_policy_hook {
 public:
  explicit scoped_power_policy_hook(winsim::machine::power_policy_hook hook) {
    winsim::machine::on_power_policy_call(std::move(hook));
  }
  ~scoped_power_policy_hook() { winsim::machine::on_power_policy_call(nullptr); }
  scoped_power_policy_hook(const scoped_power_policy_hook&) = delete;
  scoped_power_policy_hook& operator=(const scoped_power_policy_hook&) = delete;
};

TEST_F(OsTimerManagerTest, ScreenOffAndRecoverFromTwoThreadsNeverMixTheirSteps) {
  os_timer_manager_windows timers;
  // Free-running first, for the race detectors.
  std::thread watcher([&] {
    for (int i = 0; i < 100; ++i) timers.reset_os_video_timers();
  });
  for (int i = 0; i < 100; ++i) timers.turn_off_screen_with_os_timers();
  watcher.join();

  // Then the gap that matters, made certain: a restore is held between its
  // AC and DC steps while a screen-off is started. Unserialised, the
  // screen-off runs in that gap and the restore then puts DC back alone:
  // AC stays overridden, DC does not. Serialised, the screen-off waits for
  // the restore and both end overridden. The hold is how long a screen-off
  // gets to slip in (it needs a few milliseconds); a longer stall only
  // hides the fault, it cannot fail correct code.
  constexpr auto hold = std::chrono::milliseconds(300);
  ASSERT_TRUE(timers.turn_off_screen_with_os_timers());
  std::atomic<bool> armed{true};
  std::atomic<bool> restore_held{false};
  std::atomic<bool> screen_off_done{false};
  {
    scoped_power_policy_hook hook([&](POWER_INFORMATION_LEVEL level, bool write) {
      if (level != DC || write || !armed.exchange(false)) return;
      restore_held = true;
      test::wait_for([&] { return screen_off_done.load(); }, hold);
    });
    auto restore = std::async(std::launch::async, [&] { return timers.reset_os_video_timers(); });
    EXPECT_TRUE(test::wait_for([&] { return restore_held.load(); }));
    auto screen_off = std::async(std::launch::async, [&] {
      const bool ok = timers.turn_off_screen_with_os_timers();
      screen_off_done = true;
      return ok;
    });
    EXPECT_TRUE(restore.get());
    EXPECT_TRUE(screen_off.get());
  }
  EXPECT_EQ(video_timeout(AC), 1u);
  EXPECT_EQ(video_timeout(DC), 1u);

  // Nothing along the way stored a 1 as the user's value.
  ASSERT_TRUE(timers.reset_os_video_timers());
  EXPECT_EQ(video_timeout(AC), 600u);
  EXPECT_EQ(video_timeout(DC), 300u);
}

TEST(PowerPolicyTest, CallNtPowerInformationReadsAndWritesWholeRecords) {
  winsim::machine::scoped_machine machine;
  EXPECT_EQ(sizeof(SYSTEM_POWER_POLICY), 232u);
  EXPECT_EQ(offsetof(SYSTEM_POWER_POLICY, VideoTimeout), 192u);
  EXPECT_EQ(offsetof(SYSTEM_POWER_POLICY, IdleTimeout), 60u);

  SYSTEM_POWER_POLICY policy;
  std::memset(&policy, 0xde, sizeof policy);
  ASSERT_EQ(CallNtPowerInformation(SystemPowerPolicyDc, nullptr, 0, &policy, sizeof policy), STATUS_SUCCESS);
  EXPECT_EQ(policy.VideoTimeout, 300u);
  EXPECT_EQ(policy.IdleTimeout, 900u);
  EXPECT_EQ(CallNtPowerInformation(SystemPowerPolicyDc, nullptr, 0, &policy, sizeof policy - 1),
            STATUS_BUFFER_TOO_SMALL);
  policy.VideoTimeout = 42;
  ASSERT_EQ(CallNtPowerInformation(SystemPowerPolicyDc, &policy, sizeof policy, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyDc), 42u);
  EXPECT_EQ(winsim::machine::video_timeout(SystemPowerPolicyAc), 600u);

  // The current policy is that of the power source in use.
  ASSERT_EQ(CallNtPowerInformation(SystemPowerPolicyCurrent, nullptr, 0, &policy, sizeof policy), STATUS_SUCCESS);
  EXPECT_EQ(policy.VideoTimeout, 600u);
  winsim::machine::set_ac_line_status(AC_LINE_OFFLINE);
  ASSERT_EQ(CallNtPowerInformation(SystemPowerPolicyCurrent, nullptr, 0, &policy, sizeof policy), STATUS_SUCCESS);
  EXPECT_EQ(policy.VideoTimeout, 42u);

  ULONG state = 0xdeadbeef;
  ASSERT_EQ(CallNtPowerInformation(SystemExecutionState, nullptr, 0, &state, sizeof state), STATUS_SUCCESS);
  EXPECT_EQ(state, 0u);
  winsim::machine::set_system_execution_state(ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED);
  ASSERT_EQ(CallNtPowerInformation(SystemExecutionState, nullptr, 0, &state, sizeof state), STATUS_SUCCESS);
  EXPECT_EQ(state, static_cast<ULONG>(ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED));
  EXPECT_EQ(CallNtPowerInformation(SystemExecutionState, nullptr, 0, &state, 2), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(CallNtPowerInformation(SystemBatteryState, nullptr, 0, &policy, sizeof policy), STATUS_NOT_IMPLEMENTED);
}

}  // namespace
}  // namespace ostrel
