#include "host/service_control_handler.h"

#include "common/process_flags.h"
#include "config/power_source.h"
#include "logging/trace_line.h"

#include <cstring>
#include <stdexcept>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

namespace {

constexpr const char* tag = "runner";

struct power_setting_entry {
  const GUID* setting;
  const char* name;
};

// The lid switch's name carries a final blank; log readers match it as is.
const power_setting_entry power_settings[] = {
    {&GUID_CONSOLE_DISPLAY_STATE, "GUID_CONSOLE_DISPLAY_STATE"},
    {&GUID_ACDC_POWER_SOURCE, "GUID_ACDC_POWER_SOURCE"},
    {&GUID_BATTERY_PERCENTAGE_REMAINING, "GUID_BATTERY_PERCENTAGE_REMAINING"},
    {&GUID_MONITOR_POWER_ON, "GUID_MONITOR_POWER_ON"},
    {&GUID_SESSION_DISPLAY_STATUS, "GUID_SESSION_DISPLAY_STATUS"},
    {&GUID_SYSTEM_AWAYMODE, "GUID_SYSTEM_AWAYMODE"},
    {&GUID_LIDSWITCH_STATE_CHANGE, "GUID_LIDSWITCH_STATE_CHANGE "},
};

struct session_change_entry {
  const char* name;
  events_t event;  // NONE: nothing is pushed
};

// Indexed by the WTS_* event type, 1 to 9.
const session_change_entry session_changes[] = {
    {nullptr, NONE},
    {"WTS_CONSOLE_CONNECT", NONE},
    {"WTS_CONSOLE_DISCONNECT", NONE},
    {"WTS_REMOTE_CONNECT", REMOTE_DESKTOP},
    {"WTS_REMOTE_DISCONNECT", NOT_REMOTE_DESKTOP},
    {"WTS_SESSION_LOGON", SESSION_UNLOCK},
    {"WTS_SESSION_LOGOFF", SESSION_LOCK},
    {"WTS_SESSION_LOCK", SESSION_LOCK},
    {"WTS_SESSION_UNLOCK", SESSION_UNLOCK},
    {"WTS_SESSION_REMOTE_CONTROL", REMOTE_DESKTOP},
};

// GUID_CONSOLE_DISPLAY_STATE values.
constexpr DWORD display_off = 0;
constexpr DWORD display_on_value = 1;

const char* source_name(bool on_mains) { return on_mains ? "AC" : "DC"; }

void handle_stop(event_queue& queue) {
  stop_requested = true;
  start_delay_wait.notify_all();
  queue.add_event(QUIT);
  trace_line(log_level::debug, tag) << "service_control_handler: SERVICE_CONTROL_STOP \n";
}

void handle_power_status_change(event_queue& queue) {
  trace_line(log_level::info, tag) << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMPOWERSTATUSCHANGE";
  // A failed query answers with the value we have, so it never reloads.
  const bool now_plugged_in = config::is_plugged_in(plugged_in);
  if (now_plugged_in != plugged_in) {
    plugged_in = now_plugged_in;
    trace_line(log_level::debug, tag) << "Power status: Switching to " << source_name(now_plugged_in) << "\n";
    reload_requested = true;
    queue.add_event(RELOAD);
    return;
  }
  trace_line(log_level::debug, tag) << "Power status: Already on " << source_name(now_plugged_in) << "\n";
}

void handle_power_setting_change(event_queue& queue, const void* event_data) {
  trace_line(log_level::info, tag) << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_POWERSETTINGCHANGE";
  if (event_data == nullptr) return;
  const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(event_data);
  // The value is the first data DWORD; a shorter setting is read only as far
  // as its stated length, the rest counting as zero.
  DWORD value = 0;
  const DWORD length = setting->DataLength < sizeof(value) ? setting->DataLength : sizeof(value);
  std::memcpy(&value, setting->Data, length);

  trace_line(log_level::info, tag) << "Power setting: " << power_setting_name(setting->PowerSetting);
  trace_line(log_level::info, tag) << "Data value: " << value;
  if (!IsEqualGUID(setting->PowerSetting, GUID_CONSOLE_DISPLAY_STATE)) return;
  if (value == display_off) {
    queue.add_event(DISPLAY_OFF);
    display_on = false;
  } else if (value == display_on_value) {
    queue.add_event(DISPLAY_ON);
    display_on = true;
  }
  // 2 (dimmed) changes nothing.
}

void handle_power_event(event_queue& queue, DWORD event_type, const void* event_data) {
  switch (event_type) {
    case PBT_APMSUSPEND:
      trace_line(log_level::info, tag) << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMSUSPEND";
      break;
    case PBT_APMRESUMESUSPEND:
      trace_line(log_level::info, tag) << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMRESUMESUSPEND";
      break;
    case PBT_APMRESUMEAUTOMATIC:
      trace_line(log_level::info, tag)
          << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> PBT_APMRESUMEAUTOMATIC";
      break;
    case PBT_APMPOWERSTATUSCHANGE:
      handle_power_status_change(queue);
      break;
    case PBT_POWERSETTINGCHANGE:
      handle_power_setting_change(queue, event_data);
      break;
    default:
      trace_line(log_level::info, tag) << "service_control_handler, SERVICE_CONTROL_POWEREVENT -> default: "
                                       << event_type << "\n";
      break;
  }
}

void handle_session_change(event_queue& queue, DWORD event_type) {
  constexpr DWORD count = sizeof(session_changes) / sizeof(session_changes[0]);
  if (event_type == 0 || event_type >= count) {
    trace_line(log_level::debug, tag) << "service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> default:"
                                      << event_type << "\n";
    return;
  }
  const auto& change = session_changes[event_type];
  trace_line(log_level::debug, tag) << "service_control_handler, SERVICE_CONTROL_SESSIONCHANGE -> " << change.name
                                    << "\n";
  if (change.event != NONE) queue.add_event(change.event);
}

}  // namespace

const char* power_setting_name(const GUID& setting) {
  for (const auto& entry : power_settings) {
    if (IsEqualGUID(setting, *entry.setting)) return entry.name;
  }
  return "Unknown GUID";
}

DWORD service_control_handler(event_queue& queue, DWORD control, DWORD event_type, void* event_data) {
  // Runs on the SCM's thread: nothing may escape into the dispatcher.
  try {
    switch (control) {
      case SERVICE_CONTROL_STOP:
        handle_stop(queue);
        break;
      case SERVICE_CONTROL_POWEREVENT:
        handle_power_event(queue, event_type, event_data);
        break;
      case SERVICE_CONTROL_SESSIONCHANGE:
        // The session number in the event data is not needed.
        handle_session_change(queue, event_type);
        break;
      default:
        break;
    }
  } catch (...) {
  }
  return NO_ERROR;
}

control_callback make_callback(std::shared_ptr<event_queue> queue) {
  if (!queue) throw std::invalid_argument("make_callback needs an event queue");
  return [queue = std::move(queue)](DWORD control, DWORD event_type, void* event_data) {
    service_control_handler(*queue, control, event_type, event_data);
  };
}

}  // namespace ostrel
