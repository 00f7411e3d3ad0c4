// ostrel_service_daemon's command line, answer by answer: every option's exit
// code, standard output and standard error. The same cases run natively
// against a simulated desktop set up as Wine's looks, and cross-built under
// Wine on Wine's own desktop; both must give the answers below.
//
// Two differences are made explicit rather than hidden:
// - the system's message texts ("Invalid handle: " + FormatMessageA's text):
//   each build expects its own system's wording, taken from FormatMessageA;
// - line ends: a Windows program writes its standard streams in text mode,
//   so each "\n" of the daemon arrives as "\r\n" (checked, not ignored).
#include "daemon_cli_desktop.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr DWORD run_limit_ms = 20000;  // a daemon that hangs fails its case

bool windows_program() {
  char name[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  const std::string path(name, length < sizeof name ? length : 0);
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

// DAEMON_PATH is where the build put the daemon; Wine shows that Unix path
// on drive Z:.
std::string daemon_path() {
  std::string path = DAEMON_PATH;
  if (windows_program() && !path.empty() && path[0] == '/') {
    path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
  }
  return path;
}

// What the daemon's C runtime makes of "\n" on the build under test.
std::string as_written(const std::string& text) {
  if (!windows_program()) return text;
  std::string written;
  for (char c : text) {
    if (c == '\n') written += '\r';
    written += c;
  }
  return written;
}

std::string system_text(DWORD error) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  return std::string(text, length);
}

struct answer {
  DWORD exit_code;
  std::string out;
  std::string err;
};

bool operator==(const answer& a, const answer& b) {
  return a.exit_code == b.exit_code && a.out == b.out && a.err == b.err;
}

void PrintTo(const answer& a, std::ostream* os) {
  *os << "{exit code " << a.exit_code << ", out " << ::testing::PrintToString(a.out) << ", err "
      << ::testing::PrintToString(a.err) << "}";
}

// The answer as the daemon's texts are written down in its contract.
answer expected(DWORD exit_code, const std::string& out, const std::string& err) {
  return {exit_code, as_written(out), as_written(err)};
}

// What the pipe holds now. Read after the daemon has ended, that is all it
// wrote; waiting for the pipe's end instead would wait for every process
// that inherited the write end, and under Wine the desktop process that the
// daemon's first window call starts is one of them.
std::string available(HANDLE pipe) {
  std::string text;
  DWORD waiting = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
    std::string chunk(waiting, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, &chunk[0], waiting, &got, nullptr) || got == 0) break;
    text.append(chunk, 0, got);
  }
  return text;
}

// One daemon run with its two streams kept apart.
class daemon_run {
 public:
  explicit daemon_run(const std::vector<std::string>& arguments) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    for (auto* pipe : {&out_, &err_}) {
      if (!CreatePipe(&pipe->read, &pipe->write, &inheritable, 0) ||
          !SetHandleInformation(pipe->read, HANDLE_FLAG_INHERIT, 0)) {
        ADD_FAILURE() << "pipe: " << GetLastError();
        return;
      }
    }
    std::string command_line = "\"" + daemon_path() + "\"";
    for (const auto& argument : arguments) command_line += " " + argument;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out_.write;
    startup.hStdError = err_.write;
    // Taken before the start: the child may be running before the call returns.
    started_ms_ = GetTickCount64();
    if (!CreateProcessA(daemon_path().c_str(), &command_line[0], nullptr, nullptr, /*bInheritHandles=*/TRUE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process_)) {
      ADD_FAILURE() << "cannot start " << command_line << ": " << GetLastError();
      return;
    }
    // Only the child writes now: its ends close with it.
    for (auto* pipe : {&out_, &err_}) close(pipe->write);
  }
  ~daemon_run() {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    for (auto* pipe : {&out_, &err_}) {
      close(pipe->read);
      close(pipe->write);
    }
  }
  daemon_run(const daemon_run&) = delete;
  daemon_run& operator=(const daemon_run&) = delete;

  bool running() const { return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  ULONGLONG started_ms() const { return started_ms_; }

  // Waits for the end and takes the answer; the time of the end is kept.
  answer finish() {
    answer result{0xdeadbeef, "", ""};
    if (process_.hProcess == nullptr) return result;
    if (WaitForSingleObject(process_.hProcess, run_limit_ms) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the daemon did not end within " << run_limit_ms << " ms";
      return result;
    }
    ended_ms_ = GetTickCount64();
    GetExitCodeProcess(process_.hProcess, &result.exit_code);
    result.out = available(out_.read);
    result.err = available(err_.read);
    return result;
  }
  ULONGLONG ran_ms() const { return ended_ms_ - started_ms_; }

 private:
  struct pipe_ends {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
  };
  static void close(HANDLE& handle) {
    if (handle != nullptr) CloseHandle(handle);
    handle = nullptr;
  }

  pipe_ends out_;
  pipe_ends err_;
  PROCESS_INFORMATION process_{};
  ULONGLONG started_ms_ = 0;
  ULONGLONG ended_ms_ = 0;
};

answer run(const std::vector<std::string>& arguments) { return daemon_run(arguments).finish(); }

class DaemonCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { daemon_cli::set_up_desktop(); }
  static void TearDownTestSuite() { daemon_cli::tear_down_desktop(); }

  // Without "\\.\LCD" every brightness action ends here.
  const std::string no_lcd = "Invalid handle: " + system_text(ERROR_FILE_NOT_FOUND) + "\n";
};

