// service_main: the ServiceMain of nolvane_service. Start-up, then load
// passes until the service stops: each pass rebuilds the event queue, the
// device interface, the engine callbacks and the engine runner around the
// one configuration reader and the one top-level state machine, and runs the
// event loop on this thread.
#pragma once

#include "engine/engine_runner_interface.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

// The name the control handler is registered under and the service's name
// in its messages.
inline constexpr const char* service_name = "Nolvane";
inline constexpr const char* program_version = "1000.124.444.10302";

// Win32 exit codes of a service that stopped on an exception.
inline constexpr DWORD exit_code_bad_configuration = 1610;  // ERROR_BAD_CONFIGURATION
inline constexpr DWORD exit_code_unexpected = 574;          // ERROR_UNHANDLED_EXCEPTION

// Engine retries in the life of the process before the service gives up.
inline constexpr int engine_init_retries = 10;

// Runs on the thread the dispatcher gives it; the arguments are not used.
void WINAPI service_main(DWORD argc, char** argv);

// Moments of a load pass at which a test can act on the service's own
// thread, to deliver a control exactly then. The service itself sets no hook.
enum class pass_point {
  // The reader has the pass's power source; the pass's control callback is
  // about to replace the previous pass's, which still receives the controls.
  control_callback_swap,
  // SERVICE_RUNNING is reported and the state machine started; the event
  // loop is about to run.
  event_loop_start,
};
// `pass` counts the load passes of this service_main run from 1.
using pass_hook = std::function<void(pass_point point, int pass)>;
// Set before the service starts and cleared after it ended.
void set_pass_hook(pass_hook hook);

// The engine parameters the service hands over, by id. Ids 3 to 6 and 9
// have fixed values.
struct runner_parameters {
  uint64_t opmode = 0;       // 1: Opmode
  bool debug_mode = false;   // 2: DebugMode non-zero
  float parameter_7 = 0.0f;  // 7: see compute_parameter_7
  bool use_skelder = false;  // 8: UseSkelder non-zero
};

// (T - DimDuration) - SensorSleepDuration, T being LockScreenTimeout when it
// exceeds SensorSleepDuration + 5 + DimDuration, else that sum; never below 5.
float compute_parameter_7(int32_t lock_screen_timeout, int32_t dim_duration, int32_t sensor_sleep_duration);

// Hands the nine (id, value) pairs over in id order; false at the first
// refused pair, after which nothing more is handed over.
bool hand_over_runner_parameters(engine_runner_interface& runner, const runner_parameters& parameters);

// The OutputDirectory check: environment references expanded, then the path
// must name a directory. True when it does, and when the check cannot be
// made (expansion failed, empty text); false with the reasons logged.
// `checked_path` receives the expanded path when there is one.
bool check_output_directory(const std::string& directory, std::string* checked_path = nullptr);

}  // namespace ostrel
