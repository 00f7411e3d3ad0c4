// The runner's 10-second limit, with a real child that would run far longer.
// Alone in its executable (label "slow") because it has to take 10 s.
#include "device/session_process_runner.h"

#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>

namespace ostrel {
namespace {

TEST(WinprocessTimeoutTest, AChildOutlivingTenSecondsWithoutCancelEventIsTerminatedAfter10000Ms) {
  winsim::machine::scoped_machine machine;
  test::trace_capture trace(0);
  const std::string command = std::string("\"") + WINPROCESS_CHILD + "\" --out early --sleep 60000";
  winprocess run;
  std::string output = "untouched";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(run.exec(command, &output));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(10000));
  // Margin 2 s: starting and terminating the child on a loaded machine.
  EXPECT_LT(took, std::chrono::milliseconds(12000));
  EXPECT_EQ(output, "untouched");
  EXPECT_FALSE(run.has_exit_code());
  EXPECT_EQ(run.exit_code(), winprocess::no_exit_code);
  EXPECT_TRUE(trace.contains("[runner] Wait result: 258"));
  EXPECT_TRUE(trace.contains("[runner] process: wait timeout"));
  EXPECT_TRUE(trace.contains("[runner] WARNING: Process did not exit by itself. Terminating"));
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  EXPECT_TRUE(winsim::machine::processes().at(0).terminated);
}

}  // namespace
}  // namespace ostrel
