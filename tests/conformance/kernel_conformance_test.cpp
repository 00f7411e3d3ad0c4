// Kernel objects and waits as Windows defines them. The same source runs
// against winsim and, cross-built, under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr DWORD poison = 0xdeadbeef;

// Wine exports wine_get_version from ntdll; Windows and winsim do not.
bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(KernelConformance, AutoResetEventReleasesOneWaitAndResets) {
  HANDLE event = CreateEventA(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(event));
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(event));
}

TEST(KernelConformance, ManualResetEventStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(event);
}

TEST(KernelConformance, WaitForMultipleObjectsReportsTheFirstSignalledIndex) {
  HANDLE events[3];
  for (auto& e : events) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(events[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  // wait_all needs every object.
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
  for (auto e : events) CloseHandle(e);
}

TEST(KernelConformance, WaitAllTakesAutoResetEventsOnlyWhenAllAreSignalled) {
  HANDLE events[2] = {CreateEventA(nullptr, FALSE, TRUE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // The first event was not taken by the failed wait-all.
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);
  for (auto e : events) CloseHandle(e);
}

TEST(KernelConformance, AnotherThreadsSetEventWakesAWaiter) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([event] {
    Sleep(20);
    SetEvent(event);
  });
  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  EXPECT_LT(GetTickCount() - start, 4000u);
  setter.join();
  CloseHandle(event);
}

TEST(KernelConformance, InvalidHandlesFailWithTheirErrors) {
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0));
  SetLastError(poison);
  EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(poison);
  EXPECT_FALSE(SetEvent(bogus));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(poison);
  EXPECT_FALSE(CloseHandle(bogus));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(KernelConformance, LastErrorIsPerThread) {
  // Creating and joining a thread may itself change the caller's last error,
  // so the other thread does the looking.
  SetLastError(1234);
  std::atomic<DWORD> initial{poison};
  std::atomic<DWORD> own{poison};
  std::thread other([&] {
    initial = GetLastError();
    SetLastError(5);
    own = GetLastError();
  });
  other.join();
  EXPECT_NE(initial.load(), 1234u);
  EXPECT_EQ(own.load(), 5u);
}

TEST(KernelConformance, NamedEventsAreSharedByNameAndGoneWithTheirLastHandle) {
  const char* name = "KernelConformanceNamedEvent";
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, name);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetEvent(second);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // auto reset
  SetEvent(first);
  CloseHandle(first);
  CloseHandle(second);
  // A signalled event whose last handle closed is gone: a new one starts as asked.
  HANDLE third = CreateEventA(nullptr, FALSE, FALSE, name);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(third, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(third);
  SetLastError(poison);
  EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(KernelConformance, FormatMessageGivesTheSystemText) {
  struct expected_text {
    DWORD code;
    const char* windows;
    const char* wine;  // known difference: Wine's message table words some texts its own way
  };
  const expected_text texts[] = {
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n", "File not found.\r\n"},
      {ERROR_UNSUPPORTED_TYPE, "Data of this type is not supported.\r\n", "Unsupported type.\r\n"},
  };
  for (const auto& t : texts) {
    char text[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, t.code,
                                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    ASSERT_GT(length, 0u) << t.code;
    EXPECT_EQ(length, strlen(text));
    EXPECT_STREQ(text, running_under_wine() ? t.wine : t.windows);
  }
  // An id the system table does not have.
  char text[64];
  SetLastError(poison);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x20001234, 0, text,
                           sizeof(text), nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
