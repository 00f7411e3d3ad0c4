// The simulated desktop the daemon runs on, pinned to the Windows behaviour
// the daemon relies on where Wine cannot show it.
#include <windows.h>
#include <winioctl.h>
#include <ntddvdeo.h>
#include <physicalmonitorenumerationapi.h>
#include <wtsapi32.h>

#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <future>
#include <thread>
#include <vector>

namespace {

using ostrel::test::wait_for;

class DesktopSimulationTest : public ::testing::Test {
 protected:
  static HWND create_window(DWORD ex_style = WS_EX_LAYERED) {
    return CreateWindowExA(ex_style, "TestWindow", nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  }

  void SetUp() override {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    window_class.lpszClassName = "TestWindow";
    ASSERT_NE(RegisterClassExA(&window_class), 0);
  }

  winsim::machine::scoped_machine machine_;
};

TEST_F(DesktopSimulationTest, MessageWaitReportsNewInputAndObjects) {
  HWND window = create_window();
  ASSERT_NE(window, nullptr);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  MSG message{};
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
  }

  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 20, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
  // A message posted from another thread wakes the window's thread.
  auto poster = std::async(std::launch::async, [window] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return PostMessageA(window, WM_USER, 7, 8);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(poster.get());
  // Once looked at, a message left in the queue is no longer new input.
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 20, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.hwnd, window);
  EXPECT_EQ(message.message, static_cast<UINT>(WM_USER));
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));

  // Objects come before the queue; the wake mask filters the kinds of input.
  SetEvent(event);
  PostMessageA(window, WM_USER, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_PAINT), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0);

  HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &bogus, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DestroyWindow(window);
  CloseHandle(event);
}

