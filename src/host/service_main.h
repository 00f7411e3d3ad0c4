// service_main: the ServiceMain of nolvane_service. Start-up, then load
// passes until the service stops: each pass rebuilds the event queue, the
// device interface, the engine callbacks and the engine runner around the
// one configuration reader and the one top-level state machine, and runs the
// event loop on this thread.
//
// Three paths cross threads through callables and the event queue; in prose:
//
// A reload. The registry subscription's task (config/winregedit) sees a
// change under the product key and calls the reader's change callback,
// on_config_change here: it sets reload_requested and pushes RELOAD. The
// event loop hands RELOAD to the top-level state machine, which (or whose
// running or stopped machine) pushes QUIT; QUIT ends process_events, the pass
// returns next_pass because reload_requested is set, and the next pass
// re-reads the settings. The stopped machine holds the QUIT back until the
// user is back at an unlocked session.
//
// A presence report. The Sensor API calls the event sink
// (engine/windows_sensor_events) on one of its own threads; the sink filters
// the report and pushes PROXIMITY_NEAR, PROXIMITY_FAR or another event into
// the pass's queue. The event loop on this thread delivers it to the event
// callback built in make_event_callback, which calls
// state_machine::handle_incoming_event; that forwards it to the current
// running or stopped machine. PROXIMITY_FAR takes the running machine to
// USER_ABSENT, whose timer's firing comes back through the queue as
// TIMEOUT_DIM_SCREEN.
//
// A desktop action. A state machine asks through its machine_links
// (state_machines/nolvane), which call device_interface::send_command or
// register_callback with a signal. The device component turns most signals
// into one run of ostrel_service_daemon in the user's console session with
// that action's option (a long run, the dim overlay or the activity watcher,
// on a task of its own) and reads back its exit code and output; power
// queries and the OS video time-outs it answers in the service. In the
// daemon, daemon/dispatch.cpp maps the option to its action and returns the
// action's result as the exit code; results that are events (the user's
// activity, session state) come back into the queue.
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
