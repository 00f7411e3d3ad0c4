// The simulated processes and tokens the runner stands on, where a test
// needs the machine: command-line parsing, the program search on C:\, the
// process records, WTSQueryUserToken. What Windows itself shows (handles,
// pipes, exit codes, inheritance) is in tests/conformance.
#include <windows.h>

#include <wtsapi32.h>

#include "wait_for.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <winsim/machine.h>

#include <chrono>
#include <filesystem>
#include <time.h>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

class WinsimProcessTest : public ::testing::Test {
 protected:
  // Places a copy of the child program at a C:\ path of this machine.
  void install_child(const std::string& windows_path) {
    const fs::path target = machine_.path() + "/drive_c/" + windows_path;
    fs::create_directories(target.parent_path());
    fs::copy_file(WINPROCESS_CHILD, target, fs::copy_options::overwrite_existing);
  }

  // Starts `command` with its output on a pipe; waits for it; returns the
  // program that ran ("" when it did not start) and fills output and code.
  std::string run(const std::string& command, std::string* output = nullptr, DWORD* code = nullptr,
                  DWORD* error = nullptr) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    EXPECT_TRUE(CreatePipe(&read, &write, &sa, 0));
    EXPECT_TRUE(SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0));
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write;
    si.hStdError = write;
    PROCESS_INFORMATION pi{};
    std::string line = command;
    const BOOL started =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    if (error) *error = started ? 0 : GetLastError();
    std::string program;
    if (started) {
      EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
      DWORD exit_code = 0xdeadbeef;
      EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &exit_code));
      if (code) *code = exit_code;
      char buffer[4096] = {};
      DWORD available = 0, got = 0;
      if (PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        EXPECT_TRUE(ReadFile(read, buffer, std::min<DWORD>(available, sizeof buffer - 1), &got, nullptr));
      }
      if (output) *output = std::string(buffer, got);
      program = winsim::machine::processes().back().program;
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
    CloseHandle(read);
    CloseHandle(write);
    return program;
  }

  winsim::machine::scoped_machine machine_;
};

TEST_F(WinsimProcessTest, CommandLinesSplitByTheCRuntimeRules) {
  using winsim::machine::split_command_line;
  EXPECT_EQ(split_command_line("prog a b"), (Args{"prog", "a", "b"}));
  EXPECT_EQ(split_command_line("  prog\t a  "), (Args{"prog", "a"}));
  EXPECT_EQ(split_command_line("\"C:\\Program Files\\x.exe\" --opt"), (Args{"C:\\Program Files\\x.exe", "--opt"}));
  // Backslashes are literal unless they precede a quote.
  EXPECT_EQ(split_command_line("p a\\\\b \"c d\" e\\\"f"), (Args{"p", "a\\\\b", "c d", "e\"f"}));
  EXPECT_EQ(split_command_line("p \"a\\\\\" b"), (Args{"p", "a\\", "b"}));
  EXPECT_EQ(split_command_line("p \"a\\\\\\\"b\""), (Args{"p", "a\\\"b"}));
  EXPECT_EQ(split_command_line("p a\"b c\"d"), (Args{"p", "ab cd"}));
  EXPECT_EQ(split_command_line("p \"a\"\"b\""), (Args{"p", "a\"b"}));
  EXPECT_EQ(split_command_line("p \"\""), (Args{"p", ""}));
  // The program name keeps its backslashes as they are.
  EXPECT_EQ(split_command_line("C:\\dir\\p.exe x"), (Args{"C:\\dir\\p.exe", "x"}));
}

