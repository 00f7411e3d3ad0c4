// Window classes, windows and the thread message queues: just enough of
// user32 for a layered overlay window that its thread shows, paints by
// dispatching its messages, and destroys. Windows belong to this process;
// what they do on screen is written to the desktop journal.
#include "desktop/desktop_state.h"

#include <strings.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace desktop = winsim::detail::desktop;

namespace {

struct window_class_data {
  std::string name;
  UINT style = 0;
  WNDPROC procedure = nullptr;
  HINSTANCE instance = nullptr;
  HBRUSH background = nullptr;
};

struct window_data {
  DWORD thread = 0;
  std::shared_ptr<window_class_data> window_class;
  DWORD ex_style = 0;
  DWORD style = 0;
  bool visible = false;
  bool needs_paint = false;
  bool layered_attributes = false;
  BYTE alpha = 255;
  DWORD layered_flags = 0;
  int show_command = SW_HIDE;
};

struct thread_queue {
  std::deque<MSG> posted;
  DWORD new_input = 0;  // QS_ bits of what arrived since the thread last looked
};

// Guarded by `mutex`. Lock order: wait_mutex() before `mutex`, never the
// other way, and no window procedure runs under either.
struct desktop_windows {
  std::mutex mutex;
  std::map<ATOM, std::shared_ptr<window_class_data>> classes;
  ATOM next_atom = 0xC000;
  std::map<uintptr_t, window_data> windows;
  uintptr_t next_window = 0x20010;
  std::map<DWORD, thread_queue> queues;
};

desktop_windows& windows_state() {
  static desktop_windows* s = new desktop_windows;
  return *s;
}

const bool registered = [] {
  winsim::detail::on_reset([] {
    auto& s = windows_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.classes.clear();
    s.windows.clear();
    s.queues.clear();
  });
  return true;
}();

constexpr uintptr_t stock_object_base = 0x00900010;

HGDIOBJ stock_object(int index) { return reinterpret_cast<HGDIOBJ>(stock_object_base + 0x10 * index); }

std::string describe_brush(HBRUSH brush) {
  if (brush == nullptr) return "none";
  if (brush == static_cast<HBRUSH>(stock_object(BLACK_BRUSH))) return "black";
  return desktop::hex(static_cast<DWORD>(reinterpret_cast<uintptr_t>(brush)));
}

// The window as the journal records it.
std::string describe(const window_data& w) {
  std::string text = "class=" + w.window_class->name + " class_style=" + desktop::hex(w.window_class->style) +
                     " background=" + describe_brush(w.window_class->background) +
                     " ex_style=" + desktop::hex(w.ex_style) + " style=" + desktop::hex(w.style);
  text += " alpha=" + (w.layered_attributes ? std::to_string(w.alpha) : std::string("none"));
  text += " show=" + std::to_string(w.show_command);
  return text;
}

// Wakes threads waiting for their messages; call without `mutex` held.
void wake_waiters() {
  std::lock_guard<std::mutex> lock(winsim::detail::wait_mutex());
  winsim::detail::notify_waiters();
}

// The classes of every window of this process; call with `mutex` held.
std::vector<std::string> open_window_classes(const desktop_windows& s) {
  std::vector<std::string> classes;
  for (const auto& [value, w] : s.windows) classes.push_back(w.window_class->name);
  return classes;
}

window_data* find_window(desktop_windows& s, HWND window) {
  auto it = s.windows.find(reinterpret_cast<uintptr_t>(window));
  return it == s.windows.end() ? nullptr : &it->second;
}

bool fails(const char* function) {
  DWORD error = 0;
  if (!desktop::should_fail(function, &error)) return false;
  SetLastError(error);
  return true;
}

bool in_filter(UINT message, UINT filter_min, UINT filter_max) {
  return (filter_min == 0 && filter_max == 0) || (message >= filter_min && message <= filter_max);
}

bool window_filter(HWND filter, HWND window) {
  if (filter == nullptr) return true;
  if (filter == reinterpret_cast<HWND>(-1)) return window == nullptr;
  return filter == window;
}

MSG make_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg{};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = GetTickCount();
  return msg;
}

void apply_monitor_power(LPARAM state) {
  const char* text = state == 2 ? "off" : state == 1 ? "low" : "on";
  desktop::update_state([&](desktop::state_map& s) { s[desktop::key_display] = state == 2 ? "0" : "1"; });
  desktop::journal(std::string("monitor_power ") + text);
}

}  // namespace

