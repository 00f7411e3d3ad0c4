// The service control manager for one own-process service: the control
// dispatcher, HandlerEx registration, SetServiceStatus, and the power-setting
// notifications that reach a service through its HandlerEx.
//
// As on Windows, the thread that calls StartServiceCtrlDispatcherA becomes
// the dispatcher: ServiceMain runs on a thread of its own, and every control
// reaches HandlerEx on the dispatcher's thread.
#include "kernel/kernel_object.h"

#include <winsim/machine.h>

#include <deque>
#include <thread>

namespace {

struct control_request {
  DWORD control = 0;
  DWORD event_type = 0;
  std::vector<BYTE> data;
  bool done = false;
  winsim::machine::control_result outcome;
};

struct scm_state {
  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  std::string service_name;

  // The connected dispatcher, if any.
  bool connected = false;
  std::thread::id dispatcher_thread;
  uintptr_t session = 0;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  void* context = nullptr;
  std::string handler_name;
  SERVICE_STATUS current{};
  bool service_main_returned = false;
  std::deque<std::shared_ptr<control_request>> requests;

  std::vector<SERVICE_STATUS> statuses;
  std::vector<winsim::machine::power_setting_registration> registrations;
  uintptr_t next_notify = 0;
};

void fail_requests_locked(scm_state& s, DWORD error) {
  for (auto& request : s.requests) {
    request->outcome = {false, error, 0};
    request->done = true;
  }
  s.requests.clear();
  s.changed.notify_all();
}

scm_state& state() {
  static scm_state* s = [] {
    auto* created = new scm_state;
    winsim::detail::on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      // A dispatcher still connected leaves once its ServiceMain returns.
      created->running = false;
      fail_requests_locked(*created, ERROR_SERVICE_NOT_ACTIVE);
      created->statuses.clear();
      created->registrations.clear();
      created->changed.notify_all();
    });
    return created;
  }();
  return *s;
}

// The SERVICE_ACCEPT_* bit a control needs; 0 for controls every service
// receives (interrogate, device events, user-defined codes 128..255).
bool accept_flag_for(DWORD control, DWORD* flag) {
  switch (control) {
    case SERVICE_CONTROL_STOP: *flag = SERVICE_ACCEPT_STOP; return true;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: *flag = SERVICE_ACCEPT_PAUSE_CONTINUE; return true;
    case SERVICE_CONTROL_SHUTDOWN: *flag = SERVICE_ACCEPT_SHUTDOWN; return true;
    case SERVICE_CONTROL_PARAMCHANGE: *flag = SERVICE_ACCEPT_PARAMCHANGE; return true;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: *flag = SERVICE_ACCEPT_NETBINDCHANGE; return true;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: *flag = SERVICE_ACCEPT_HARDWAREPROFILECHANGE; return true;
    case SERVICE_CONTROL_POWEREVENT: *flag = SERVICE_ACCEPT_POWEREVENT; return true;
    case SERVICE_CONTROL_SESSIONCHANGE: *flag = SERVICE_ACCEPT_SESSIONCHANGE; return true;
    case SERVICE_CONTROL_PRESHUTDOWN: *flag = SERVICE_ACCEPT_PRESHUTDOWN; return true;
    case SERVICE_CONTROL_TIMECHANGE: *flag = SERVICE_ACCEPT_TIMECHANGE; return true;
    case SERVICE_CONTROL_TRIGGEREVENT: *flag = SERVICE_ACCEPT_TRIGGEREVENT; return true;
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_DEVICEEVENT: *flag = 0; return true;
    default:
      *flag = 0;
      return control >= 128 && control <= 255;
  }
}

bool valid_state(DWORD state) { return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED; }

bool valid_service_type(DWORD type) {
  const DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

// The dispatcher leaves once the service has reported SERVICE_STOPPED, or the
// SCM went away, and in both cases ServiceMain has returned.
bool dispatcher_done_locked(const scm_state& s) {
  if (!s.service_main_returned) return false;
  return !s.running || s.current.dwCurrentState == SERVICE_STOPPED;
}

}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (winsim::detail::should_fail_with_last_error("StartServiceCtrlDispatcherA")) return FALSE;
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.running) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (s.connected) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  s.connected = true;
  s.dispatcher_thread = std::this_thread::get_id();
  ++s.session;
  // Distinct per dispatcher session, never null, like an opaque Windows handle.
  s.status_handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5C0000 + s.session * 8));
  s.handler = nullptr;
  s.context = nullptr;
  s.handler_name.clear();
  s.current = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  s.service_main_returned = false;

  // Own process: the entry's name is ignored, ServiceMain gets the SCM's name.
  std::string name = s.service_name;
  LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
  lock.unlock();

  std::thread main_thread([&s, &name, service_main] {
    std::vector<char> name_buffer(name.begin(), name.end());
    name_buffer.push_back('\0');
    LPSTR argv[] = {name_buffer.data(), nullptr};
    service_main(1, argv);
    std::lock_guard<std::mutex> guard(s.mutex);
    s.service_main_returned = true;
    s.changed.notify_all();
  });

  lock.lock();
  for (;;) {
    // Requests are failed, never queued, while the SCM is stopped.
    s.changed.wait(lock, [&s] { return !s.requests.empty() || dispatcher_done_locked(s); });
    if (dispatcher_done_locked(s)) break;
    auto request = s.requests.front();
    s.requests.pop_front();
    LPHANDLER_FUNCTION_EX handler = s.handler;
    void* context = s.context;
    lock.unlock();
    const DWORD result =
        handler(request->control, request->event_type, request->data.empty() ? nullptr : request->data.data(), context);
    lock.lock();
    request->outcome = {true, ERROR_SUCCESS, result};
    request->done = true;
    s.changed.notify_all();
  }
  fail_requests_locked(s, ERROR_SERVICE_NOT_ACTIVE);
  lock.unlock();
  main_thread.join();
  lock.lock();
  s.connected = false;
  s.status_handle = nullptr;
  s.handler = nullptr;
  s.context = nullptr;
  s.changed.notify_all();
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  if (winsim::detail::should_fail_with_last_error("RegisterServiceCtrlHandlerExA")) return nullptr;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.connected) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  if (name == nullptr || handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  s.handler = handler;
  s.context = context;
  s.handler_name = name;
  return s.status_handle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (winsim::detail::should_fail_with_last_error("SetServiceStatus")) return FALSE;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.connected || handle == nullptr || handle != s.status_handle || s.handler == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!valid_state(status->dwCurrentState) || !valid_service_type(status->dwServiceType)) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  s.statuses.push_back(*status);
  s.current = *status;
  s.changed.notify_all();
  return TRUE;
}

