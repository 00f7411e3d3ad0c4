// Controls of the simulated power policies (CallNtPowerInformation) and of
// the display physics that act on their video time-outs.
#pragma once

#include <powrprof.h>

#include <functional>
#include <vector>

namespace winsim::machine {

// A new machine has Windows' default balanced scheme: on AC the display
// turns off after 600 s and the machine sleeps after 1800 s, on DC after
// 300 s and 900 s; no application requires the system or the display.

// `level` is SystemPowerPolicyAc or SystemPowerPolicyDc.
void set_video_timeout(POWER_INFORMATION_LEVEL level, DWORD seconds);
DWORD video_timeout(POWER_INFORMATION_LEVEL level);
void set_idle_timeout(POWER_INFORMATION_LEVEL level, DWORD seconds);
DWORD idle_timeout(POWER_INFORMATION_LEVEL level);
SYSTEM_POWER_POLICY power_policy(POWER_INFORMATION_LEVEL level);

// What CallNtPowerInformation(SystemExecutionState) reports: the requests of
// every application, e.g. ES_DISPLAY_REQUIRED while a video plays.
void set_system_execution_state(DWORD state);
DWORD system_execution_state();

// One write of a power policy through CallNtPowerInformation, in order.
struct power_policy_write {
  POWER_INFORMATION_LEVEL level;
  DWORD video_timeout;
};
std::vector<power_policy_write> power_policy_writes();

// Makes reads or writes of one policy fail with `status` for the next
// `times` calls (-1: all). fail_call("CallNtPowerInformation", ...) makes
// every call fail.
void fail_power_policy_read(POWER_INFORMATION_LEVEL level, NTSTATUS status, int times = -1);
void fail_power_policy_write(POWER_INFORMATION_LEVEL level, NTSTATUS status, int times = -1);

// Runs `hook` on the calling thread at the start of every
// CallNtPowerInformation call on the AC or DC policy, before the policy is
// read or written (`write`: the call writes it). Lets a test hold one caller
// at a chosen step. An empty function removes the hook, as does reset().
using power_policy_hook = std::function<void(POWER_INFORMATION_LEVEL level, bool write)>;
void on_power_policy_call(power_policy_hook hook);

// The display physics of the simulated OS, on a thread of their own that
// looks at the desktop every `interval_ms`: with a video time-out of N
// seconds (of the power source in use) and no input for N seconds the
// display turns off, unless the system execution state requires it; input
// turns it on. Each change is sent to the service as the console-display
// power setting (GUID_CONSOLE_DISPLAY_STATE, 0 off, 1 on) through the
// simulated SCM. Stopped by stop_display_physics() and by reset().
void start_display_physics(DWORD interval_ms = 20);
void stop_display_physics();
bool display_physics_running();

}  // namespace winsim::machine