TEST_F(DesktopSimulationTest, WindowsArePaintedByDispatchingAndDestroyedByTheirThread) {
  WNDCLASSEXA again{};
  again.cbSize = sizeof again;
  again.lpfnWndProc = DefWindowProcA;
  again.lpszClassName = "testwindow";
  EXPECT_EQ(RegisterClassExA(&again), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  again.cbSize = 48;
  EXPECT_EQ(RegisterClassExA(&again), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));

  HWND plain = create_window(0);
  EXPECT_FALSE(SetLayeredWindowAttributes(plain, 0, 10, LWA_ALPHA));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetClassLongA(plain, -99, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
  DestroyWindow(plain);

  HWND window = create_window();
  EXPECT_EQ(SetClassLongA(window, GCLP_HBRBACKGROUND, 0),
            static_cast<DWORD>(reinterpret_cast<uintptr_t>(GetStockObject(BLACK_BRUSH))));
  EXPECT_TRUE(SetLayeredWindowAttributes(window, 0, 128, LWA_ALPHA));
  EXPECT_FALSE(ShowWindow(window, SW_SHOW));
  EXPECT_TRUE(ShowWindow(window, SW_SHOW));

  // WM_PAINT stays in the queue until a window procedure validates the window.
  MSG message{};
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_PAINT));
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_PAINT));
  DispatchMessageA(&message);
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));

  auto other_thread = std::async(std::launch::async, [window] {
    const BOOL destroyed = DestroyWindow(window);
    return std::make_pair(destroyed, GetLastError());
  }).get();
  EXPECT_FALSE(other_thread.first);
  EXPECT_EQ(other_thread.second, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(ShowWindow(window, SW_HIDE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  const auto journal = winsim::machine::desktop_journal_texts();
  ASSERT_EQ(journal.size(), 6u);
  EXPECT_EQ(journal[3],
            "window_shown class=TestWindow class_style=0x00000000 background=none ex_style=0x00080000"
            " style=0x80000000 alpha=128 show=5");
  EXPECT_EQ(journal[4], "window_painted class=TestWindow background=none");
  EXPECT_EQ(journal[5], "window_destroyed class=TestWindow");
}

TEST_F(DesktopSimulationTest, LibrariesAreCountedAndExportByName) {
  HMODULE first = LoadLibraryA("wtsapi32.dll");
  HMODULE second = LoadLibraryA("C:\\Windows\\System32\\WTSAPI32");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), first);
  EXPECT_NE(GetProcAddress(first, "WTSFreeMemory"), nullptr);
  EXPECT_EQ(GetProcAddress(first, "WTSNoSuchFunction"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_NE(GetProcAddress(first, "WTSFreeMemory"), nullptr);
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(GetProcAddress(first, "WTSFreeMemory"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
  EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

TEST_F(DesktopSimulationTest, LastInputReadsTheSameUntilInput) {
  LASTINPUTINFO info{};
  EXPECT_FALSE(GetLastInputInfo(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  info.cbSize = sizeof info;
  ASSERT_TRUE(GetLastInputInfo(&info));
  const DWORD first = info.dwTime;
  EXPECT_LE(GetTickCount() - first, 1000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  ASSERT_TRUE(GetLastInputInfo(&info));
  EXPECT_EQ(info.dwTime, first);
  winsim::machine::simulate_input();
  ASSERT_TRUE(GetLastInputInfo(&info));
  EXPECT_GT(info.dwTime, first);
  EXPECT_EQ(winsim::machine::last_input_queries(), 3u);

  // A machine-wide failure counts down across calls.
  winsim::machine::fail_desktop_call("GetLastInputInfo", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(GetLastInputInfo(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(GetLastInputInfo(&info));
  EXPECT_TRUE(GetLastInputInfo(&info));
}

TEST_F(DesktopSimulationTest, LcdAndMonitorsFollowTheMachine) {
  HANDLE lcd = CreateFileA("\\\\.\\LCD", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lcd, INVALID_HANDLE_VALUE);
  DISPLAY_BRIGHTNESS levels{3, 0xEE, 0xEE};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(lcd, IOCTL_VIDEO_QUERY_DISPLAY_BRIGHTNESS, nullptr, 0, &levels, 2, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(DeviceIoControl(lcd, IOCTL_VIDEO_QUERY_DISPLAY_BRIGHTNESS, nullptr, 0, &levels, sizeof levels,
                              &returned, nullptr));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(levels.ucACBrightness, 100);
  EXPECT_EQ(levels.ucDCBrightness, 100);
  DISPLAY_BRIGHTNESS only_dc{DISPLAYPOLICY_DC, 10, 20};
  EXPECT_TRUE(DeviceIoControl(lcd, IOCTL_VIDEO_SET_DISPLAY_BRIGHTNESS, &only_dc, sizeof only_dc, nullptr, 0,
                              &returned, nullptr));
  EXPECT_EQ(winsim::machine::lcd().ac, 100);
  EXPECT_EQ(winsim::machine::lcd().dc, 20);
  DISPLAY_BRIGHTNESS too_bright{0, 101, 101};
  EXPECT_FALSE(DeviceIoControl(lcd, IOCTL_VIDEO_SET_DISPLAY_BRIGHTNESS, &too_bright, sizeof too_bright, nullptr, 0,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(lcd);

  winsim::machine::remove_lcd();
  EXPECT_EQ(CreateFileA("\\\\.\\LCD", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // The enumeration stops when the callback says so; each monitor has its count.
  winsim::machine::set_physical_monitors({1, 2, 3});
  std::vector<DWORD> counts;
  EnumDisplayMonitors(
      nullptr, nullptr,
      [](HMONITOR monitor, HDC, LPRECT, LPARAM data) -> BOOL {
        auto* seen = reinterpret_cast<std::vector<DWORD>*>(data);
        DWORD count = 0;
        GetNumberOfPhysicalMonitorsFromHMONITOR(monitor, &count);
        seen->push_back(count);
        return seen->size() < 2;
      },
      reinterpret_cast<LPARAM>(&counts));
  EXPECT_EQ(counts, (std::vector<DWORD>{1, 2}));
  DWORD count = 0;
  EXPECT_FALSE(GetNumberOfPhysicalMonitorsFromHMONITOR(reinterpret_cast<HMONITOR>(0x1234), &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DesktopSimulationTest, AProcessKilledWhileItChangesTheDesktopLeavesTheStateWhole) {
  // The service terminates daemons that poll the desktop (the activity
  // monitor reads the last input every 100 ms); like Windows, the machine
  // must not lose its state to such a death.
  winsim::machine::set_display_on(false);
  winsim::machine::set_session_locked(true);
  for (int round = 0; round < 20; ++round) {
    const unsigned long queries = winsim::machine::last_input_queries();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      LASTINPUTINFO info{sizeof info, 0};
      for (;;) GetLastInputInfo(&info);
    }
    const bool changing = wait_for([&] { return winsim::machine::last_input_queries() > queries; });
    // Then killed at a different point of its loop each round.
    std::this_thread::sleep_for(std::chrono::microseconds(97 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(changing) << "round " << round;
    ASSERT_FALSE(winsim::machine::display_on()) << "round " << round;
    ASSERT_TRUE(winsim::machine::session_locked()) << "round " << round;
  }
}

}  // namespace