HPOWERNOTIFY WINAPI RegisterPowerSettingNotification(HANDLE recipient, LPCGUID setting, DWORD flags) {
  if (winsim::detail::should_fail_with_last_error("RegisterPowerSettingNotification")) return nullptr;
  if (setting == nullptr || (flags != DEVICE_NOTIFY_WINDOW_HANDLE && flags != DEVICE_NOTIFY_SERVICE_HANDLE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (recipient == nullptr ||
      (flags == DEVICE_NOTIFY_SERVICE_HANDLE && (!s.connected || recipient != static_cast<HANDLE>(s.status_handle)))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++s.next_notify;
  auto handle = reinterpret_cast<HPOWERNOTIFY>(static_cast<uintptr_t>(0x6D0000 + s.next_notify * 8));
  s.registrations.push_back({*setting, flags, recipient, handle, true});
  return handle;
}

BOOL WINAPI UnregisterPowerSettingNotification(HPOWERNOTIFY handle) {
  if (winsim::detail::should_fail_with_last_error("UnregisterPowerSettingNotification")) return FALSE;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& r : s.registrations) {
    if (r.handle == handle && r.active) {
      r.active = false;
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

namespace winsim::machine {

void start_scm(const std::string& service_name) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.running = true;
  s.service_name = service_name;
  s.changed.notify_all();
}

void stop_scm() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.running = false;
  fail_requests_locked(s, ERROR_SERVICE_NOT_ACTIVE);
}

bool scm_running() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.running;
}

bool dispatcher_connected() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.connected;
}

std::string registered_handler_name() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.connected ? s.handler_name : std::string();
}

control_result send_control(DWORD control, DWORD event_type, const std::vector<BYTE>& data) {
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.running || !s.connected || s.current.dwCurrentState == SERVICE_STOPPED) {
    return {false, ERROR_SERVICE_NOT_ACTIVE, 0};
  }
  if (std::this_thread::get_id() == s.dispatcher_thread) {
    // The dispatcher is busy running this very HandlerEx.
    return {false, ERROR_SERVICE_REQUEST_TIMEOUT, 0};
  }
  DWORD needed = 0;
  if (!accept_flag_for(control, &needed)) return {false, ERROR_INVALID_SERVICE_CONTROL, 0};
  const DWORD current = s.current.dwCurrentState;
  if (current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING || s.handler == nullptr) {
    return {false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0};
  }
  if (needed != 0 && (s.current.dwControlsAccepted & needed) == 0) {
    return {false, ERROR_INVALID_SERVICE_CONTROL, 0};
  }
  auto request = std::make_shared<control_request>();
  request->control = control;
  request->event_type = event_type;
  request->data = data;
  s.requests.push_back(request);
  s.changed.notify_all();
  s.changed.wait(lock, [&request] { return request->done; });
  return request->outcome;
}

control_result send_session_change(DWORD event_type, DWORD session_id) {
  WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), session_id};
  const auto* bytes = reinterpret_cast<const BYTE*>(&notification);
  return send_control(SERVICE_CONTROL_SESSIONCHANGE, event_type,
                      std::vector<BYTE>(bytes, bytes + sizeof(notification)));
}

std::vector<BYTE> power_setting_data(const GUID& setting, const void* data, DWORD size) {
  std::vector<BYTE> bytes(offsetof(POWERBROADCAST_SETTING, Data) + size);
  std::memcpy(bytes.data(), &setting, sizeof(GUID));
  std::memcpy(bytes.data() + offsetof(POWERBROADCAST_SETTING, DataLength), &size, sizeof(DWORD));
  if (size > 0) std::memcpy(bytes.data() + offsetof(POWERBROADCAST_SETTING, Data), data, size);
  return bytes;
}

control_result send_power_setting(const GUID& setting, DWORD value) {
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    bool registered = false;
    for (const auto& r : s.registrations) {
      registered = registered || (r.active && r.flags == DEVICE_NOTIFY_SERVICE_HANDLE && r.setting == setting &&
                                  s.connected && r.recipient == static_cast<HANDLE>(s.status_handle));
    }
    if (!registered) return {false, ERROR_NOT_FOUND, 0};
  }
  return send_control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE,
                      power_setting_data(setting, &value, sizeof(value)));
}

std::vector<SERVICE_STATUS> service_statuses() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.statuses;
}

std::vector<power_setting_registration> power_setting_registrations() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.registrations;
}

}  // namespace winsim::machine
