// Any control, event type and event data into the service's control handler,
// the way the SCM's thread calls it: power-setting notifications with any
// setting and data of any length (the buffer holds exactly the stated data),
// session changes of every kind with their notification record, and
// power-status changes with any AC line answer.
#include "common/process_flags.h"
#include "events/event_queue.h"
#include "host/service_control_handler.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <winsim/machine.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const DWORD controls[] = {SERVICE_CONTROL_STOP, SERVICE_CONTROL_POWEREVENT, SERVICE_CONTROL_SESSIONCHANGE,
                          SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN};
const DWORD power_events[] = {PBT_APMSUSPEND, PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC,
                              PBT_APMPOWERSTATUSCHANGE, PBT_POWERSETTINGCHANGE};
const DWORD session_changes[] = {WTS_CONSOLE_CONNECT,  WTS_CONSOLE_DISCONNECT, WTS_REMOTE_CONNECT,
                                 WTS_REMOTE_DISCONNECT, WTS_SESSION_LOGON,     WTS_SESSION_LOGOFF,
                                 WTS_SESSION_LOCK,     WTS_SESSION_UNLOCK,     WTS_SESSION_REMOTE_CONTROL,
                                 WTS_SESSION_CREATE,   WTS_SESSION_TERMINATE};
const GUID* const settings[] = {&GUID_CONSOLE_DISPLAY_STATE,       &GUID_ACDC_POWER_SOURCE,
                                &GUID_BATTERY_PERCENTAGE_REMAINING, &GUID_MONITOR_POWER_ON,
                                &GUID_SESSION_DISPLAY_STATUS,       &GUID_SYSTEM_AWAYMODE,
                                &GUID_LIDSWITCH_STATE_CHANGE};
const BYTE ac_line_states[] = {AC_LINE_OFFLINE, AC_LINE_ONLINE, AC_LINE_BACKUP_POWER, AC_LINE_UNKNOWN};

template <typename T, size_t N>
T pick(FuzzedDataProvider& input, const T (&known)[N]) {
  // Mostly the values the handler knows, sometimes any value at all.
  return input.ConsumeBool() ? input.PickValueInArray(known) : input.ConsumeIntegral<T>();
}

GUID any_setting(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return *input.PickValueInArray(settings);
  GUID setting{};
  const auto bytes = input.ConsumeBytes<uint8_t>(sizeof setting);
  if (!bytes.empty()) std::memcpy(&setting, bytes.data(), bytes.size());
  return setting;
}

// The event data exactly as long as the record it holds.
std::vector<BYTE> event_data(FuzzedDataProvider& input, DWORD control) {
  if (control == SERVICE_CONTROL_SESSIONCHANGE) {
    const WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), input.ConsumeIntegral<DWORD>()};
    const auto* bytes = reinterpret_cast<const BYTE*>(&notification);
    return std::vector<BYTE>(bytes, bytes + sizeof notification);
  }
  const GUID setting = any_setting(input);
  const auto data = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 16));
  return winsim::machine::power_setting_data(setting, data.data(), static_cast<DWORD>(data.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider input(bytes, size);
  ostrel::plugged_in = input.ConsumeBool();
  winsim::machine::set_ac_line_status(input.PickValueInArray(ac_line_states));
  if (input.ConsumeBool()) winsim::machine::fail_call("GetSystemPowerStatus", ERROR_ACCESS_DENIED, 1);

  const DWORD control = pick(input, controls);
  const DWORD event_type =
      control == SERVICE_CONTROL_SESSIONCHANGE ? pick(input, session_changes) : pick(input, power_events);
  std::unique_ptr<BYTE[]> data;
  if (input.ConsumeBool()) {
    const std::vector<BYTE> record = event_data(input, control);
    data.reset(new BYTE[record.size()]);
    std::memcpy(data.get(), record.data(), record.size());
  }

  auto queue = std::make_shared<ostrel::event_queue>();
  size_t pushed = 0;
  queue->set_event_callback([&pushed](ostrel::events_t) { ++pushed; });
  if (ostrel::service_control_handler(*queue, control, event_type, data.get()) != NO_ERROR) __builtin_trap();
  while (queue->process_next_event()) {
  }
  // One notification is at most one event.
  if (pushed > 1) __builtin_trap();
  winsim::machine::clear_failures();
  return 0;
}
