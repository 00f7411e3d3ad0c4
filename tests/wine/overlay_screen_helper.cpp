// Windows beside the daemon's overlay for the screen check
// (overlay_screen_test.sh):
//
//   overlay_screen_helper backdrop          a white window over the whole
//                                           screen, until the process ends
//   overlay_screen_helper reference <ms>    a dark layered window over the
//                                           whole screen for <ms>
//
// The reference is the overlay as the daemon asks for it (black, alpha 200
// of 255, topmost, layered, click-through) but made at the screen's size
// rather than with CW_USEDEFAULT: Wine 8 gives a pop-up created 0 x 0 an
// empty X shape and keeps it when the window is maximised, so the daemon's
// own overlay never reaches the screen there. The reference shows whether
// the screen and its capture can show such an overlay at all.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

HWND create_full_screen(const char* class_name, int brush, DWORD ex_style) {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(brush));
  window_class.lpszClassName = class_name;
  if (RegisterClassExA(&window_class) == 0) return nullptr;
  return CreateWindowExA(ex_style, class_name, class_name, WS_POPUP, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                         GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, window_class.hInstance, nullptr);
}

// Hands the thread's messages to its windows until `milliseconds` have
// passed (INFINITE: until the process is ended): Wine paints a window only
// while its thread does this.
void dispatch_messages_for(DWORD milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (milliseconds != INFINITE && now >= deadline) return;
    const DWORD wait = milliseconds == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
}

int backdrop() {
  // Never activated: openbox would lift an active full-screen window above
  // every topmost one.
  HWND window = create_full_screen("NolvaneBackdrop", WHITE_BRUSH, WS_EX_NOACTIVATE);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOWNOACTIVATE);
  dispatch_messages_for(INFINITE);
  return 0;
}

int reference(DWORD milliseconds) {
  constexpr DWORD overlay_ex_style =
      WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST;
  HWND window = create_full_screen("NolvaneReferenceOverlay", BLACK_BRUSH, overlay_ex_style);
  if (window == nullptr) return 1;
  SetLayeredWindowAttributes(window, /*crKey=*/0, /*bAlpha=*/200, LWA_ALPHA);
  ShowWindow(window, SW_SHOWNOACTIVATE);
  dispatch_messages_for(milliseconds);
  DestroyWindow(window);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "backdrop") == 0) return backdrop();
  if (argc == 3 && std::strcmp(argv[1], "reference") == 0) {
    return reference(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  }
  return 2;
}
