#include "dim_overlay.h"

#include "console_output.h"
#include "unique_handle.h"
#include "win32_sdk_gaps.h"

#include <windows.h>

namespace ostrel::daemon {
namespace {

constexpr char stop_event_name[] = "StopDim";
constexpr char overlay_class_name[] = "KeltDimOverlayWindow";

constexpr BYTE overlay_alpha = 200;

constexpr DWORD overlay_ex_style =
    WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST;
static_assert(overlay_ex_style == 0x080800A8, "overlay extended style");

// Auto-reset, so that one SetEvent wakes exactly one waiting overlay. The
// handle stays open until the process ends.
HANDLE stop_event() {
  static HANDLE event = nullptr;
  if (event == nullptr) {
    event = CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                         stop_event_name);
  }
  return event;
}

// Registered once per process: a second overlay in the same run reuses the
// class instead of failing to register it again and showing nothing.
ATOM overlay_class() {
  static ATOM atom = 0;
  if (atom == 0) {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    window_class.lpszClassName = overlay_class_name;
    atom = RegisterClassExA(&window_class);
  }
  return atom;
}

// Waits until the stop event is set or `milliseconds` have passed, handing
// the thread's window messages to their windows meanwhile: a window whose
// thread does not dispatch them is never painted, and after 5 seconds the
// system takes it for a hung application.
void wait_dispatching_messages(HANDLE stop, DWORD milliseconds) {
  const bool forever = milliseconds == INFINITE;
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    DWORD remaining = INFINITE;
    if (!forever) {
      const ULONGLONG now = GetTickCount64();
      remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    const DWORD handle_count = stop != nullptr ? 1 : 0;
    const DWORD result = MsgWaitForMultipleObjects(handle_count, stop != nullptr ? &stop : nullptr,
                                                   /*fWaitAll=*/FALSE, remaining, QS_ALLINPUT);
    if (result != WAIT_OBJECT_0 + handle_count) return;  // stopped, timed out or failed
    MSG message;
    while (PeekMessageA(&message, /*hWnd=*/nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      DispatchMessageA(&message);
    }
    if (!forever && remaining == 0) return;
  }
}

}  // namespace

void show_dim_overlay(const char* milliseconds_text) {
  HANDLE stop = stop_event();
  const ATOM atom = overlay_class();
  unique_window window;
  if (atom != 0) {
    window.reset(CreateWindowExA(overlay_ex_style, MAKEINTATOM(atom), /*lpWindowName=*/nullptr, WS_POPUP,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, /*hWndParent=*/nullptr,
                                 /*hMenu=*/nullptr, GetModuleHandleA(nullptr), /*lpParam=*/nullptr));
  }
  if (window) {
    // No class background: the layered alpha alone darkens the screen.
    SetClassLongA(window.get(), sdk::gcl_hbrbackground, 0);
    SetLayeredWindowAttributes(window.get(), /*crKey=*/0, overlay_alpha, LWA_ALPHA);
    ShowWindow(window.get(), SW_SHOWMAXIMIZED);
  }
  wait_dispatching_messages(stop, static_cast<DWORD>(read_decimal(milliseconds_text)));
}

void brighten_screen() {
  HANDLE stop = stop_event();
  if (stop != nullptr) SetEvent(stop);
}

}  // namespace ostrel::daemon
