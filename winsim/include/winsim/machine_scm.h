// Controls of the simulated service control manager, the power-setting and
// session notifications it delivers, and the application event log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winsim::machine {

// ---- Service control manager ----------------------------------------------

// Starts the SCM for one own-process service. From now on
// StartServiceCtrlDispatcherA connects (without an SCM it fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) and runs ServiceMain with
// argv[0] = service_name. The service's state starts as SERVICE_START_PENDING.
void start_scm(const std::string& service_name = "NolvaneSvc");
// Stops the SCM: no control is delivered any more, and a connected
// dispatcher returns TRUE as soon as ServiceMain has returned (ServiceMain
// must end on its own; the dispatcher waits for it).
void stop_scm();
bool scm_running();
// True while a StartServiceCtrlDispatcherA call is connected.
bool dispatcher_connected();
// The name passed to the last successful RegisterServiceCtrlHandlerExA of
// the current dispatcher ("" when none). An own-process service may use any
// name; Windows ignores it, and so does winsim.
std::string registered_handler_name();

struct control_result {
  bool delivered = false;       // HandlerEx ran
  DWORD error = ERROR_SUCCESS;  // why not, when not delivered (see send_control)
  DWORD result = 0;             // HandlerEx's return value
};

// Delivers a control, like ControlService or a system notification: HandlerEx
// runs on the dispatcher's thread (never the caller's) with a copy of `data`
// (nullptr when empty), and the call waits for its result. Not delivered:
// ERROR_SERVICE_NOT_ACTIVE when no dispatcher is connected or the service
// reported SERVICE_STOPPED; ERROR_SERVICE_CANNOT_ACCEPT_CTRL in
// SERVICE_START_PENDING and SERVICE_STOP_PENDING, or without a registered
// handler; ERROR_INVALID_SERVICE_CONTROL when the service does not accept the
// control (SERVICE_ACCEPT_* of its last status) or the code is unknown;
// ERROR_SERVICE_REQUEST_TIMEOUT when called from inside HandlerEx.
control_result send_control(DWORD control, DWORD event_type = 0, const std::vector<BYTE>& data = {});

// SERVICE_CONTROL_SESSIONCHANGE with a WTSSESSION_NOTIFICATION.
control_result send_session_change(DWORD event_type, DWORD session_id = 1);

// SERVICE_CONTROL_POWEREVENT / PBT_POWERSETTINGCHANGE with a
// POWERBROADCAST_SETTING carrying `value` (DataLength 4). Like Windows, only
// sent when the service has an active registration for `setting`
// (RegisterPowerSettingNotification with DEVICE_NOTIFY_SERVICE_HANDLE);
// otherwise not delivered with ERROR_NOT_FOUND.
control_result send_power_setting(const GUID& setting, DWORD value);

// The bytes of a POWERBROADCAST_SETTING: the GUID, DataLength = size, then
// `size` bytes of data (no padding after them).
std::vector<BYTE> power_setting_data(const GUID& setting, const void* data, DWORD size);

// Every SERVICE_STATUS that SetServiceStatus accepted since the last reset,
// in order (failed calls are not recorded).
std::vector<SERVICE_STATUS> service_statuses();

struct power_setting_registration {
  GUID setting{};
  DWORD flags = 0;
  HANDLE recipient = nullptr;
  HPOWERNOTIFY handle = nullptr;
  bool active = false;  // false once unregistered
};
// Every successful RegisterPowerSettingNotification since the last reset, in order.
std::vector<power_setting_registration> power_setting_registrations();

// ---- Application event log --------------------------------------------------

struct event_log_entry {
  std::string source;
  WORD type = 0;
  WORD category = 0;
  DWORD event_id = 0;
  std::vector<std::string> strings;
  std::vector<BYTE> data;
};
// Entries written with ReportEventA since the last reset, in order.
std::vector<event_log_entry> event_log();
void clear_event_log();
// Event sources registered and not yet deregistered.
size_t open_event_source_count();

}  // namespace winsim::machine
