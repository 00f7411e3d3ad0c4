// winsim's own kernel behaviour that Wine cannot show: failure injection,
// handle accounting, and named events held by processes that die.
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

class WinsimKernelTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
};

TEST_F(WinsimKernelTest, InjectedFailuresCountDownAndReportTheirError) {
  winsim::machine::fail_call("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
}

TEST_F(WinsimKernelTest, TheNthCallFailsOnceAndTheRecordCountsEachCallUnderItsOwnName) {
  winsim::machine::fail_nth_call("CreateEventA", 2, ERROR_NOT_ENOUGH_MEMORY);
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(first, nullptr);
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE third = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_NE(third, nullptr);

  // A wait for one object is counted as that call, not as the wait it is built on.
  winsim::machine::fail_nth_call("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
  CloseHandle(first);
  CloseHandle(third);

  const auto calls = winsim::machine::call_counts();
  EXPECT_EQ(calls.at("CreateEventA"), 3u);
  EXPECT_EQ(calls.at("WaitForSingleObject"), 2u);
  EXPECT_EQ(calls.count("WaitForMultipleObjectsEx"), 0u);
  EXPECT_EQ(calls.at("CloseHandle"), 2u);
  winsim::machine::clear_call_counts();
  EXPECT_TRUE(winsim::machine::call_counts().empty());
}

TEST_F(WinsimKernelTest, HandleCountFollowsOpensAndCloses) {
  const size_t before = winsim::machine::open_handle_count();
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "counted");
  EXPECT_EQ(winsim::machine::open_handle_count(), before + 2);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(winsim::machine::open_handle_count(), before);
}

TEST_F(WinsimKernelTest, NamedEventOfADeadProcessIsGone) {
  // A child takes the event, signals it and dies without closing: like
  // Windows, which closes a terminated process's handles, the event ends.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "StopDimLike");
    SetEvent(e);
    ::_exit(e != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "StopDimLike");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(e);
}

TEST_F(WinsimKernelTest, NamedEventSetByALivingProcessWakesAWaiterHere) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "crossprocess");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE mine = OpenEventA(EVENT_MODIFY_STATE, FALSE, "crossprocess");
    char c = 0;
    if (::read(ready[0], &c, 1) != 1) ::_exit(2);
    ::_exit(mine != nullptr && SetEvent(mine) ? 0 : 1);
  }
  EXPECT_EQ(::write(ready[1], "x", 1), 1);
  EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(ready[0]);
  ::close(ready[1]);
  CloseHandle(e);
}

}  // namespace
