#include "logging/logger.h"
#include "logging/trace_line.h"
#include "logging/trace_provider.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <chrono>
#include <future>
#include <winsim/machine.h>

namespace ostrel::logging {
namespace {

using test::trace_capture;

class LoggingTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
};

TEST_F(LoggingTest, SessionLevelSelectsWhichLevelsAreWritten) {
  {
    trace_capture all(0);
    const auto before = std::chrono::steady_clock::now();
    trace_line(log_level::debug, "runner") << "d";
    trace_line(log_level::info, "runner") << "i";
    trace_line(log_level::error, "runner") << "e";
    EXPECT_EQ(all.messages(), (std::vector<std::string>{"[runner] d\n", "[runner] i\n", "[runner] e\n"}));
    auto events = all.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].level, 5);
    EXPECT_EQ(events[1].level, 4);
    EXPECT_EQ(events[2].level, 2);
    EXPECT_EQ(events[0].provider, "NolvaneSvc");
    EXPECT_EQ(events[0].name, "TraceEvent");
    EXPECT_EQ(events[0].channel, 11);
    EXPECT_EQ(events[0].field_names, (std::vector<std::string>{"Message"}));
    // Stamped as the session received them.
    EXPECT_GE(events[0].time, before);
    EXPECT_LE(events[0].time, events[1].time);
    EXPECT_LE(events[1].time, events[2].time);
    EXPECT_LE(events[2].time, std::chrono::steady_clock::now());
  }
  {
    trace_capture information(4);
    trace_line(log_level::debug, "runner") << "d";
    trace_line(log_level::info, "runner") << "i";
    trace_line(log_level::error, "runner") << "e";
    EXPECT_EQ(information.messages(), (std::vector<std::string>{"[runner] i\n", "[runner] e\n"}));
  }
  // Without a session nothing is written at any level.
  winsim::machine::clear_trace_events();
  EXPECT_EQ(provider_enabled_level_plus1(), 0u);
  trace_line(log_level::error, "runner") << "e";
  EXPECT_TRUE(winsim::machine::trace_events().empty());
}

// A long run takes the lines as they come and sleeps until the next.
TEST_F(LoggingTest, ASessionIsTakenAsItFillsAndWakesItsReader) {
  using namespace std::chrono_literals;
  trace_capture all(0);
  // Woken by the line, long before its own limit.
  auto reader = std::async(std::launch::async, [] { return winsim::machine::wait_for_trace_events(60000); });
  ASSERT_EQ(reader.wait_for(20ms), std::future_status::timeout);
  trace_line(log_level::info, "runner") << "late";
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(reader.get());
  const auto taken = winsim::machine::take_trace_events();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].message, "[runner] late\n");
  EXPECT_FALSE(winsim::machine::wait_for_trace_events(0));
}

TEST_F(LoggingTest, LinesGetExactlyOneFinalNewlineAndUnknownLevelsAreDropped) {
  trace_capture capture(0);
  trace_line(log_level::info, "sm") << "no newline";
  trace_line(log_level::info, "sm") << "has newline\n";
  get_logger()->log(3, "level three\n");
  get_logger()->log(200, "level 200\n");
  get_logger()->log(1, "");
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"[sm] no newline\n", "[sm] has newline\n", ""}));
}

TEST_F(LoggingTest, LayoutsNameFunctionAndSourceLocation) {
  trace_capture capture(0);
  trace_line(log_level::info, "rsm", "handle_state") << "Enter";
  const int line = __LINE__ + 1;
  OSTREL_LOCATED(log_level::error, "runner") << "boom";
  { OSTREL_SCOPE_TRACE(log_level::debug, "ssm"); }
  auto m = capture.messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], "[rsm] [handle_state] Enter\n");
  EXPECT_EQ(m[1], "[runner] [logging_test.cpp:" + std::to_string(line) + "] [TestBody] boom\n");
  EXPECT_EQ(m[2], "[ssm] [TestBody] Enter\n");
  EXPECT_EQ(m[3], "[ssm] [TestBody] Exit\n");
  EXPECT_STREQ(file_name_of("C:\\src\\a\\b.cpp"), "b.cpp");
  EXPECT_STREQ(file_name_of("plain.cpp"), "plain.cpp");
}

TEST_F(LoggingTest, ToggleConsoleOnlySaysItIsNotSupported) {
  trace_capture capture(0);
  ::testing::internal::CaptureStderr();
  get_logger()->toggle_console();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "toggle_console not supported for this logging implementation\n");
  EXPECT_TRUE(capture.messages().empty());
}

TEST_F(LoggingTest, GetLoggerReturnsOneSharedInstance) {
  EXPECT_EQ(get_logger(), get_logger());
  EXPECT_NE(dynamic_cast<trace_logger*>(get_logger().get()), nullptr);
}

TEST(LoggingDeathTest, RegisteringTheProviderTwiceEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        register_trace_provider();
        register_trace_provider();
      },
      "");
}

}  // namespace
}  // namespace ostrel::logging
