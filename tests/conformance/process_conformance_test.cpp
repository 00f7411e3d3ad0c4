// Processes and anonymous pipes as Windows defines them: exit codes, output,
// termination, STILL_ACTIVE, where a program is found, how a command line
// reaches the child, which handles a child inherits. The same source runs
// against winsim and, cross-built, under Wine. The child program sits beside
// this test (process_conformance_child.cpp).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr DWORD poison = 0xdeadbeef;
constexpr DWORD child_limit_ms = 10000;  // a child that hangs fails the case instead of the run

// Wine exports wine_get_version from ntdll; Windows and winsim do not. Known
// differences of Wine are marked with it, never left out.
bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string own_path() {
  char name[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  return std::string(name, length);
}

std::string own_directory() {
  const std::string path = own_path();
  return path.substr(0, path.find_last_of("\\/"));
}

// ".exe" on Windows; the native build's programs have no extension.
std::string program_extension() {
  const std::string path = own_path();
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0 ? ".exe" : "";
}

const std::string child = "process_conformance_child.exe";

fs::path child_file() { return fs::path(own_directory()) / ("process_conformance_child" + program_extension()); }

std::string hex(HANDLE handle) {
  std::ostringstream text;
  text << std::hex << reinterpret_cast<ULONG_PTR>(handle);
  return text.str();
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Paths compared as Windows compares them: case and separator kind aside.
std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

struct pipe_pair {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  explicit pipe_pair(BOOL inheritable) {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, inheritable};
    EXPECT_TRUE(CreatePipe(&read, &write, &attributes, 0));
  }
  ~pipe_pair() {
    if (read != nullptr) CloseHandle(read);
    if (write != nullptr) CloseHandle(write);
  }
  pipe_pair(const pipe_pair&) = delete;
  pipe_pair& operator=(const pipe_pair&) = delete;

  // Bytes waiting now, without waiting for more.
  DWORD available() const {
    DWORD total = poison;
    EXPECT_TRUE(PeekNamedPipe(read, nullptr, 0, nullptr, &total, nullptr));
    return total;
  }
  std::string take() const {
    std::string text(available(), '\0');
    DWORD got = poison;
    if (!text.empty()) {
      EXPECT_TRUE(ReadFile(read, &text[0], static_cast<DWORD>(text.size()), &got, nullptr));
    }
    return text;
  }
};

// How one child run went.
struct child_run {
  BOOL started = FALSE;
  DWORD error = 0;  // GetLastError() after a failed start
  DWORD exit_code = poison;
  std::string output;  // standard output and standard error, one pipe
};

// Starts `command_line` with its output on an inheritable pipe (in
// `directory` when given), waits for it and takes its exit code and output.
// Failures name the caller's line.
child_run run_child(const char* file, int line, const std::string& command_line, const char* directory = nullptr) {
  ::testing::ScopedTrace caller(file, line, command_line);
  pipe_pair output(TRUE);
  EXPECT_TRUE(SetHandleInformation(output.read, HANDLE_FLAG_INHERIT, 0));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output.write;
  startup.hStdError = output.write;
  PROCESS_INFORMATION info{};
  std::string command = command_line;
  child_run run;
  run.started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, directory,
                               &startup, &info);
  if (!run.started) {
    run.error = GetLastError();
    return run;
  }
  EXPECT_EQ(WaitForSingleObject(info.hProcess, child_limit_ms), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &run.exit_code));
  run.output = output.take();
  // The Windows C runtime writes its text-mode line ends as "\r\n".
  run.output.erase(std::remove(run.output.begin(), run.output.end(), '\r'), run.output.end());
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return run;
}
#define RUN_CHILD(command_line) run_child(__FILE__, __LINE__, command_line)

// What a child given every pipe's write end managed to write into each.
std::string written_into(const std::vector<const pipe_pair*>& pipes) {
  std::string seen;
  for (const auto* p : pipes) seen += p->take().empty() ? '-' : 'x';
  return seen;
}

TEST(ProcessConformance, ExitCodesAndBothOutputStreamsComeBackThroughOnePipe) {
  child_run run = RUN_CHILD(child + " exit 3");
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exit_code, 3u);
  EXPECT_EQ(run.output, "");

  run = RUN_CHILD(child + " out hello err \" world\" exit 7");
  EXPECT_EQ(run.exit_code, 7u);
  EXPECT_EQ(run.output, "hello world");
  run = RUN_CHILD(child + " out done");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "done");
}

