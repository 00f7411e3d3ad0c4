#include "common/process_flags.h"
#include "logging/event_log_sink.h"
#include "logging/service_message.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <future>
#include <string>
#include <vector>

namespace ostrel::logging {
namespace {

using test::trace_capture;

class EventLogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { debug_mode = false; }
  void TearDown() override { debug_mode = false; }

  static std::vector<std::string> texts() {
    std::vector<std::string> result;
    for (const auto& entry : winsim::machine::event_log()) result.push_back(entry.strings.at(1));
    return result;
  }

  winsim::machine::scoped_machine machine_;
};

TEST_F(EventLogSinkTest, WritesOneEntryAndRepeatsItInDebugModeAtTheLevelOfItsId) {
  trace_capture capture(0);
  event_log_sink::instance().write(0x40020002, 4, "Service starting\n");
  auto entries = winsim::machine::event_log();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Ostrel Virtual Sensor");
  EXPECT_EQ(entries[0].type, 4);
  EXPECT_EQ(entries[0].category, 0);
  EXPECT_EQ(entries[0].event_id, 0x40020002u);
  EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"Ostrel Virtual Sensor", "Service starting\n"}));
  EXPECT_TRUE(entries[0].data.empty());
  EXPECT_EQ(winsim::machine::open_event_source_count(), 0u);
  EXPECT_TRUE(capture.messages().empty());  // no repetition outside debug mode

  debug_mode = true;
  event_log_sink::instance().write(0x40020002, 4, "plain");
  event_log_sink::instance().write(0x80020003, 2, "warning");
  event_log_sink::instance().write(0xC0020004, 1, "failure\n");
  const auto events = capture.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].message, "[service] plain\n");
  EXPECT_EQ(events[0].level, 5);  // debug
  EXPECT_EQ(events[1].message, "[service] warning\n");
  EXPECT_EQ(events[1].level, 4);  // info
  EXPECT_EQ(events[2].message, "[service] failure\n");
  EXPECT_EQ(events[2].level, 2);  // error
  entries = winsim::machine::event_log();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[2].type, 2);  // the type is the caller's
  EXPECT_EQ(entries[3].event_id, 0xC0020004u);
}

TEST_F(EventLogSinkTest, ServiceMessageWritesItsTextUntaggedWithTheServiceIdAndType) {
  trace_capture capture(0);
  debug_mode = true;
  service_message() << "Service already stopped, ignoring call: " << 1 << ", " << 0 << ", " << 0 << "\n";
  service_message(0xC0020004, 1) << "ERROR: " << 7;
  const auto entries = winsim::machine::event_log();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].event_id, 0x40020002u);
  EXPECT_EQ(entries[0].type, 4);
  EXPECT_EQ(entries[0].strings.at(1), "Service already stopped, ignoring call: 1, 0, 0\n");
  EXPECT_EQ(entries[1].event_id, 0xC0020004u);
  EXPECT_EQ(entries[1].type, 1);
  EXPECT_EQ(entries[1].strings.at(1), "ERROR: 7");
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"[service] Service already stopped, ignoring call: 1, 0, 0\n",
                                                          "[service] ERROR: 7\n"}));
}

TEST_F(EventLogSinkTest, EventLogFailuresAreSilentAndLeakNoSource) {
  trace_capture capture(0);
  debug_mode = true;
  winsim::machine::fail_call("RegisterEventSourceA", ERROR_ACCESS_DENIED, 1);
  EXPECT_NO_THROW(event_log_sink::instance().write(0x40020002, 4, "unregistered"));
  winsim::machine::fail_call("ReportEventA", ERROR_INVALID_PARAMETER, 1);
  EXPECT_NO_THROW(event_log_sink::instance().write(0x40020002, 4, "unreported"));
  EXPECT_TRUE(winsim::machine::event_log().empty());
  EXPECT_EQ(winsim::machine::open_event_source_count(), 0u);
  // The debug-mode repetition does not depend on the event log.
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"[service] unregistered\n", "[service] unreported\n"}));
}

TEST_F(EventLogSinkTest, ConcurrentWritesKeepEachEntryWithItsRepetition) {
  trace_capture capture(0);
  debug_mode = true;
  constexpr int threads = 4;
  constexpr int per_thread = 50;
  std::vector<std::future<void>> writers;
  for (int t = 0; t < threads; ++t) {
    writers.push_back(std::async(std::launch::async, [t] {
      for (int i = 0; i < per_thread; ++i) {
        service_message() << "writer " << t << " entry " << i << "\n";
      }
    }));
  }
  for (auto& w : writers) w.get();

  const auto logged = texts();
  ASSERT_EQ(logged.size(), static_cast<size_t>(threads * per_thread));
  // The sink holds its lock across both writes, so the trace shows the
  // entries in exactly the event log's order.
  std::vector<std::string> repeated;
  for (const auto& line : logged) repeated.push_back("[service] " + line);
  EXPECT_EQ(capture.messages(), repeated);
}

}  // namespace
}  // namespace ostrel::logging
