// winprocess against real child processes on the simulated laptop.
#include "device/session_process_runner.h"

#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>
#include <thread>

namespace ostrel {
namespace {

using test::trace_capture;
using test::wait_for;

std::string child(const std::string& arguments) { return std::string("\"") + WINPROCESS_CHILD + "\" " + arguments; }

class WinprocessTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
};

TEST_F(WinprocessTest, ChildExitCodeAndBothStreamsComeBackThroughOnePipe) {
  const std::string command = child("--out \"hello \" --err world --exit 3");
  {
    winprocess run;
    EXPECT_TRUE(run.has_user_token());
    std::string output = "poison";
    ASSERT_TRUE(run.exec(command, &output));
    EXPECT_TRUE(run.has_exit_code());
    EXPECT_EQ(run.exit_code(), 3u);
    EXPECT_EQ(output, "hello world");
  }
  for (const char* line : {"[runner] [exec] Enter", "Waiting for process to exit", "[runner] [wait_for_process] Enter",
                           "Waiting for process without cancel handle", "Wait result: 0", "Process exited with code 3",
                           "Closing handles", "Getting output", "[runner] [exec] Exit"}) {
    EXPECT_EQ(trace_.count_containing(line), 1u) << line << "\n" << trace_.dump();
  }
  EXPECT_TRUE(trace_.contains("[runner] Executing [" + command + "] with user token"));
  EXPECT_TRUE(trace_.contains("[runner] process: WAIT_OBJECT_0:"));

  // What the child got: the interactive desktop, no window, the pipe and
  // nothing else.
  auto started = winsim::machine::processes();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].desktop, "winsta0\\default");
  EXPECT_EQ(started[0].creation_flags, static_cast<DWORD>(CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT));
  EXPECT_TRUE(started[0].with_user_token);
  EXPECT_TRUE(started[0].std_handles_redirected);
  EXPECT_EQ(started[0].inherited_handles.size(), 1u);

  // Output ends at the first zero byte; a silent child gives an empty text;
  // without an output pointer nothing is read.
  winprocess with_zero;
  std::string output;
  ASSERT_TRUE(with_zero.exec(child("--out abc --nul --out def"), &output));
  EXPECT_EQ(output, "abc");
  winprocess silent;
  output = "poison";
  ASSERT_TRUE(silent.exec(child("--exit 0"), &output));
  EXPECT_EQ(silent.exit_code(), 0u);
  EXPECT_EQ(output, "");
  // How long the child ran, for callers that judge it by that.
  winprocess slow;
  ASSERT_TRUE(slow.exec(child("--sleep 250")));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(slow.run_time()).count(), 250);
  trace_.clear();
  winprocess no_capture;
  ASSERT_TRUE(no_capture.exec(child("--out ignored --exit 7")));
  EXPECT_EQ(no_capture.exit_code(), 7u);
  EXPECT_EQ(trace_.count_containing("Getting output"), 0u);
}