TEST(ProcessConformance, AnonymousPipesPeekReadWriteAndBreak) {
  pipe_pair p(FALSE);
  DWORD written = poison;
  ASSERT_TRUE(WriteFile(p.write, "abcdef", 6, &written, nullptr));
  EXPECT_EQ(written, 6u);

  char buffer[16] = {};
  DWORD peeked = poison, total = poison, left = poison;
  ASSERT_TRUE(PeekNamedPipe(p.read, buffer, 2, &peeked, &total, &left));
  EXPECT_EQ(peeked, 2u);
  EXPECT_EQ(total, 6u);
  // A byte-mode pipe has no messages. Known difference: Wine answers
  // 0xFFFFFFFE where the documentation says zero.
  EXPECT_EQ(left, running_under_wine() ? 0xFFFFFFFEu : 0u);
  EXPECT_EQ(std::string(buffer, 2), "ab");
  DWORD got = poison;
  ASSERT_TRUE(ReadFile(p.read, buffer, 4, &got, nullptr));  // peeked bytes are not lost
  EXPECT_EQ(std::string(buffer, got), "abcd");
  ASSERT_TRUE(ReadFile(p.read, buffer, sizeof buffer, &got, nullptr));  // returns what is there
  EXPECT_EQ(std::string(buffer, got), "ef");
  EXPECT_EQ(p.available(), 0u);  // empty, but a write end is still open

  // Each end only goes one way.
  got = poison;
  SetLastError(poison);
  EXPECT_FALSE(ReadFile(p.write, buffer, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(got, 0u);
  written = poison;
  SetLastError(poison);
  EXPECT_FALSE(WriteFile(p.read, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);

  // Without writers the drained pipe is broken.
  CloseHandle(p.write);
  p.write = nullptr;
  SetLastError(poison);
  EXPECT_FALSE(PeekNamedPipe(p.read, nullptr, 0, nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  SetLastError(poison);
  EXPECT_FALSE(ReadFile(p.read, buffer, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));

  // Without a reader a write is refused.
  pipe_pair q(FALSE);
  CloseHandle(q.read);
  q.read = nullptr;
  written = poison;
  SetLastError(poison);
  EXPECT_FALSE(WriteFile(q.write, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
  EXPECT_EQ(written, 0u);
}

TEST(ProcessConformance, ARunningChildIsStillActiveUntilTerminatedWithItsExitCode) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string command = child + " sleep 60000";
  // Without a console: Wine hosts a CREATE_NO_WINDOW child's console in a
  // conhost.exe that outlives a terminated child and keeps the test's output
  // pipes open, so the test runner would wait for it.
  ASSERT_TRUE(
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup, &info));
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD code = poison;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  HANDLE set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  const HANDLE both[] = {info.hProcess, set};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);

  ASSERT_TRUE(TerminateProcess(info.hProcess, 42));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, child_limit_ms), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);  // its thread ended first
  code = poison;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 42u);
  // An ended process cannot be terminated again. Known difference: Wine
  // answers TRUE (and keeps the first exit code).
  SetLastError(poison);
  if (running_under_wine()) {
    EXPECT_TRUE(TerminateProcess(info.hProcess, 1));
  } else {
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 42u);

  // Handles of other kinds.
  for (HANDLE other : {set, info.hThread}) {
    code = poison;
    SetLastError(poison);
    EXPECT_FALSE(GetExitCodeProcess(other, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  for (HANDLE h : {info.hProcess, info.hThread, set}) EXPECT_TRUE(CloseHandle(h));
}

// Fresh files for the search cases, removed again at the end. The children
// run in the test's own directory, so none of them holds the new one.
class ProcessSearchTest : public ::testing::Test {
 protected:
  ProcessSearchTest() {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = fs::temp_directory_path() / ("process-conformance-" + std::to_string(GetCurrentProcessId()) + "-" + test);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    fs::create_directories(dir_);
    previous_ = fs::current_path();
  }
  ~ProcessSearchTest() override {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(dir_, ignored);
  }
  // A copy of the child at `relative` (+ the platform's program extension).
  fs::path place_child(const std::string& relative) {
    const fs::path target = dir_ / (relative + program_extension());
    fs::create_directories(target.parent_path());
    fs::copy_file(child_file(), target, fs::copy_options::overwrite_existing);
    return target;
  }
  // The program a command line ran, as the child names its own module.
  std::string ran(const char* file, int line, const std::string& command_line) {
    const child_run run = run_child(file, line, command_line + " module", previous_.string().c_str());
    return run.started ? lower(run.output) : "not started: " + std::to_string(run.error);
  }
  fs::path dir_;
  fs::path previous_;
};
#define RAN(command_line) ran(__FILE__, __LINE__, command_line)

TEST_F(ProcessSearchTest, TheProgramsOwnDirectoryComesBeforeTheCurrentOne) {
  const std::string own_child = lower(child_file().string());
  EXPECT_EQ(RAN(child), own_child);
  EXPECT_EQ(RAN("process_conformance_child"), own_child);  // ".exe" assumed

  place_child("process_conformance_child");
  const fs::path only_here = place_child("process_search_probe");
  fs::current_path(dir_);
  EXPECT_EQ(RAN(child), own_child);
  const std::string probe = RAN("process_search_probe.exe");
  EXPECT_TRUE(ends_with(probe, lower("\\" + only_here.filename().string()))) << probe;
}

TEST_F(ProcessSearchTest, AnUnquotedPathWithBlanksRunsTheFirstProgramItNames) {
  place_child("with blank/probe");
  const std::string unquoted = (dir_ / "with blank" / "probe.exe").string();
  const std::string probe = lower("\\with blank\\probe" + program_extension());
  std::string program = RAN(unquoted);
  EXPECT_TRUE(ends_with(program, probe)) << program;

  // Each blank may end the program name: "...\with.exe" now takes it.
  place_child("with");
  program = RAN(unquoted);
  EXPECT_TRUE(ends_with(program, lower("\\with" + program_extension()))) << program;
  // Quoted, the path is one name.
  program = RAN("\"" + unquoted + "\"");
  EXPECT_TRUE(ends_with(program, probe)) << program;
}

TEST_F(ProcessSearchTest, MissingProgramsAndDirectoriesHaveTheirErrors) {
  child_run run = RUN_CHILD("no_such_program_for_conformance --x");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // The search reports a missing directory as a missing file.
  run = RUN_CHILD("\"" + (dir_ / "no such dir" / "x.exe").string() + "\"");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  run = RUN_CHILD("\"" + (dir_ / "missing.exe").string() + "\"");
  EXPECT_FALSE(run.started);
  EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(ProcessConformance, CommandLinesReachTheChildAsItsRuntimeSplitsThem) {
  struct quoting {
    const char* arguments;
    const char* argv;  // argv[1...] as the child prints them
  };
  const quoting cases[] = {
      {"a b", "[a]\n[b]\n"},
      {"  a\t b  ", "[a]\n[b]\n"},
      // Backslashes are literal unless they precede a quote.
      {"a\\\\b \"c d\" e\\\"f", "[a\\\\b]\n[c d]\n[e\"f]\n"},
      {"\"a\\\\\" b", "[a\\]\n[b]\n"},
      {"\"a\\\\\\\"b\"", "[a\\\"b]\n"},
      {"a\"b c\"d", "[ab cd]\n"},
      {"\"\"", "[]\n"},
  };
  for (const auto& c : cases) {
    const child_run run = RUN_CHILD(child + " " + c.arguments + " args");
    EXPECT_EQ(run.output, "[" + child + "]\n" + c.argv + "[args]\n") << c.arguments;
  }
  // The program name keeps its backslashes, loses its quotes.
  const std::string quoted = "\"" + child_file().string() + "\"";
  EXPECT_EQ(RUN_CHILD(quoted + " args").output, "[" + child_file().string() + "]\n[args]\n");
}

// Which of the pipes a child could write into, by the handle values of
// their write ends on its command line.
class InheritanceTest : public ::testing::Test {
 protected:
  std::string start_writer(const char* file, int line, BOOL inherit_handles, LPPROC_THREAD_ATTRIBUTE_LIST list) {
    ::testing::ScopedTrace caller(file, line, "");
    std::string command = child;
    for (const auto* p : all_) command += " write " + hex(p->write);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_NO_WINDOW | (list != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    SetLastError(poison);
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, inherit_handles, flags, nullptr, nullptr,
                        &startup.StartupInfo, &info)) {
      return "not started: " + std::to_string(GetLastError());
    }
    EXPECT_EQ(WaitForSingleObject(info.hProcess, child_limit_ms), WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return written_into(all_);
  }

  pipe_pair inheritable_{TRUE};
  pipe_pair also_inheritable_{TRUE};
  pipe_pair never_{FALSE};
  pipe_pair cleared_{TRUE};
  const std::vector<const pipe_pair*> all_{&inheritable_, &also_inheritable_, &never_, &cleared_};
};
#define WRITER(inherit_handles, list) start_writer(__FILE__, __LINE__, inherit_handles, list)

// A list of `count` handles, built as the documentation says: ask for the
// size (which fails by design), then initialise a buffer of that size.
class handle_list {
 public:
  explicit handle_list(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = poison;
    SetLastError(poison);
    EXPECT_FALSE(InitializeProcThreadAttributeList(nullptr, 1, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_NE(size, static_cast<SIZE_T>(poison));
    buffer_.resize(size / sizeof(std::max_align_t) + 1);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    EXPECT_TRUE(InitializeProcThreadAttributeList(list_, 1, 0, &size));
    EXPECT_TRUE(UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                          handles_.size() * sizeof(HANDLE), nullptr, nullptr));
  }
  ~handle_list() { DeleteProcThreadAttributeList(list_); }
  handle_list(const handle_list&) = delete;
  handle_list& operator=(const handle_list&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // the list points here
  std::vector<std::max_align_t> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

TEST_F(InheritanceTest, WithoutAListAChildGetsEveryInheritableHandleAndNoOther) {
  ASSERT_TRUE(SetHandleInformation(cleared_.write, HANDLE_FLAG_INHERIT, 0));
  EXPECT_EQ(WRITER(TRUE, nullptr), "xx--");
  EXPECT_EQ(WRITER(FALSE, nullptr), "----");
}

TEST_F(InheritanceTest, WithAListAChildGetsOnlyTheListedHandles) {
  {
    handle_list only_one({also_inheritable_.write});
    EXPECT_EQ(WRITER(TRUE, only_one.get()), "-x--");
  }
  handle_list two({inheritable_.write, also_inheritable_.write});
  EXPECT_EQ(WRITER(TRUE, two.get()), "xx--");
}

TEST_F(InheritanceTest, AListedHandleMustBeInheritable) {
  handle_list not_inheritable({never_.write});
  // Known difference: Wine starts the child, without the handle.
  EXPECT_EQ(WRITER(TRUE, not_inheritable.get()),
            running_under_wine() ? "----" : "not started: " + std::to_string(ERROR_INVALID_PARAMETER));
}

TEST(ProcessConformance, AttributeListsRefuseWhatTheyCannotHold) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<std::max_align_t> buffer(size / sizeof(std::max_align_t) + 1);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  SIZE_T too_small = 1;
  SetLastError(poison);
  EXPECT_FALSE(InitializeProcThreadAttributeList(list, 1, 0, &too_small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(too_small, size);
  ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
  HANDLE handles[2] = {nullptr, nullptr};
  SetLastError(poison);
  EXPECT_FALSE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, 3, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  SetLastError(poison);
  EXPECT_FALSE(UpdateProcThreadAttribute(list, 0, 0x12345, handles, sizeof handles, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  DeleteProcThreadAttributeList(list);
}

TEST(ProcessConformance, RecordsHaveWindowsLayouts) {
  EXPECT_EQ(sizeof(STARTUPINFOA), 104u);
  EXPECT_EQ(offsetof(STARTUPINFOA, lpDesktop), 16u);
  EXPECT_EQ(offsetof(STARTUPINFOA, dwFlags), 60u);
  EXPECT_EQ(offsetof(STARTUPINFOA, hStdInput), 80u);
  EXPECT_EQ(offsetof(STARTUPINFOA, hStdOutput), 88u);
  EXPECT_EQ(offsetof(STARTUPINFOA, hStdError), 96u);
  EXPECT_EQ(sizeof(STARTUPINFOEXA), 112u);
  EXPECT_EQ(offsetof(STARTUPINFOEXA, lpAttributeList), 104u);
  EXPECT_EQ(sizeof(PROCESS_INFORMATION), 24u);
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), 24u);
  EXPECT_EQ(EXTENDED_STARTUPINFO_PRESENT, 0x00080000);
  EXPECT_EQ(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, 0x00020002u);
}

TEST(ProcessConformance, ATooSmallModuleNameBufferGetsATerminatedPrefix) {
  const std::string name = own_path();
  ASSERT_GT(name.size(), 5u);
  char small[6] = {'x', 'x', 'x', 'x', 'x', '\0'};  // the sixth one ends the text whatever happens
  SetLastError(poison);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // Known difference: Wine fills all five without a terminating zero, as
  // Windows XP did; later Windows terminates within the buffer.
  EXPECT_EQ(std::string(small), running_under_wine() ? name.substr(0, 5) : name.substr(0, 4));
  wchar_t wide[MAX_PATH * 4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, MAX_PATH * 4), name.size());  // ASCII path: same length
}

}  // namespace
