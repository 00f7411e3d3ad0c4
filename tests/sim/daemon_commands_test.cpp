// The daemon's command line, run as the service runs it: one child process
// per action on the simulated desktop, checked by exit code, both output
// streams and the desktop journal.
#include "daemon_process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winsim/machine.h>
#include <wtsapi32.h>

#include <cstddef>
#include <vector>

namespace ostrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using winsim::machine::desktop_journal_texts;

constexpr char no_lcd[] = "Invalid handle: The system cannot find the file specified.\r\n\n";

class DaemonCommandsTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
};

TEST_F(DaemonCommandsTest, NoOptionDoesNothing) {
  EXPECT_EQ(run_daemon({}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), IsEmpty());
}

TEST_F(DaemonCommandsTest, ExecutionStateOptionsSetTheirFlagsAndFailWithTheCall) {
  EXPECT_EQ(run_daemon({"--stayin_alive"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(run_daemon({"-y"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(run_daemon({"--away_mode"}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("execution_state 0x80000003", "execution_state 0x00000001",
                                                   "execution_state 0x80000040"));

  winsim::machine::fail_desktop_call("SetThreadExecutionState", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(run_daemon({"-s"}), (daemon_result{1, "", ""}));
  EXPECT_EQ(run_daemon({"--system_required"}), (daemon_result{1, "", ""}));
  EXPECT_EQ(run_daemon({"-a"}), (daemon_result{1, "", ""}));
  EXPECT_EQ(desktop_journal_texts().size(), 3u);
}

TEST_F(DaemonCommandsTest, OnlyTheLastRecordedActionIsCarriedOut) {
  EXPECT_EQ(run_daemon({"--lock_screen", "--stayin_alive"}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("execution_state 0x80000003"));
  EXPECT_FALSE(winsim::machine::session_locked());

  // A brightness value is checked even when a later action replaces it.
  EXPECT_EQ(run_daemon({"-d", "101", "-l"}), (daemon_result{1, "", "Brightness must be in range 0-100, got: 101\n"}));
  EXPECT_FALSE(winsim::machine::session_locked());
}

TEST_F(DaemonCommandsTest, LockAndDisplayOff) {
  EXPECT_EQ(run_daemon({"--lock_screen"}), (daemon_result{0, "", ""}));
  EXPECT_TRUE(winsim::machine::session_locked());
  EXPECT_EQ(run_daemon({"--turn_off_display"}), (daemon_result{0, "", ""}));
  EXPECT_FALSE(winsim::machine::display_on());
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("lock_workstation", "monitor_power off"));

  // The lock's result is not examined (Wine's LockWorkStation fails with 120).
  winsim::machine::fail_desktop_call("LockWorkStation", ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_EQ(run_daemon({"-l"}), (daemon_result{0, "", ""}));

  // Locking first, then the display: a display-off that cannot be posted fails the run.
  winsim::machine::fail_desktop_call("LockWorkStation", 0, 0);
  winsim::machine::set_session_locked(false);
  winsim::machine::set_display_on(true);
  EXPECT_EQ(run_daemon({"--turn_off_display_and_lock"}), (daemon_result{0, "", ""}));
  EXPECT_TRUE(winsim::machine::session_locked());
  EXPECT_FALSE(winsim::machine::display_on());
  winsim::machine::fail_desktop_call("PostMessageA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(run_daemon({"-f"}), (daemon_result{1, "", ""}));
  EXPECT_EQ(run_daemon({"-t"}), (daemon_result{1, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("lock_workstation", "monitor_power off", "lock_workstation",
                                                   "monitor_power off", "lock_workstation"));
}

TEST_F(DaemonCommandsTest, BrightnessIsReadAndSetWithinItsRange) {
  EXPECT_EQ(run_daemon({"--get_brightness"}), (daemon_result{0, "100", ""}));
  winsim::machine::set_lcd_brightness(35, 80);
  EXPECT_EQ(run_daemon({"-g"}), (daemon_result{0, "35", ""}));

  EXPECT_EQ(run_daemon({"--set_brightness", "40"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(winsim::machine::lcd().ac, 40);
  EXPECT_EQ(winsim::machine::lcd().dc, 40);
  EXPECT_EQ(run_daemon({"-d", "  +7xyz"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(run_daemon({"--set_brightness", "abc"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(winsim::machine::lcd().ac, 0);
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("brightness policy=0 ac=40 dc=40", "brightness policy=0 ac=7 dc=7",
                                                   "brightness policy=0 ac=0 dc=0"));

  const std::string range = "Brightness must be in range 0-100, got: ";
  EXPECT_EQ(run_daemon({"--set_brightness", "101"}), (daemon_result{1, "", range + "101\n"}));
  EXPECT_EQ(run_daemon({"-x", "-1"}), (daemon_result{1, "", range + "-1\n"}));
  EXPECT_EQ(run_daemon({"-z", "4294967295"}), (daemon_result{1, "", range + "2147483647\n"}));
  EXPECT_EQ(desktop_journal_texts().size(), 3u);

  // The driver's refusal is reported with the system's text.
  winsim::machine::fail_desktop_call("DeviceIoControl", ERROR_GEN_FAILURE);
  const std::string device = "A device attached to the system is not functioning.\r\n\n";
  EXPECT_EQ(run_daemon({"-g"}), (daemon_result{1, "", "Failed to get brightness: " + device}));
  EXPECT_EQ(run_daemon({"-d", "5"}), (daemon_result{1, "", "Failed to set brightness: " + device}));
}

TEST_F(DaemonCommandsTest, BrightnessWithoutAnLcdFails) {
  winsim::machine::remove_lcd();
  EXPECT_EQ(run_daemon({"--get_brightness"}), (daemon_result{1, "", no_lcd}));
  EXPECT_EQ(run_daemon({"--set_brightness", "10"}), (daemon_result{1, "", no_lcd}));
  // The dim-and actions go on without it.
  EXPECT_EQ(run_daemon({"--dim_and_lock", "10"}), (daemon_result{0, "", no_lcd}));
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("monitor_power off", "lock_workstation"));
}

TEST_F(DaemonCommandsTest, DimAndActionsTurnTheDisplayOffThenSetBrightness) {
  EXPECT_EQ(run_daemon({"-x", "30"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(run_daemon({"--dim_and_lock=20"}), (daemon_result{0, "", ""}));
  const auto journal = winsim::machine::desktop_journal();
  std::vector<std::string> texts;
  for (const auto& entry : journal) texts.push_back(entry.text);
  EXPECT_THAT(texts, ElementsAre("monitor_power off", "brightness policy=0 ac=30 dc=30", "monitor_power off",
                                 "brightness policy=0 ac=20 dc=20", "lock_workstation"));
  ASSERT_EQ(journal.size(), 5u);
  // The display gets 200 ms to go dark before the brightness changes.
  EXPECT_GE(journal[1].time_ms - journal[0].time_ms, 200u);
  EXPECT_GE(journal[3].time_ms - journal[2].time_ms, 200u);
  EXPECT_TRUE(winsim::machine::session_locked());
}

TEST_F(DaemonCommandsTest, ExternalDisplayNeedsMoreThanOnePhysicalMonitor) {
  const daemon_result none{1, "No external display detected\n", ""};
  const daemon_result external{0, "Has external display\n", ""};
  EXPECT_EQ(run_daemon({"--has_external_display"}), none);
  winsim::machine::set_physical_monitors({1, 1});
  EXPECT_EQ(run_daemon({"-e"}), external);
  winsim::machine::set_physical_monitors({2});
  EXPECT_EQ(run_daemon({"-e"}), external);
  winsim::machine::set_physical_monitors({});
  EXPECT_EQ(run_daemon({"-e"}), none);
  // A monitor that cannot be asked counts none; the others still count.
  winsim::machine::set_physical_monitors({1, 1});
  winsim::machine::fail_desktop_call("GetNumberOfPhysicalMonitorsFromHMONITOR", ERROR_CALL_NOT_IMPLEMENTED, 1);
  EXPECT_EQ(run_daemon({"-e"}), none);
  winsim::machine::set_physical_monitors({1, 2});
  winsim::machine::fail_desktop_call("GetNumberOfPhysicalMonitorsFromHMONITOR", ERROR_CALL_NOT_IMPLEMENTED, 1);
  EXPECT_EQ(run_daemon({"-e"}), external);
}

TEST_F(DaemonCommandsTest, SessionLockedQueryPrintsItsTraceLines) {
  const std::string found = "pWTSQuerySessionInformation\npWTSFreeMemory\npWTSQuerySessionInformation\nppBuffer\n";
  EXPECT_EQ(run_daemon({"--is_session_locked"}), (daemon_result{1, found + "Is not locked\n", ""}));
  winsim::machine::set_session_locked(true);
  EXPECT_EQ(run_daemon({"-k"}), (daemon_result{0, found + "f( dwFlags == 0 \nIs locked\n", ""}));

  // Whatever cannot be found or asked answers "not locked".
  winsim::machine::fail_desktop_call("LoadLibraryA", ERROR_MOD_NOT_FOUND, 1);
  EXPECT_EQ(run_daemon({"-k"}), (daemon_result{1, "Is not locked\n", ""}));
  winsim::machine::fail_desktop_call("GetProcAddress:WTSFreeMemory", ERROR_PROC_NOT_FOUND, 1);
  EXPECT_EQ(run_daemon({"-k"}), (daemon_result{1, "pWTSQuerySessionInformation\nIs not locked\n", ""}));
  winsim::machine::fail_desktop_call("WTSQuerySessionInformationW", ERROR_NOT_SUPPORTED, 1);
  EXPECT_EQ(run_daemon({"-k"}),
            (daemon_result{1, "pWTSQuerySessionInformation\npWTSFreeMemory\nIs not locked\n", ""}));
  winsim::machine::set_console_session_id(0xFFFFFFFF);
  EXPECT_EQ(run_daemon({"-k"}),
            (daemon_result{1, "pWTSQuerySessionInformation\npWTSFreeMemory\nIs not locked\n", ""}));
}

// The record comes from the system and may be shorter than the layout or of
// another level; the daemon reads no byte past what the system returned (the
// sanitizer builds report any such read).
TEST_F(DaemonCommandsTest, SessionRecordIsReadOnlyAsFarAsTheSystemFilledIt) {
  const std::string queried = "pWTSQuerySessionInformation\npWTSFreeMemory\npWTSQuerySessionInformation\n";
  const daemon_result not_locked{1, queried + "Is not locked\n", ""};
  const daemon_result level1_not_locked{1, queried + "ppBuffer\nIs not locked\n", ""};
  const daemon_result level1_locked{0, queried + "ppBuffer\nf( dwFlags == 0 \nIs locked\n", ""};
  const daemon_result other_level{0, queried + "f( dwFlags == 0 \nIs locked\n", ""};
  constexpr size_t flags_end = offsetof(WTSINFOEXW, Data) + offsetof(WTSINFOEX_LEVEL1_W, SessionFlags) + 4;

  // Locked, so that a flags field read past a cut record would show as 0 ("locked") or as garbage.
  winsim::machine::set_session_locked(true);
  const std::vector<unsigned char> full = winsim::machine::session_info_record();
  ASSERT_EQ(full.size(), sizeof(WTSINFOEXW));
  const auto cut = [&full](size_t size) { return std::vector<unsigned char>(full.begin(), full.begin() + size); };

  winsim::machine::set_session_info_record(cut(flags_end));
  EXPECT_EQ(run_daemon({"-k"}), level1_locked);
  winsim::machine::set_session_info_record(cut(flags_end - 1));
  EXPECT_EQ(run_daemon({"-k"}), level1_not_locked);
  winsim::machine::set_session_info_record(cut(sizeof(DWORD)));
  EXPECT_EQ(run_daemon({"-k"}), level1_not_locked);
  winsim::machine::set_session_info_record(cut(sizeof(DWORD) - 1));
  EXPECT_EQ(run_daemon({"-k"}), not_locked);
  winsim::machine::set_session_info_record({});
  EXPECT_EQ(run_daemon({"-k"}), not_locked);

  // Any level but 1 answers "locked", whatever follows and however short.
  std::vector<unsigned char> level2 = full;
  level2[0] = 2;
  level2[flags_end - 4] = WTS_SESSIONSTATE_UNLOCK;
  winsim::machine::set_session_info_record(level2);
  EXPECT_EQ(run_daemon({"-k"}), other_level);
  level2.resize(sizeof(DWORD));
  winsim::machine::set_session_info_record(level2);
  EXPECT_EQ(run_daemon({"-k"}), other_level);

  winsim::machine::clear_session_info_record();
  winsim::machine::set_session_locked(false);
  EXPECT_EQ(run_daemon({"-k"}), level1_not_locked);
}

TEST_F(DaemonCommandsTest, RemoteSessionQuery) {
  EXPECT_EQ(run_daemon({"--remote_session"}), (daemon_result{1, "Is not remote\n", ""}));
  winsim::machine::set_remote_session(true);
  EXPECT_EQ(run_daemon({"-r"}), (daemon_result{0, "Is remote\n", ""}));
}

TEST_F(DaemonCommandsTest, RejectedOptionsPrintTheDiagnosticAndInvalidInput) {
  const std::string invalid = "Invalid input: 63\n";
  const std::string name = "ostrel_service_daemon: ";
  EXPECT_EQ(run_daemon({"--no_such_option"}), (daemon_result{1, invalid, name + "unknown option -- no_such_option\n"}));
  EXPECT_EQ(run_daemon({"--dim"}), (daemon_result{1, invalid, name + "ambiguous option -- dim\n"}));
  EXPECT_EQ(run_daemon({"--set_brightness"}),
            (daemon_result{1, invalid, name + "option requires an argument -- set_brightness\n"}));
  EXPECT_EQ(run_daemon({"-b"}), (daemon_result{1, invalid, name + "option requires an argument -- b\n"}));
  EXPECT_EQ(run_daemon({"-q"}), (daemon_result{1, invalid, name + "unknown option -- q\n"}));
  EXPECT_EQ(run_daemon({"--lock_screen=now"}),
            (daemon_result{1, invalid, name + "option doesn't take an argument -- lock_screen\n"}));
  // Nothing recorded before the rejected option is carried out.
  EXPECT_EQ(run_daemon({"-l", "-q"}), (daemon_result{1, invalid, name + "unknown option -- q\n"}));
  EXPECT_THAT(desktop_journal_texts(), IsEmpty());

  // A unique prefix selects its option.
  EXPECT_EQ(run_daemon({"--get"}), (daemon_result{0, "100", ""}));
}

TEST_F(DaemonCommandsTest, OptionsAfterNonOptionsCountUnlessPosixlyCorrect) {
  EXPECT_EQ(run_daemon({"stray", "--lock_screen"}, {"POSIXLY_CORRECT=1"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(run_daemon({"--", "--lock_screen"}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), IsEmpty());
  EXPECT_EQ(run_daemon({"stray", "--lock_screen"}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(), ElementsAre("lock_workstation"));
}

}  // namespace
}  // namespace ostrel::test
