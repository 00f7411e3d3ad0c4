// The control API of the simulated laptop. Tests and nolvane_sim reach the
// simulation only through these functions; product code never includes this.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace winsim::machine {

// Returns every in-process part of the simulation to a new machine.
void reset();

// The machine directory shared with child processes (WINSIM_MACHINE), or "".
std::string directory();

// Makes `function` (its Win32 name, e.g. "SetServiceStatus") fail with `error`
// (a Win32 error, HRESULT or NTSTATUS, whatever the call reports) for the next
// `times` calls, or for every call when times is -1.
void fail_call(const std::string& function, DWORD error, int times = -1);
// Makes the n-th call of `function` (1 for the first, counted as
// call_counts() counts) fail once with `error`.
void fail_nth_call(const std::string& function, size_t n, DWORD error);
void clear_failures();

// The record of this process's calls: how often each function that can be
// made to fail was called, by the name fail_call() takes, since the last
// reset. winsim's calls of its own functions are not counted.
std::map<std::string, size_t> call_counts();
void clear_call_counts();

// Number of kernel object handles open in this process.
size_t open_handle_count();

// Sleep in this process waits at most `milliseconds`; INFINITE (a new
// machine) waits as long as asked. For a fuzzer, which runs the daemon's
// actions in its own process and cannot wait out their pauses.
void limit_sleep(DWORD milliseconds);

// A fresh simulated laptop for one test: a new machine directory (exported as
// WINSIM_MACHINE for child processes) and reset in-process state. The
// directory is removed again on destruction.
class scoped_machine {
 public:
  scoped_machine();
  ~scoped_machine();
  scoped_machine(const scoped_machine&) = delete;
  scoped_machine& operator=(const scoped_machine&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

}  // namespace winsim::machine

// Each area of the simulation adds its own controls.
#include <winsim/machine_etw.h>
#include <winsim/machine_scm.h>
#include <winsim/machine_power.h>
#include <winsim/machine_registry.h>
#include <winsim/machine_devices.h>
#include <winsim/machine_desktop.h>
#include <winsim/machine_process.h>
#include <winsim/machine_power_policy.h>
#include <winsim/machine_terminal.h>
#include <winsim/machine_sensor.h>
#include <winsim/machine_threads.h>
