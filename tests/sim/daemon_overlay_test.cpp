// The daemon's long runs: the dim overlay and the activity monitor, as child
// processes on the simulated desktop.
#include "daemon_process.h"
#include "wait_for.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <algorithm>
#include <cstdio>

namespace ostrel::test {
namespace {

using ::testing::ElementsAre;
using winsim::machine::desktop_entry;
using winsim::machine::desktop_journal_texts;
using std::chrono::milliseconds;

const std::string overlay_class = "class=KeltDimOverlayWindow";
const std::string overlay_created = "window_created " + overlay_class + " ex_style=0x080800a8 style=0x80000000";
// Class without background, layered at 200 of 255, shown maximised.
const std::string overlay_shown = "window_shown " + overlay_class +
                                  " class_style=0x00000003 background=none ex_style=0x080800a8 style=0x80000000"
                                  " alpha=200 show=3";
const std::string overlay_painted = "window_painted " + overlay_class + " background=none";
const std::string overlay_destroyed = "window_destroyed " + overlay_class;

class DaemonOverlayTest : public ::testing::Test {
 protected:
  static bool journal_has(const std::string& text) {
    const auto texts = desktop_journal_texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

  static desktop_entry entry(const std::string& text) {
    for (const auto& e : winsim::machine::desktop_journal()) {
      if (e.text == text) return e;
    }
    return {};
  }

  winsim::machine::scoped_machine machine_;
};

TEST_F(DaemonOverlayTest, ZeroMillisecondsShowsPaintsAndDestroysTheOverlay) {
  EXPECT_EQ(run_daemon({"--dim_screen", "0"}), (daemon_result{0, "", ""}));
  // Painted: the waiting thread dispatches its window messages.
  EXPECT_THAT(desktop_journal_texts(), ElementsAre(overlay_created, overlay_shown, overlay_painted, overlay_destroyed));
  EXPECT_EQ(winsim::machine::open_window_count(), 0u);

  // Two overlays in one run each show.
  EXPECT_EQ(run_daemon({"-b0", "-b", "abc"}), (daemon_result{0, "", ""}));
  EXPECT_EQ(desktop_journal_texts().size(), 12u);
}

TEST_F(DaemonOverlayTest, OverlayStaysForItsTimeThenTheNextOptionRuns) {
  EXPECT_EQ(run_daemon({"--dim_screen", "500", "--lock_screen"}), (daemon_result{0, "", ""}));
  EXPECT_THAT(desktop_journal_texts(),
              ElementsAre(overlay_created, overlay_shown, overlay_painted, overlay_destroyed, "lock_workstation"));
  const auto shown = entry(overlay_shown).time_ms;
  const auto destroyed = entry(overlay_destroyed).time_ms;
  EXPECT_GE(destroyed - shown, 495u);
  EXPECT_LT(destroyed - shown, 1500u);
  EXPECT_TRUE(winsim::machine::session_locked());
}

TEST_F(DaemonOverlayTest, BrightenScreenFromASecondDaemonEndsTheOverlayAtOnce) {
  daemon_process overlay({"--dim_screen", "2000"});
  ASSERT_TRUE(wait_for([] { return journal_has(overlay_painted); }));
  EXPECT_EQ(winsim::machine::open_window_count(), 1u);

  daemon_process brighten({"--brighten_screen"});
  ASSERT_TRUE(brighten.wait());
  EXPECT_EQ(brighten.exit_code(), 0);
  EXPECT_EQ(brighten.out() + brighten.err(), "");
  ASSERT_TRUE(overlay.wait(milliseconds(1500)));
  EXPECT_EQ(overlay.exit_code(), 0);
  EXPECT_EQ(overlay.out(), "");
  EXPECT_EQ(overlay.err(), "");
  EXPECT_EQ(winsim::machine::open_window_count(), 0u);

  // The window goes as soon as the event is set (before the second daemon
  // has ended), long before its 2 seconds are over.
  const auto brightened = static_cast<unsigned long long>(
      std::chrono::duration_cast<milliseconds>(brighten.ended().time_since_epoch()).count());
  const auto destroyed = entry(overlay_destroyed).time_ms;
  ASSERT_NE(destroyed, 0u);
  EXPECT_LT(destroyed, brightened + 100);
  EXPECT_LT(destroyed - entry(overlay_shown).time_ms, 1500u);
}

TEST_F(DaemonOverlayTest, TerminatingTheDaemonTakesTheOverlayAway) {
  daemon_process overlay({"-b", "10000"});
  ASSERT_TRUE(wait_for([] { return winsim::machine::open_window_count() == 1; }));
  overlay.terminate();
  EXPECT_EQ(winsim::machine::open_window_count(), 0u);
  EXPECT_FALSE(journal_has(overlay_destroyed));
}

// A long run reads the journal as it grows: each entry once, and a wait
// that ends when another process writes.
TEST_F(DaemonOverlayTest, AJournalReaderTakesEachEntryOnceAndWakesWhenAnotherProcessWrites) {
  winsim::machine::desktop_journal_reader reader;
  EXPECT_TRUE(reader.take().empty());
  EXPECT_FALSE(reader.wait(20));

  daemon_process overlay({"--dim_screen", "0"});
  std::vector<desktop_entry> taken;
  while (taken.size() < 4 && reader.wait(5000)) {
    for (auto& e : reader.take()) taken.push_back(std::move(e));
  }
  ASSERT_TRUE(overlay.wait());
  std::vector<std::string> texts;
  for (const auto& e : taken) texts.push_back(e.text);
  EXPECT_THAT(texts, ElementsAre(overlay_created, overlay_shown, overlay_painted, overlay_destroyed));
  EXPECT_TRUE(reader.take().empty());
  EXPECT_FALSE(reader.wait(0));

  // Times in microseconds, in order, and the same as the whole journal's.
  EXPECT_EQ(taken[0].time_ms, taken[0].time_us / 1000);
  EXPECT_LE(taken[0].time_us, taken[3].time_us);
  EXPECT_EQ(winsim::machine::desktop_journal()[3].time_us, taken[3].time_us);
}

TEST_F(DaemonOverlayTest, ActivityMonitorEndsOnTheFirstInputAfterItsFirstReading) {
  // Input before the monitor's first reading is its starting point, not activity.
  winsim::machine::simulate_input();
  daemon_process monitor({"--monitor_activity"});
  ASSERT_TRUE(wait_for([] { return winsim::machine::last_input_queries() >= 3; }));
  ASSERT_TRUE(monitor.running());

  const unsigned long queries = winsim::machine::last_input_queries();
  winsim::machine::simulate_input();
  const auto input = daemon_process::clock::now();
  ASSERT_TRUE(monitor.wait_for_output("Got activity", milliseconds(2000)));
  // Its first reading after the input ends it (the one under way may have
  // read the time before).
  EXPECT_LE(winsim::machine::last_input_queries() - queries, 2u);
  // It polls every 100 ms; the bound leaves a loaded machine the rest of a
  // second to schedule both processes, and still catches a poll of a second.
  const auto reaction = std::chrono::duration_cast<milliseconds>(daemon_process::clock::now() - input);
  std::printf("activity monitor reacted after %lld ms\n", static_cast<long long>(reaction.count()));
  EXPECT_LT(reaction, milliseconds(1000));
  ASSERT_TRUE(monitor.wait(milliseconds(2000)));
  EXPECT_EQ(monitor.exit_code(), 0);
  EXPECT_EQ(monitor.out(), "Got activity");
  EXPECT_EQ(monitor.err(), "");
}

TEST_F(DaemonOverlayTest, ActivityMonitorFailsWhenInputInformationFails) {
  winsim::machine::fail_desktop_call("GetLastInputInfo", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(run_daemon({"-m"}), (daemon_result{1, "", "Failed to get last input info\n"}));

  // Failing after the first reading ends it the same way.
  winsim::machine::fail_desktop_call("GetLastInputInfo", 0, 0);
  daemon_process monitor({"--monitor_activity"});
  ASSERT_TRUE(wait_for([] { return winsim::machine::last_input_queries() >= 2; }));
  winsim::machine::fail_desktop_call("GetLastInputInfo", ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(monitor.wait(milliseconds(2000)));
  EXPECT_EQ(monitor.exit_code(), 1);
  EXPECT_EQ(monitor.out(), "");
  EXPECT_EQ(monitor.err(), "Failed to get last input info\n");
}

}  // namespace
}  // namespace ostrel::test