TEST_F(DaemonCliTest, ParserDiagnosticsAndRangeChecks) {
  const std::string name = "ostrel_service_daemon: ";
  EXPECT_EQ(run({}), expected(0, "", ""));
  EXPECT_EQ(run({"--no_such_option"}), expected(1, "Invalid input: 63\n", name + "unknown option -- no_such_option\n"));
  EXPECT_EQ(run({"-q"}), expected(1, "Invalid input: 63\n", name + "unknown option -- q\n"));
  EXPECT_EQ(run({"--dim"}), expected(1, "Invalid input: 63\n", name + "ambiguous option -- dim\n"));
  EXPECT_EQ(run({"-d"}), expected(1, "Invalid input: 63\n", name + "option requires an argument -- d\n"));
  EXPECT_EQ(run({"--set_brightness"}),
            expected(1, "Invalid input: 63\n", name + "option requires an argument -- set_brightness\n"));
  EXPECT_EQ(run({"--lock_screen=yes"}),
            expected(1, "Invalid input: 63\n", name + "option doesn't take an argument -- lock_screen\n"));
  EXPECT_EQ(run({"--set_brightness", "101"}), expected(1, "", "Brightness must be in range 0-100, got: 101\n"));
  EXPECT_EQ(run({"-x", "-1"}), expected(1, "", "Brightness must be in range 0-100, got: -1\n"));
  // "--" ends the options: what follows is no action.
  EXPECT_EQ(run({"--", "-l"}), expected(0, "", ""));
}

TEST_F(DaemonCliTest, QueriesAnswerByExitCodeAndText) {
  EXPECT_EQ(run({"--remote_session"}), expected(1, "Is not remote\n", ""));
  EXPECT_EQ(run({"-r"}), expected(1, "Is not remote\n", ""));
  // No physical monitor can be counted: not more than one.
  EXPECT_EQ(run({"--has_external_display"}), expected(1, "No external display detected\n", ""));
  // The session query fails after both functions were found.
  EXPECT_EQ(run({"--is_session_locked"}),
            expected(1, "pWTSQuerySessionInformation\npWTSFreeMemory\nIs not locked\n", ""));
}

TEST_F(DaemonCliTest, BrightnessWithoutAnLcd) {
  EXPECT_EQ(run({"--get_brightness"}), expected(1, "", no_lcd));
  EXPECT_EQ(run({"--get"}), expected(1, "", no_lcd));  // a unique prefix
  EXPECT_EQ(run({"--set_brightness", "50"}), expected(1, "", no_lcd));
  EXPECT_EQ(run({"--set_brightness", "abc"}), expected(1, "", no_lcd));  // no digits: 0, still in range
  // The combined actions do not look at their results.
  EXPECT_EQ(run({"-z", "30"}), expected(0, "", no_lcd));
  EXPECT_EQ(run({"-x", "30"}), expected(0, "", no_lcd));
}

TEST_F(DaemonCliTest, LockDisplayOffAndExecutionStates) {
  // LockWorkStation fails with 120; its result is not looked at.
  EXPECT_EQ(run({"--lock_screen"}), expected(0, "", ""));
  EXPECT_EQ(run({"--turn_off_display"}), expected(0, "", ""));
  EXPECT_EQ(run({"--turn_off_display_and_lock"}), expected(0, "", ""));
  EXPECT_EQ(run({"--stayin_alive"}), expected(0, "", ""));
  EXPECT_EQ(run({"--system_required"}), expected(0, "", ""));
  EXPECT_EQ(run({"--away_mode"}), expected(0, "", ""));
  EXPECT_EQ(run({"--lock_screen", "--stayin_alive"}), expected(0, "", ""));
}

TEST_F(DaemonCliTest, DimOverlayForItsTimeOrUntilBrightened) {
  EXPECT_EQ(run({"--dim_screen", "0"}), expected(0, "", ""));
  EXPECT_EQ(run({"--brighten_screen"}), expected(0, "", ""));

  daemon_run timed({"--dim_screen", "300", "--lock_screen"});
  EXPECT_EQ(timed.finish(), expected(0, "", ""));
  // Margin: the daemon's wait may end one timer tick (up to 16 ms on
  // Windows) before its time as GetTickCount64 counts it.
  EXPECT_GE(timed.ran_ms(), 300u - 16u);

  // A second instance ends the overlay long before its time. It is asked
  // again every 100 ms: a signal sent before the first instance made its
  // event would go with the second instance's last handle.
  constexpr DWORD overlay_ms = 10000;
  daemon_run dimmed({"--dim_screen", std::to_string(overlay_ms)});
  const ULONGLONG deadline = dimmed.started_ms() + overlay_ms / 2;
  while (dimmed.running() && GetTickCount64() < deadline) {
    EXPECT_EQ(run({"--brighten_screen"}), expected(0, "", ""));
    Sleep(100);  // the pace of the requests, not a wait for a result
  }
  EXPECT_EQ(dimmed.finish(), expected(0, "", ""));
  EXPECT_LT(dimmed.ran_ms(), overlay_ms / 2) << "the overlay ran its full time";
}

TEST_F(DaemonCliTest, ActivityMonitorEndsAtTheFirstInput) {
  daemon_run monitor({"--monitor_activity"});
  // Input before the monitor's first reading is not seen, so input comes
  // every 100 ms until it answers.
  const ULONGLONG deadline = monitor.started_ms() + 10000;
  while (monitor.running() && GetTickCount64() < deadline) {
    daemon_cli::give_input();
    Sleep(100);
  }
  EXPECT_EQ(monitor.finish(), expected(0, "Got activity", ""));
}

}  // namespace