HGDIOBJ WINAPI GetStockObject(int object) {
  // The stock objects of gdi32 are 0 to 19 without 9.
  if (object < 0 || object > 19 || object == 9) return nullptr;
  return stock_object(object);
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* window_class) {
  if (window_class == nullptr || window_class->cbSize != sizeof(WNDCLASSEXA) ||
      window_class->lpszClassName == nullptr || window_class->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (fails("RegisterClassExA")) return 0;
  auto& s = windows_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& [atom, existing] : s.classes) {
    if (strcasecmp(existing->name.c_str(), window_class->lpszClassName) == 0 &&
        existing->instance == window_class->hInstance) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  auto data = std::make_shared<window_class_data>();
  data->name = window_class->lpszClassName;
  data->style = window_class->style;
  data->procedure = window_class->lpfnWndProc;
  data->instance = window_class->hInstance;
  data->background = window_class->hbrBackground;
  const ATOM atom = s.next_atom++;
  s.classes.emplace(atom, std::move(data));
  return atom;
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR, DWORD style, int, int, int, int, HWND, HMENU,
                            HINSTANCE, LPVOID) {
  if (fails("CreateWindowExA")) return nullptr;
  auto& s = windows_state();
  HWND handle = nullptr;
  std::string created;
  std::string shown;
  std::vector<std::string> open_classes;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::shared_ptr<window_class_data> found;
    const uintptr_t name_value = reinterpret_cast<uintptr_t>(class_name);
    for (const auto& [atom, data] : s.classes) {
      const bool match = name_value <= 0xFFFF ? atom == name_value && atom != 0
                                              : strcasecmp(data->name.c_str(), class_name) == 0;
      if (match) found = data;
    }
    if (!found) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    window_data w;
    w.thread = GetCurrentThreadId();
    w.window_class = found;
    w.ex_style = ex_style;
    w.style = style & ~static_cast<DWORD>(WS_VISIBLE);
    s.queues[w.thread];
    if (style & WS_VISIBLE) {
      w.visible = true;
      w.needs_paint = true;
      w.show_command = SW_SHOW;
      s.queues[w.thread].new_input |= QS_PAINT;
    }
    const uintptr_t value = s.next_window;
    s.next_window += 2;
    created = "window_created class=" + found->name + " ex_style=" + desktop::hex(ex_style) +
              " style=" + desktop::hex(w.style);
    if (w.visible) shown = "window_shown " + describe(w);
    s.windows.emplace(value, std::move(w));
    handle = reinterpret_cast<HWND>(value);
    open_classes = open_window_classes(s);
  }
  // Known before it is journalled, so that a process killed in between
  // never leaves a window that was created and never ends.
  desktop::publish_open_windows(open_classes);
  desktop::journal(created);
  if (!shown.empty()) {
    desktop::journal(shown);
    wake_waiters();
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI DestroyWindow(HWND window) {
  auto& s = windows_state();
  std::string text;
  std::vector<std::string> open_classes;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    window_data* w = find_window(s, window);
    if (w == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    // Only the thread that created a window may destroy it.
    if (w->thread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    text = "window_destroyed class=" + w->window_class->name;
    auto& queue = s.queues[w->thread];
    for (auto it = queue.posted.begin(); it != queue.posted.end();) {
      it = it->hwnd == window ? queue.posted.erase(it) : it + 1;
    }
    s.windows.erase(reinterpret_cast<uintptr_t>(window));
    open_classes = open_window_classes(s);
  }
  // Journalled first: a process killed in between may see its window end
  // twice, never not at all.
  desktop::journal(text);
  desktop::publish_open_windows(open_classes);
  return TRUE;
}

BOOL WINAPI ShowWindow(HWND window, int command) {
  auto& s = windows_state();
  bool was_visible = false;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    window_data* w = find_window(s, window);
    if (w == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    was_visible = w->visible;
    w->show_command = command;
    if (command == SW_HIDE) {
      w->visible = false;
      w->needs_paint = false;
      if (was_visible) text = "window_hidden class=" + w->window_class->name;
    } else {
      w->visible = true;
      if (!was_visible) {
        // A window that appears has to be painted by its thread.
        w->needs_paint = true;
        s.queues[w->thread].new_input |= QS_PAINT;
        text = "window_shown " + describe(*w);
      }
    }
  }
  if (!text.empty()) {
    desktop::journal(text);
    wake_waiters();
  }
  return was_visible ? TRUE : FALSE;
}

DWORD WINAPI SetClassLongA(HWND window, int index, LONG value) {
  auto& s = windows_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  window_data* w = find_window(s, window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto& data = *w->window_class;
  switch (index) {
    case GCLP_HBRBACKGROUND: {
      const DWORD previous = static_cast<DWORD>(reinterpret_cast<uintptr_t>(data.background));
      data.background = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(static_cast<ULONG>(value)));
      return previous;
    }
    case GCL_STYLE: {
      const DWORD previous = data.style;
      data.style = static_cast<UINT>(value);
      return previous;
    }
    default:
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
  }
}

BOOL WINAPI SetLayeredWindowAttributes(HWND window, COLORREF, BYTE alpha, DWORD flags) {
  auto& s = windows_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  window_data* w = find_window(s, window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!(w->ex_style & WS_EX_LAYERED) || (flags & ~static_cast<DWORD>(LWA_ALPHA | LWA_COLORKEY)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  w->layered_attributes = true;
  w->alpha = (flags & LWA_ALPHA) ? alpha : 255;
  w->layered_flags = flags;
  return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_PAINT: {
      // Painting validates the window; the journal shows that it happened.
      auto& s = windows_state();
      std::string text;
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        window_data* w = find_window(s, window);
        if (w != nullptr && w->needs_paint) {
          w->needs_paint = false;
          text = "window_painted class=" + w->window_class->name +
                 " background=" + describe_brush(w->window_class->background);
        }
      }
      if (!text.empty()) desktop::journal(text);
      return 0;
    }
    case WM_ERASEBKGND: {
      auto& s = windows_state();
      std::lock_guard<std::mutex> lock(s.mutex);
      window_data* w = find_window(s, window);
      return w != nullptr && w->window_class->background != nullptr ? 1 : 0;
    }
    default:
      return 0;
  }
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (fails("PostMessageA")) return FALSE;
  auto& s = windows_state();
  const bool broadcast = window == HWND_BROADCAST;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (broadcast) {
      for (const auto& [value, w] : s.windows) {
        auto& queue = s.queues[w.thread];
        queue.posted.push_back(make_message(reinterpret_cast<HWND>(value), message, wparam, lparam));
        queue.new_input |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
      }
    } else if (window == nullptr) {
      auto& queue = s.queues[GetCurrentThreadId()];
      queue.posted.push_back(make_message(nullptr, message, wparam, lparam));
      queue.new_input |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    } else {
      window_data* w = find_window(s, window);
      if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      auto& queue = s.queues[w->thread];
      queue.posted.push_back(make_message(window, message, wparam, lparam));
      queue.new_input |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    }
  }
  // The system acts on a broadcast monitor-power command for the whole desktop.
  if (broadcast && message == WM_SYSCOMMAND && (wparam & 0xFFF0) == SC_MONITORPOWER) apply_monitor_power(lparam);
  wake_waiters();
  return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filter_min, UINT filter_max, UINT remove) {
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& s = windows_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const DWORD thread = GetCurrentThreadId();
  auto& queue = s.queues[thread];
  // Looking at the queue makes what is in it no longer new.
  queue.new_input = 0;
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (window_filter(window, it->hwnd) && in_filter(it->message, filter_min, filter_max)) {
      *message = *it;
      if (remove & PM_REMOVE) queue.posted.erase(it);
      return TRUE;
    }
  }
  // WM_PAINT stays until the window is validated, whatever `remove` says.
  if (in_filter(WM_PAINT, filter_min, filter_max)) {
    for (const auto& [value, w] : s.windows) {
      HWND handle = reinterpret_cast<HWND>(value);
      if (w.thread == thread && w.visible && w.needs_paint && window_filter(window, handle)) {
        *message = make_message(handle, WM_PAINT, 0, 0);
        return TRUE;
      }
    }
  }
  return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* message) {
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (message->hwnd == nullptr) return 0;
  WNDPROC procedure = nullptr;
  {
    auto& s = windows_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    window_data* w = find_window(s, message->hwnd);
    if (w == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    procedure = w->window_class->procedure;
  }
  return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds,
                                       DWORD wake_mask) {
  const DWORD thread = GetCurrentThreadId();
  auto& s = windows_state();
  // The thread's queue takes the wait slot after the last handle.
  return winsim::detail::wait_for_handles(count, handles, wait_all, milliseconds, [&] {
    std::lock_guard<std::mutex> lock(s.mutex);
    return (s.queues[thread].new_input & wake_mask) != 0;
  });
}
