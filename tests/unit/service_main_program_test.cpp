#include "host/service_program.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

namespace ostrel {
namespace {

// run_service_program releases the process-wide logger, so it runs in a test
// program of its own.
TEST(ServiceProgram, OutsideTheScmTheDispatcherFailsAndTheProgramReportsIt) {
  winsim::machine::scoped_machine machine;
  EXPECT_EQ(run_service_program(), 1);
  const auto log = winsim::machine::event_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].source, "Ostrel Virtual Sensor");
  EXPECT_EQ(log[0].event_id, 0x40020002u);
  EXPECT_EQ(log[0].type, EVENTLOG_INFORMATION_TYPE);
  ASSERT_EQ(log[0].strings.size(), 2u);
  EXPECT_EQ(log[0].strings[1], "Unable to start the Service Control Dispatcher\n");
  // The provider is gone again, and nothing was left open.
  EXPECT_EQ(winsim::machine::registered_provider_count(), 0u);
  EXPECT_EQ(winsim::machine::open_event_source_count(), 0u);
  EXPECT_FALSE(winsim::machine::dispatcher_connected());
}

}  // namespace
}  // namespace ostrel
