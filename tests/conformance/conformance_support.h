// What the conformance tests share: recognising Wine, names that no other
// test process uses, and running a child program of this directory.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace conformance {

constexpr DWORD poison = 0xdeadbeef;
// A child that hangs fails its case instead of holding up the run.
constexpr DWORD child_limit_ms = 10000;

// Wine exports wine_get_version from ntdll; Windows and winsim do not. Known
// differences of Wine are marked with it, never left out.
inline bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Registry keys and named objects outlive a test in Wine's prefix and are
// shared by every test process of the machine: each test names its own.
inline std::string unique_name(const std::string& stem) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = stem;
  if (test != nullptr) name += std::string("-") + test->name();
  return name + "-" + std::to_string(GetCurrentProcessId());
}

inline std::string own_path() {
  char name[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  return std::string(name, length < sizeof name ? length : 0);
}

// A program built beside this test: "<directory>\<stem>[.exe]" (the native
// build's programs have no extension).
inline std::string sibling_program(const std::string& stem) {
  const std::string self = own_path();
  const bool exe = self.size() > 4 && self.compare(self.size() - 4, 4, ".exe") == 0;
  return self.substr(0, self.find_last_of("\\/") + 1) + stem + (exe ? ".exe" : "");
}

// A started child program; its handles close with it.
class child_process {
 public:
  // Starts "<program> <arguments>"; failures name the caller's line.
  child_process(const char* file, int line, const std::string& program, const std::string& arguments) {
    ::testing::ScopedTrace caller(file, line, arguments);
    std::string command_line = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                              nullptr, nullptr, &startup, &info_) != FALSE;
    EXPECT_TRUE(started_) << "CreateProcessA failed with " << GetLastError();
  }
  ~child_process() {
    if (!started_) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 1);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  bool started() const { return started_; }
  HANDLE handle() const { return info_.hProcess; }

  // Waits for the end of the child and gives its exit code; `poison` when
  // it did not end within the limit.
  DWORD finish(const char* file, int line, DWORD limit_ms = child_limit_ms) {
    ::testing::ScopedTrace caller(file, line, "child's end");
    if (!started_) return poison;
    const DWORD waited = WaitForSingleObject(info_.hProcess, limit_ms);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the child did not end within " << limit_ms << " ms";
    if (waited != WAIT_OBJECT_0) return poison;
    DWORD code = poison;
    EXPECT_TRUE(GetExitCodeProcess(info_.hProcess, &code));
    return code;
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION info_{};
};

}  // namespace conformance

// Starts a child and names the caller's line when that fails.
#define CONFORMANCE_CHILD(program, arguments) conformance::child_process(__FILE__, __LINE__, (program), (arguments))
#define CONFORMANCE_FINISH(child) (child).finish(__FILE__, __LINE__)