TEST_F(WinprocessTest, SettingTheCancelEventEndsTheWaitAtOnceAndTerminatesTheChild) {
  unique_event cancel(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(cancel);
  std::string output = "untouched";
  bool result = false;
  std::chrono::steady_clock::duration took{};
  std::thread runner([&] {
    winprocess run(cancel.get());
    const auto start = std::chrono::steady_clock::now();
    result = run.exec(child("--out partial --sleep 60000"), &output);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(run.has_exit_code());
    EXPECT_EQ(run.exit_code(), winprocess::no_exit_code);
  });
  ASSERT_TRUE(wait_for([] { return winsim::machine::running_process_count() == 1; }));
  ASSERT_TRUE(trace_.wait_for_line("[runner] Waiting for process with cancel handle"));
  ::SetEvent(cancel.get());
  runner.join();
  EXPECT_TRUE(result);
  // The wait ends at once; 5 s only leaves room for a loaded machine, far
  // below the child's 60 s.
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(output, "untouched");  // a terminated child's output is not read
  EXPECT_TRUE(trace_.contains("[runner] Wait result: 1"));
  EXPECT_TRUE(trace_.contains("[runner] WARNING: Process did not exit by itself. Terminating"));
  EXPECT_EQ(trace_.count_containing("Process exited with code"), 0u);
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  auto record = winsim::machine::processes().at(0);
  EXPECT_TRUE(record.terminated);
  EXPECT_EQ(record.exit_code, 0u);
  // The runner neither reset nor closed the event it was given.
  EXPECT_EQ(::WaitForSingleObject(cancel.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

// The watcher, the overlay and the state machine start children at the same
// time: a long-lived child must not hold another run's pipe.
TEST_F(WinprocessTest, EachChildInheritsItsOwnPipeEndAndNoOtherRunsEnd) {
  unique_event cancel(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::thread long_run([&] {
    winprocess run(cancel.get());
    EXPECT_TRUE(run.exec(child("--sleep 60000")));
  });
  ASSERT_TRUE(wait_for([] { return winsim::machine::running_process_count() == 1; }));
  {
    winprocess query;
    std::string output;
    ASSERT_TRUE(query.exec(child("--out 55"), &output));
    EXPECT_EQ(output, "55");
  }
  ::SetEvent(cancel.get());
  long_run.join();
  const auto started = winsim::machine::processes();
  ASSERT_EQ(started.size(), 2u);
  for (const auto& p : started) {
    EXPECT_EQ(p.inherited_handles.size(), 1u) << p.command_line;
    EXPECT_TRUE(p.std_handles_redirected) << p.command_line;
  }
  EXPECT_NE(started[0].inherited_handles, started[1].inherited_handles);
}

TEST_F(WinprocessTest, MissingProgramFailsAndSaysWhetherATokenWasUsed) {
  const std::string command = "no_such_program_for_winprocess --flag";
  {
    winprocess run;
    EXPECT_FALSE(run.exec(command));
    EXPECT_EQ(run.exit_code(), winprocess::no_exit_code);
    EXPECT_EQ(run.run_time().count(), 0);
  }
  EXPECT_TRUE(trace_.contains("[runner] Failed to create process [" + command + "] with user token"));
  winsim::machine::set_console_user_logged_on(false);
  {
    winprocess run;
    EXPECT_FALSE(run.has_user_token());
    EXPECT_FALSE(run.exec(command));
  }
  EXPECT_TRUE(trace_.contains("[runner] Failed to create process [" + command + "] without user token"));
  EXPECT_TRUE(winsim::machine::processes().empty());
}

TEST_F(WinprocessTest, WithoutAConsoleUserTheChildRunsWithoutToken) {
  // Logon screen: a console session, nobody logged on.
  winsim::machine::set_console_user_logged_on(false);
  {
    winprocess run;
    ASSERT_TRUE(run.exec(child("--exit 1")));
    EXPECT_EQ(run.exit_code(), 1u);
  }
  EXPECT_TRUE(trace_.contains("[runner] Executing [" + child("--exit 1") + "] without user token"));
  EXPECT_EQ(trace_.count_containing("Failed to get active console session id"), 0u);
  // No console session at all: only that is logged.
  winsim::machine::set_console_user_logged_on(true);
  winsim::machine::set_console_session_id(0xFFFFFFFF);
  {
    winprocess run;
    ASSERT_TRUE(run.exec(child("--exit 2")));
    EXPECT_EQ(run.exit_code(), 2u);
  }
  EXPECT_TRUE(trace_.contains("[runner] Failed to get active console session id"));
  EXPECT_TRUE(trace_.contains("[runner] Executing [" + child("--exit 2") + "] without user token"));
  auto started = winsim::machine::processes();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_FALSE(started[0].with_user_token);
  EXPECT_FALSE(started[1].with_user_token);
  EXPECT_EQ(started[1].desktop, "winsta0\\default");
}

TEST_F(WinprocessTest, NoHandleIsLeftOpenAfterARun) {
  unique_event cancel(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
  const size_t before = winsim::machine::open_handle_count();
  {
    winprocess run;
    std::string output;
    ASSERT_TRUE(run.exec(child("--out x"), &output));
  }
  {
    winprocess run(cancel.get());  // already set: the child is terminated at once
    ASSERT_TRUE(run.exec(child("--sleep 60000")));
  }
  {
    winprocess run;
    ASSERT_FALSE(run.exec("no_such_program_for_winprocess"));
  }
  {
    winprocess never_run;
  }
  EXPECT_EQ(winsim::machine::open_handle_count(), before);
  EXPECT_EQ(winsim::machine::open_token_count(), 0u);
  EXPECT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
}

// Without its pipe, or without the list that limits what it inherits, the
// child still runs, uncaptured, and inherits nothing at all (this process's
// own inheritable pipe included).
TEST_F(WinprocessTest, PipeOrHandleListFailuresRunTheChildUncapturedAndInheritingNothing) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE other_read = nullptr, other_write = nullptr;
  ASSERT_TRUE(::CreatePipe(&other_read, &other_write, &inheritable, 0));
  const std::vector<std::pair<const char*, const char*>> failures = {
      {"CreatePipe", "[runner] Failed to create pipe for sub process"},
      {"SetHandleInformation", "[runner] Failed to set handle information for sub process"},
      {"InitializeProcThreadAttributeList", "[runner] Failed to limit the handles of sub process"},
      {"UpdateProcThreadAttribute", "[runner] Failed to limit the handles of sub process"},
  };
  uint32_t code = 4;
  for (const auto& [function, message] : failures) {
    winsim::machine::fail_call(function, ERROR_NOT_ENOUGH_MEMORY, 1);
    trace_.clear();
    {
      winprocess run;
      std::string output = "poison";
      ASSERT_TRUE(run.exec(child("--out lost --exit " + std::to_string(code)), &output)) << function;
      EXPECT_EQ(run.exit_code(), code) << function;
      EXPECT_EQ(output, "") << function;
    }
    EXPECT_TRUE(trace_.contains(message)) << function << "\n" << trace_.dump();
    const auto started = winsim::machine::processes().back();
    EXPECT_FALSE(started.std_handles_redirected) << function;
    EXPECT_TRUE(started.inherited_handles.empty()) << function;
    ++code;
  }
  ::CloseHandle(other_read);
  ::CloseHandle(other_write);
}

TEST_F(WinprocessTest, AFailedTerminationIsReportedWithTheSystemText) {
  unique_event cancel(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
  winsim::machine::fail_call("TerminateProcess", ERROR_ACCESS_DENIED, 1);
  const std::string command = child("--sleep 60000");
  {
    winprocess run(cancel.get());
    EXPECT_FALSE(run.exec(command));
    EXPECT_EQ(run.exit_code(), winprocess::no_exit_code);
  }
  EXPECT_TRUE(trace_.contains("[runner] WARNING: Failed to terminate process [" + command +
                              "]. With error: Access is denied.\r\n"))
      << trace_.dump();
  // The child the runner could not stop is still there; the machine's end takes it.
  EXPECT_EQ(winsim::machine::running_process_count(), 1u);
}

}  // namespace
}  // namespace ostrel
