// service_main: the ServiceMain of nolvane_service. Start-up, then load
// passes until the service stops: each pass rebuilds the event queue, the
// device interface, the engine callbacks and the engine runner around the
// one configuration reader and the one top-level state machine, and runs the
// event loop on this thread.
#pragma once

#include <windows.h>

#include <functional>

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

}  // namespace ostrel
