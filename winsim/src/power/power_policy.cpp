// CallNtPowerInformation for the levels the service uses: the AC and DC
// system power policies (read, and written through the input buffer), the
// policy of the current power source, and the system execution state.
#include "kernel/kernel_object.h"

#include <powrprof.h>
#include <winsim/machine.h>

#include <string>

namespace {

struct policy_state {
  std::mutex mutex;
  SYSTEM_POWER_POLICY ac{};
  SYSTEM_POWER_POLICY dc{};
  DWORD execution_state = 0;
  std::vector<winsim::machine::power_policy_write> writes;
  winsim::machine::power_policy_hook hook;
};

SYSTEM_POWER_POLICY default_policy(DWORD video_timeout, DWORD idle_timeout) {
  SYSTEM_POWER_POLICY p{};
  p.Revision = 1;
  p.PowerButton.Action = PowerActionSleep;
  p.SleepButton.Action = PowerActionSleep;
  p.LidClose.Action = PowerActionSleep;
  p.LidOpenWake = PowerSystemWorking;
  p.Idle.Action = PowerActionSleep;
  p.IdleTimeout = idle_timeout;
  p.MinSleep = PowerSystemSleeping1;
  p.MaxSleep = PowerSystemSleeping3;
  p.ReducedLatencySleep = PowerSystemSleeping1;
  p.VideoTimeout = video_timeout;
  p.VideoDimDisplay = TRUE;
  p.OptimizeForPower = TRUE;
  p.FanThrottleTolerance = 100;
  p.MinThrottle = 50;
  return p;
}

void reset_locked(policy_state& s) {
  s.ac = default_policy(600, 1800);
  s.dc = default_policy(300, 900);
  s.execution_state = 0;
  s.writes.clear();
  s.hook = nullptr;
}

policy_state& state() {
  static policy_state* s = [] {
    auto* created = new policy_state;
    reset_locked(*created);
    winsim::detail::on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      reset_locked(*created);
    });
    return created;
  }();
  return *s;
}

// Runs `use` on the state under its mutex; returns what `use` returns.
template <typename Use>
auto with_state(Use use) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return use(s);
}

SYSTEM_POWER_POLICY& policy_for(policy_state& s, POWER_INFORMATION_LEVEL level) {
  return level == SystemPowerPolicyDc ? s.dc : s.ac;
}

const char* level_name(POWER_INFORMATION_LEVEL level) {
  return level == SystemPowerPolicyDc ? "SystemPowerPolicyDc" : "SystemPowerPolicyAc";
}

std::string failure_key(POWER_INFORMATION_LEVEL level, const char* direction) {
  return std::string("CallNtPowerInformation.") + direction + "." + level_name(level);
}

bool injected(const std::string& key, NTSTATUS* status) {
  DWORD error = 0;
  if (!winsim::detail::should_fail_variant(key.c_str(), &error)) return false;
  *status = static_cast<NTSTATUS>(error);
  return true;
}

// The policy in force is that of the power source the machine runs on.
POWER_INFORMATION_LEVEL current_level() {
  SYSTEM_POWER_STATUS status{};
  const winsim::detail::internal_calls internal;
  if (GetSystemPowerStatus(&status) && status.ACLineStatus == AC_LINE_OFFLINE) return SystemPowerPolicyDc;
  return SystemPowerPolicyAc;
}

// Called without the state's lock: the hook may block its caller.
void run_hook(POWER_INFORMATION_LEVEL level, bool write) {
  winsim::machine::power_policy_hook hook;
  {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    hook = s.hook;
  }
  if (hook) hook(level, write);
}

NTSTATUS read_policy(POWER_INFORMATION_LEVEL level, PVOID out, ULONG out_length) {
  if (out_length < sizeof(SYSTEM_POWER_POLICY)) return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS status = 0;
  if (injected(failure_key(level, "read"), &status)) return status;
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::memcpy(out, &policy_for(s, level), sizeof(SYSTEM_POWER_POLICY));
  return STATUS_SUCCESS;
}

