// Named events between processes as Windows defines them: one object per
// name in the session, auto-reset signals taken by exactly one waiter in any
// process, and an event that ends with its last handle, whichever process
// held it. The same source runs against winsim and, cross-built, under Wine;
// the other processes are named_event_conformance_child.
#include "conformance_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using conformance::poison;

const DWORD timeout = static_cast<DWORD>(WAIT_TIMEOUT);
// The child's exit codes for its wait (named_event_conformance_child.cpp).
constexpr DWORD child_signalled = 0;
constexpr DWORD child_timed_out = 100;

class NamedEventConformanceTest : public ::testing::Test {
 protected:
  // "<action> <this test's event name> <more>" in a child.
  conformance::child_process child(const char* file, int line, const std::string& arguments) {
    return conformance::child_process(file, line, program_, arguments);
  }

  const std::string name_ = conformance::unique_name("NamedEventConformance");
  const std::string program_ = conformance::sibling_program("named_event_conformance_child");
};

#define CHILD(arguments) child(__FILE__, __LINE__, (arguments))

TEST_F(NamedEventConformanceTest, AnotherProcessOpensSetsAndTakesTheSameEvent) {
  HANDLE event = CreateEventA(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, name_.c_str());
  ASSERT_NE(event, nullptr);

  // The child's CreateEventA opens ours; its own arguments are ignored.
  auto opener = CHILD("create " + name_ + " 1 1");
  EXPECT_EQ(CONFORMANCE_FINISH(opener), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(event, 0), timeout);

  auto setter = CHILD("set " + name_);
  EXPECT_EQ(CONFORMANCE_FINISH(setter), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), timeout);  // auto reset

  // The child's wait takes the signal; none is left for us.
  ASSERT_TRUE(SetEvent(event));
  auto taker = CHILD("wait " + name_ + " 0");
  EXPECT_EQ(CONFORMANCE_FINISH(taker), child_signalled);
  EXPECT_EQ(WaitForSingleObject(event, 0), timeout);
  auto late = CHILD("wait " + name_ + " 0");
  EXPECT_EQ(CONFORMANCE_FINISH(late), child_timed_out);
  CloseHandle(event);
}

TEST_F(NamedEventConformanceTest, AManualResetEventStaysSetForEveryProcess) {
  HANDLE event = CreateEventA(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, name_.c_str());
  ASSERT_NE(event, nullptr);
  auto first = CHILD("wait " + name_ + " 0");
  auto second = CHILD("wait " + name_ + " 0");
  EXPECT_EQ(CONFORMANCE_FINISH(first), child_signalled);
  EXPECT_EQ(CONFORMANCE_FINISH(second), child_signalled);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);
}

TEST_F(NamedEventConformanceTest, EachSetEventReleasesOneWaitingProcess) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name_.c_str());
  ASSERT_NE(event, nullptr);
  auto first = CHILD("wait " + name_ + " " + std::to_string(conformance::child_limit_ms));
  auto second = CHILD("wait " + name_ + " " + std::to_string(conformance::child_limit_ms));
  ASSERT_TRUE(first.started() && second.started());

  // Whenever each child reaches its wait, each signal is taken by exactly
  // one of them: two signals end both, and none is left over.
  ASSERT_TRUE(SetEvent(event));
  const HANDLE children[] = {first.handle(), second.handle()};
  const DWORD ended = WaitForMultipleObjects(2, children, FALSE, conformance::child_limit_ms);
  ASSERT_LT(ended, WAIT_OBJECT_0 + 2);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(CONFORMANCE_FINISH(first), child_signalled);
  EXPECT_EQ(CONFORMANCE_FINISH(second), child_signalled);
  EXPECT_EQ(WaitForSingleObject(event, 0), timeout);
  CloseHandle(event);
}

TEST_F(NamedEventConformanceTest, AnEventEndsWithTheLastHandleOfAnyProcess) {
  // Made by a child that ended: gone with its handle.
  auto maker = CHILD("create " + name_ + " 0 1");
  EXPECT_EQ(CONFORMANCE_FINISH(maker), static_cast<DWORD>(ERROR_SUCCESS));
  SetLastError(poison);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name_.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Held by a child that is terminated: gone with the process.
  const std::string ready_name = name_ + "-ready";
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
  ASSERT_NE(ready, nullptr);
  auto holder = CHILD("hold " + name_ + " " + ready_name);
  ASSERT_EQ(WaitForSingleObject(ready, conformance::child_limit_ms), WAIT_OBJECT_0);
  HANDLE held = OpenEventA(SYNCHRONIZE, FALSE, name_.c_str());
  EXPECT_NE(held, nullptr);
  if (held != nullptr) CloseHandle(held);
  ASSERT_TRUE(TerminateProcess(holder.handle(), 9));
  EXPECT_EQ(CONFORMANCE_FINISH(holder), 9u);
  SetLastError(poison);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name_.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Held by us: a child's CreateEventA opens it and keeps its state.
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, name_.c_str());
  ASSERT_NE(event, nullptr);
  auto opener = CHILD("create " + name_ + " 0 0");
  EXPECT_EQ(CONFORMANCE_FINISH(opener), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);
  CloseHandle(ready);
}

}  // namespace