TEST_F(WinsimProcessTest, ProgramsAreFoundWhereWindowsLooks) {
  std::string output;
  DWORD code = 0, error = 0;
  // The calling program's directory, by bare name; "name.exe" is the built "name".
  const std::string own = run("winprocess_child.exe --exit 4", nullptr, &code);
  EXPECT_EQ(fs::path(own), fs::path(WINPROCESS_CHILD));
  EXPECT_EQ(code, 4u);
  EXPECT_FALSE(run("winprocess_child --exit 4").empty());  // ".exe" assumed

  // C:\ lives under drive_c/, names ignore case, the system directory is searched.
  install_child("Program Files/Tool Dir/tool.exe");
  install_child("Windows/System32/powershell.exe");
  EXPECT_NE(run("\"C:\\Program Files\\Tool Dir\\tool.exe\" --exit 5", nullptr, &code), "");
  EXPECT_EQ(code, 5u);
  EXPECT_NE(run("\"c:\\PROGRAM FILES\\tool dir\\TOOL.EXE\" --exit 6", nullptr, &code), "");
  EXPECT_EQ(code, 6u);
  EXPECT_EQ(run("powershell --exit 7", nullptr, &code), machine_.path() + "/drive_c/Windows/System32/powershell.exe");
  EXPECT_EQ(code, 7u);

  // An unquoted path with blanks is ambiguous: each blank is tried as the
  // end of the program name, so C:\Program.exe wins when it exists.
  const std::string unquoted = "C:\\Program Files\\Tool Dir\\tool.exe --exit 5";
  EXPECT_EQ(run(unquoted), machine_.path() + "/drive_c/Program Files/Tool Dir/tool.exe");
  install_child("Program.exe");
  EXPECT_EQ(run(unquoted), machine_.path() + "/drive_c/Program.exe");
  EXPECT_EQ(winsim::machine::processes().back().arguments,
            (Args{"C:\\Program", "Files\\Tool", "Dir\\tool.exe", "--exit", "5"}));
  EXPECT_EQ(run("\"C:\\Program Files\\Tool Dir\\tool.exe\" --exit 5"),
            machine_.path() + "/drive_c/Program Files/Tool Dir/tool.exe");

  // Batch files run in the command interpreter.
  fs::create_directories(machine_.path() + "/drive_c/Demo Tools");
  std::ofstream(machine_.path() + "/drive_c/Demo Tools/stop.bat") << "echo stopped \"$1\"\nexit 9\n";
  EXPECT_NE(run("\"C:\\Demo Tools\\stop.bat\" now", &output, &code), "");
  EXPECT_EQ(code, 9u);
  EXPECT_EQ(output, "stopped now\n");

  // Not found: the search reports a missing directory as a missing file.
  EXPECT_EQ(run("no_such_program_anywhere --x", nullptr, nullptr, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(run("\"C:\\No Such Dir\\x.exe\"", nullptr, nullptr, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(run("\"C:\\Program Files\\Tool Dir\\missing.exe\"", nullptr, nullptr, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WinsimProcessTest, TheChildGetsTheMachineAndItsArguments) {
  std::string output;
  run("winprocess_child --env WINSIM_MACHINE", &output);
  EXPECT_EQ(output, machine_.path());
  run("winprocess_child.exe \"two words\" a\\\"b --args", &output);
  EXPECT_EQ(output, "[winprocess_child.exe]\n[two words]\n[a\"b]\n[--args]\n");
}

// What a process handle does is in the process conformance tests; here what
// the machine records of it, and that no handle is left behind.
TEST_F(WinsimProcessTest, ATerminatedChildIsRecordedAndLeavesNoHandle) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string line = "winprocess_child --sleep 60000";
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                             &pi));
  EXPECT_TRUE(winsim::machine::processes().back().running);
  ASSERT_TRUE(TerminateProcess(pi.hProcess, 42));
  ASSERT_TRUE(winsim::machine::wait_for_no_running_processes(5000));
  const auto record = winsim::machine::processes().back();
  EXPECT_TRUE(record.terminated);
  EXPECT_EQ(record.exit_code, 42u);

  // A token must be a token.
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  std::string again = "winprocess_child";
  PROCESS_INFORMATION unused{};
  EXPECT_FALSE(CreateProcessAsUserA(event, nullptr, again.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                    &unused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  for (HANDLE h : {pi.hProcess, pi.hThread, event}) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(winsim::machine::open_handle_count(), 0u);
}

// What the simulated kernel spends on a child's end is the simulation's own
// cost; what the caller spends is not.
TEST_F(WinsimProcessTest, ReapersCountAsTheSimulationsOwnThreadsAndTheCallerDoesNot) {
  const auto thread_cpu = [] {
    timespec used{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
  };
  const auto before = winsim::machine::simulation_cpu_time();
  const auto spin_until = thread_cpu() + std::chrono::milliseconds(20);
  while (thread_cpu() < spin_until) {
  }
  EXPECT_EQ(winsim::machine::simulation_cpu_time(), before);

  DWORD code = 1;
  for (int i = 0; i < 5; ++i) run("winprocess_child --exit 0", nullptr, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_GT(winsim::machine::simulation_cpu_time(), before);
}

TEST_F(WinsimProcessTest, AResetMachineEndsItsChildren) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string line = "winprocess_child --sleep 60000";
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  const pid_t pid = static_cast<pid_t>(pi.dwProcessId);
  EXPECT_EQ(::kill(pid, 0), 0);
  winsim::machine::reset();
  EXPECT_TRUE(winsim::machine::processes().empty());
  EXPECT_NE(::kill(pid, 0), 0);  // killed and reaped
}

TEST_F(WinsimProcessTest, ModuleFileNameIsTheProgramsOwnPath) {
  char name[4096];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(fs::path(std::string(name, length)), fs::read_symlink("/proc/self/exe"));
}

TEST_F(WinsimProcessTest, UserTokensExistOnlyForALoggedOnConsoleUser) {
  HANDLE token = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token));
  EXPECT_EQ(winsim::machine::open_token_count(), 1u);
  // A token is a handle CreateProcessAsUserA accepts.
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string line = "winprocess_child";
  ASSERT_TRUE(CreateProcessAsUserA(token, nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_TRUE(winsim::machine::processes().back().with_user_token);
  for (HANDLE h : {pi.hProcess, pi.hThread, token}) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(winsim::machine::open_token_count(), 0u);

  winsim::machine::set_console_user_logged_on(false);
  SetLastError(0);
  EXPECT_FALSE(WTSQueryUserToken(1, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  winsim::machine::set_console_user_logged_on(true);
  EXPECT_FALSE(WTSQueryUserToken(0, &token));  // services' session
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_FALSE(WTSQueryUserToken(7, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  winsim::machine::set_console_session_id(0xFFFFFFFF);
  EXPECT_FALSE(WTSQueryUserToken(1, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  winsim::machine::set_console_session_id(2);
  ASSERT_TRUE(WTSQueryUserToken(2, &token));
  CloseHandle(token);
}

}  // namespace