NTSTATUS write_policy(POWER_INFORMATION_LEVEL level, PVOID in, ULONG in_length) {
  if (in_length < sizeof(SYSTEM_POWER_POLICY)) return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS status = 0;
  if (injected(failure_key(level, "write"), &status)) return status;
  SYSTEM_POWER_POLICY policy;
  std::memcpy(&policy, in, sizeof policy);
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  policy_for(s, level) = policy;
  s.writes.push_back({level, policy.VideoTimeout});
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WINAPI CallNtPowerInformation(POWER_INFORMATION_LEVEL level, PVOID input_buffer, ULONG input_buffer_length,
                                       PVOID output_buffer, ULONG output_buffer_length) {
  DWORD error = 0;
  if (winsim::detail::should_fail("CallNtPowerInformation", &error)) return static_cast<NTSTATUS>(error);
  switch (level) {
    case SystemPowerPolicyAc:
    case SystemPowerPolicyDc: {
      run_hook(level, /*write=*/input_buffer != nullptr);
      // The input buffer, when given, becomes the policy; the output buffer
      // then receives the policy in force.
      if (input_buffer != nullptr) {
        const NTSTATUS status = write_policy(level, input_buffer, input_buffer_length);
        if (status != STATUS_SUCCESS) return status;
      }
      if (output_buffer != nullptr) return read_policy(level, output_buffer, output_buffer_length);
      return STATUS_SUCCESS;
    }
    case SystemPowerPolicyCurrent:
      if (input_buffer != nullptr || output_buffer == nullptr) return STATUS_INVALID_PARAMETER;
      return read_policy(current_level(), output_buffer, output_buffer_length);
    case SystemExecutionState: {
      if (input_buffer != nullptr || output_buffer == nullptr) return STATUS_INVALID_PARAMETER;
      if (output_buffer_length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
      auto& s = state();
      std::lock_guard<std::mutex> lock(s.mutex);
      const ULONG value = s.execution_state;
      std::memcpy(output_buffer, &value, sizeof value);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

namespace winsim::machine {

void set_video_timeout(POWER_INFORMATION_LEVEL level, DWORD seconds) {
  with_state([&](policy_state& s) { policy_for(s, level).VideoTimeout = seconds; });
}

DWORD video_timeout(POWER_INFORMATION_LEVEL level) {
  return with_state([&](policy_state& s) { return policy_for(s, level).VideoTimeout; });
}

void set_idle_timeout(POWER_INFORMATION_LEVEL level, DWORD seconds) {
  with_state([&](policy_state& s) { policy_for(s, level).IdleTimeout = seconds; });
}

DWORD idle_timeout(POWER_INFORMATION_LEVEL level) {
  return with_state([&](policy_state& s) { return policy_for(s, level).IdleTimeout; });
}

SYSTEM_POWER_POLICY power_policy(POWER_INFORMATION_LEVEL level) {
  return with_state([&](policy_state& s) { return policy_for(s, level); });
}

void set_system_execution_state(DWORD execution_state) {
  with_state([&](policy_state& s) { s.execution_state = execution_state; });
}

DWORD system_execution_state() {
  return with_state([](policy_state& s) { return s.execution_state; });
}

std::vector<power_policy_write> power_policy_writes() {
  return with_state([](policy_state& s) { return s.writes; });
}

void on_power_policy_call(power_policy_hook hook) {
  with_state([&](policy_state& s) { s.hook = std::move(hook); });
}

void fail_power_policy_read(POWER_INFORMATION_LEVEL level, NTSTATUS status, int times) {
  fail_call(failure_key(level, "read"), static_cast<DWORD>(status), times);
}

void fail_power_policy_write(POWER_INFORMATION_LEVEL level, NTSTATUS status, int times) {
  fail_call(failure_key(level, "write"), static_cast<DWORD>(status), times);
}

}  // namespace winsim::machine
