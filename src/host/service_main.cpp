#include "host/service_main.h"

#include "common/process_flags.h"
#include "config/customer_specific_config_reader.h"
#include "config/output_directory.h"
#include "device/device_interface_windows.h"
#include "engine/engine_runner.h"
#include "engine/engine_runner_parameters.h"
#include "engine_callback_interface.h"
#include "errors.h"
#include "events/event_queue.h"
#include "host/service_control_handler.h"
#include "host/service_status.h"
#include "logging/service_message.h"
#include "logging/trace_line.h"
#include "state_machines/nolvane/state_machine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace ostrel {

using config::customer_specific_config_reader;
using logging::log_level;
using logging::service_message;
using logging::trace_line;
namespace values = config::values;

namespace {

constexpr const char* tag = "runner";
// What the engine-send callable answers when its pass has no runner.
constexpr int engine_failure = 4;
// The longest single wait of the delayed start.
constexpr std::chrono::milliseconds longest_delay_wait(86'400'000);

// What the configuration subscriptions' threads share with the passes.
struct change_state {
  std::mutex mutex;  // serialises the callback; guards `queue`
  std::shared_ptr<event_queue> queue;  // the current pass's; empty between passes
  std::atomic<bool> running_reported{false};
  std::atomic<bool> ignore_next_change{false};
};

// The engine runner of one pass, for the engine callables that are built
// before it. The callables run on this thread's event loop only, so the
// runner is always destroyed here, where it was initialised.
class runner_slot {
 public:
  void set(const std::shared_ptr<engine_runner>& runner) {
    std::lock_guard<std::mutex> lock(mutex_);
    runner_ = runner;
  }
  std::shared_ptr<engine_runner> get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runner_.lock();
  }

 private:
  std::mutex mutex_;
  std::weak_ptr<engine_runner> runner_;
};

// Everything one service_main run works with. The reader and the state
// machine live across passes; the rest is rebuilt by every pass.
struct working_set {
  explicit working_set(service_status& s) : status(s) {}
  ~working_set() { release_all(); }
  working_set(const working_set&) = delete;
  working_set& operator=(const working_set&) = delete;

  // The previous pass's objects, in the stop sequence's order.
  void release_pass_objects() {
    device.reset();
    engine_callbacks.reset();
    runner.reset();
    {
      std::lock_guard<std::mutex> lock(change->mutex);
      change->queue.reset();
    }
    queue.reset();
  }
  void release_all() {
    machine.reset();
    release_pass_objects();
    reader.reset();
  }

  service_status& status;
  bool handler_registered = false;
  std::shared_ptr<customer_specific_config_reader> reader;
  std::shared_ptr<event_queue> queue;
  std::shared_ptr<runner_slot> slot;
  std::shared_ptr<engine_callback_interface> engine_callbacks;
  std::shared_ptr<demo_helpers_leave_windows> device;
  std::shared_ptr<state_machine> machine;
  std::shared_ptr<engine_runner> runner;
  runner_parameters parameters;
  std::string output_directory;
  config::platform_status platform = config::ENABLED;
  int reload_count = 0;
  int pass = 0;
  bool device_incompatible = false;
  bool compatibility_written_0 = false;
  const std::shared_ptr<change_state> change = std::make_shared<change_state>();
};

enum class pass_end { next_pass, stop };

pass_hook& installed_pass_hook() {
  static pass_hook hook;
  return hook;
}

void at_pass_point(const working_set& ws, pass_point point) {
  if (const auto& hook = installed_pass_hook()) hook(point, ws.pass);
}

// ---- Callbacks ----------------------------------------------------------

void on_config_change(change_state& change) {
  std::lock_guard<std::mutex> lock(change.mutex);
  if (change.ignore_next_change.exchange(false)) return;
  if (!change.running_reported) return;
  if (stop_requested) {
    if (change.queue) change.queue->add_event(QUIT);
    return;
  }
  trace_line(log_level::debug, tag) << "Reloading due to config change\n";
  reload_requested = true;
  if (change.queue) change.queue->add_event(RELOAD);
}

// Runs on this thread only, inside the pass's event loop.
event_queue::event_callback make_event_callback(working_set& ws, event_queue& queue) {
  return [&ws, &queue](events_t event) {
    // The wake-up that follows a STOP (see register_control_callback).
    if (event == NONE) {
      if (stop_requested) queue.add_event(QUIT);
      return;
    }
    if (!ws.machine) throw std::runtime_error("SM is nullptr");
    // Only the first presence report of a device that started incompatible
    // arms the swallow: the sensor reports all the time, and re-arming on
    // every report would swallow every later change of the settings.
    if ((event == PROXIMITY_FAR || event == PROXIMITY_NEAR) && ws.device_incompatible) {
      ws.change->ignore_next_change = true;
      ws.device_incompatible = false;
    }
    ws.machine->handle_incoming_event(event);
  };
}

void register_control_callback(working_set& ws, const std::shared_ptr<event_queue>& queue) {
  control_callback handler = make_callback(queue);
  ws.status.register_handler([handler, queue](DWORD control, DWORD event_type, void* event_data) {
    handler(control, event_type, event_data);
    // A loop that starts after the STOP's QUIT would run on and never see
    // it; the event behind the QUIT makes that loop quit again.
    if (control == SERVICE_CONTROL_STOP) queue->add_event(NONE);
  });
  ws.handler_registered = true;
  // A control the previous callback is still handling lands in the previous
  // queue; once it is done, its flags tell the pass what it missed.
  ws.status.wait_for_replaced_callbacks();
}

std::shared_ptr<engine_callback_interface> make_engine_callbacks(const std::shared_ptr<runner_slot>& slot) {
  auto callbacks = std::make_shared<engine_callback_interface>();
  callbacks->engine_state_cb = [slot](bool suspend) {
    const auto runner = slot->get();
    return runner && runner->set_engine_suspended(suspend) == 0;
  };
  callbacks->engine_send_cb = [slot](uint32_t id, const uint8_t* data, size_t size) {
    const auto runner = slot->get();
    return runner ? runner->send_to_engine(id, data, size) : engine_failure;
  };
  return callbacks;
}

// ---- Status -------------------------------------------------------------

void report_running_once(working_set& ws) {
  if (!ws.change->running_reported) ws.status.report_running();
  ws.change->running_reported = true;
}

// The final report must reach the SCM even when start-up failed before the
// first pass registered the handler; without a status handle the SCM would
// wait for the service forever.
void report_stopped(working_set& ws, DWORD exit_code) {
  if (!ws.handler_registered) {
    try {
      ws.status.register_handler([](DWORD, DWORD, void*) {});
      ws.handler_registered = true;
    } catch (const std::exception&) {
      // Reported below as a failed status update.
    }
  }
  ws.status.report_stopped(exit_code);
}

// ---- Start-up -----------------------------------------------------------

void create_reader(working_set& ws) {
  std::string failure;
  try {
    customer_specific_config_reader::migrate_service_key();
    ws.reader = std::make_shared<customer_specific_config_reader>(plugged_in.load());
    // Both settings subscriptions end for good at a change that finds no
    // callback, so it is in place from the reader's creation on, for every
    // pass; it ignores what comes before SERVICE_RUNNING.
    ws.reader->set_config_change_callback([change = ws.change] { on_config_change(*change); });
    debug_mode = ws.reader->read_dword(values::debug_mode) != 0;
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown failure";
  }
  service_message() << "Failed to create config\n";
  debug_mode = false;
  // Without a reader there is nothing to run on.
  if (!ws.reader) throw config::error(failure);
}

void delay_start(working_set& ws) {
  const int32_t seconds = ws.reader->read_dword(values::delayed_start_time);
  if (seconds < 1) return;
  trace_line(log_level::info, tag) << "Delaying service start\n";
  // The monotonic clock: a delay at boot must not stretch when the wall
  // clock is set back.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::mutex mutex;
  std::unique_lock<std::mutex> lock(mutex);
  while (!stop_requested) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    const auto wait = std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), longest_delay_wait);
    start_delay_wait.wait_for(lock, wait, [] { return stop_requested.load(); });
  }
}

void start_up(working_set& ws) {
  plugged_in = customer_specific_config_reader::is_plugged_in();
  create_reader(ws);
  delay_start(ws);
  trace_line(log_level::info, tag) << "Service starting\n";
  ws.parameters.debug_mode = ws.reader->read_dword(values::debug_mode) != 0;
  ws.parameters.opmode = static_cast<uint64_t>(ws.reader->read_dword(values::opmode));
  ws.output_directory = ws.reader->read_string(values::output_directory);
  ws.device_incompatible = ws.reader->read_dword(values::device_compatibility) == 0;
}

// ---- One pass -----------------------------------------------------------

// Returns the power source the pass configured the reader for.
bool begin_pass(working_set& ws) {
  ws.release_pass_objects();
  auto queue = std::make_shared<event_queue>();
  const bool on_mains = plugged_in;
  ws.reader->set_power_source(on_mains);
  {
    // Cleared before a change can reach the new queue, so that a change
    // made while the pass is built is not forgotten.
    std::lock_guard<std::mutex> lock(ws.change->mutex);
    reload_requested = false;
    ws.change->queue = queue;
  }
  ws.queue = queue;
  queue->set_event_callback(make_event_callback(ws, *queue));
  at_pass_point(ws, pass_point::control_callback_swap);
  register_control_callback(ws, queue);
  return on_mains;
}

void read_runner_modes(working_set& ws) {
  ws.parameters.debug_mode = ws.reader->read_dword(values::debug_mode) != 0;
  ws.parameters.opmode = static_cast<uint64_t>(ws.reader->read_dword(values::opmode));
}

void report_starting(working_set& ws) {
  if (!ws.change->running_reported) ws.status.report_start_pending();
  trace_line(log_level::info, tag) << "Reported starting\n";
}

void announce_pass(working_set& ws) {
  if (!display_on) {
    trace_line(log_level::info, tag) << "Display is off\n";
    ws.queue->add_event(DISPLAY_OFF);
  }
  ws.reader->write_string(values::version, program_version);
  trace_line(log_level::info, tag) << service_name << " version " << program_version << "\n";
  trace_line(log_level::info, tag) << "ACDC: " << (plugged_in ? "PluggedIn" : "OnBattery") << "\n";
}

void configure_state_machine(working_set& ws) {
  if (!ws.machine->set_config(ws.reader)) {
    trace_line(log_level::error, tag) << "WARNIGN: Setting State Machine Config failed\n";
  }
  ws.machine->set_device_interface(ws.device);
  ws.machine->set_engine_interface(ws.engine_callbacks);
  ws.machine->set_event_queue(ws.queue);
  ws.machine->reset();
}

void create_state_machine(working_set& ws) {
  if (!ws.machine && ws.device) {
    ws.machine = std::make_shared<state_machine>(ws.device, ws.engine_callbacks, ws.queue, &stop_requested);
  }
}

void build_pass_objects(working_set& ws) {
  ws.slot = std::make_shared<runner_slot>();
  ws.engine_callbacks = make_engine_callbacks(ws.slot);
  ws.device = std::make_shared<demo_helpers_leave_windows>();
  ws.device->set_event_queue(ws.queue);
  const int32_t sensor_sleep = ws.reader->read_dword(values::sensor_sleep_duration);
  const int32_t dim = ws.reader->read_dword(values::dim_duration);
  const int32_t lock_screen = ws.reader->read_dword(values::lock_screen_timeout);
  ws.parameters.parameter_7 = compute_parameter_7(lock_screen, dim, sensor_sleep);
  create_state_machine(ws);
  configure_state_machine(ws);
  ws.runner = std::make_shared<engine_runner>(ws.reader, ws.queue, &stop_requested);
  ws.slot->set(ws.runner);
}

pass_end bios_stop(working_set& ws) {
  trace_line(log_level::info, tag) << "WARNING: Disabled in bios. Stopping " << service_name << "\n";
  report_running_once(ws);
  ws.reader->write_dword(values::enabled_in_bios, 0);
  stop_requested = true;
  start_delay_wait.notify_all();
  ws.queue->add_event(QUIT);
  return pass_end::stop;
}

pass_end disabled_branch(working_set& ws) {
  trace_line(log_level::info, tag) << "WARNING: " << service_name
                                   << " is disabled due to: " << config::platform_status_name(ws.platform) << "\n";
  if (!ws.machine) {
    create_state_machine(ws);
    configure_state_machine(ws);
  }
  ws.queue->add_event(STOP_MISCONFIGURED);
  report_running_once(ws);
  ws.queue->process_events();
  ws.reader->set_power_source(plugged_in);
  ws.reader->get_platform_status();
  return stop_requested ? pass_end::stop : pass_end::next_pass;
}

pass_end after_engine_init(working_set& ws) {
  trace_line(log_level::info, tag) << "SUCCESS: Runner initialize success \n";
  if (ws.compatibility_written_0) {
    ws.reader->write_dword(values::device_compatibility, 1);
    ws.compatibility_written_0 = false;
  }
  if (ws.platform != config::ENABLED) return disabled_branch(ws);
  if (stop_requested) return pass_end::stop;
  if (!ws.machine->start()) throw std::runtime_error("Failed to start state machine");
  ws.change->running_reported = true;
  at_pass_point(ws, pass_point::event_loop_start);
  ws.queue->process_events();
  return reload_requested ? pass_end::next_pass : pass_end::stop;
}

pass_end after_engine_failure(working_set& ws, int code) {
  if (ws.reload_count >= engine_init_retries) {
    service_message() << "ERROR: Failed to initialize " << service_name << ". Runner error: " << code << "\n";
    trace_line(log_level::info, tag) << "Stopping the service\n";
    ws.reader->write_dword(values::device_compatibility, 0);
    ws.compatibility_written_0 = true;
    ws.queue->add_event(QUIT);
    stop_requested = true;
    start_delay_wait.notify_all();
    return pass_end::stop;
  }
  ++ws.reload_count;
  trace_line(log_level::info, tag) << "WARNING: Runner failed to initialize with error code: " << code
                                   << ". Reload number: " << ws.reload_count << "\n";
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  ws.queue->add_event(RELOAD);
  ws.queue->process_events();
  return stop_requested ? pass_end::stop : pass_end::next_pass;
}

pass_end run_pass(working_set& ws) {
  if (stop_requested) return pass_end::stop;
  ++ws.pass;
  const bool on_mains = begin_pass(ws);
  // Until the pass's control callback was in place, a STOP or a change of
  // the power source went into the previous pass's queue, which nobody
  // drains any more: only the flags tell. Every wait of the pass comes after
  // this point.
  if (stop_requested) return pass_end::stop;
  if (on_mains != plugged_in) return pass_end::next_pass;
  read_runner_modes(ws);
  report_starting(ws);
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
  announce_pass(ws);

  ws.platform = ws.reader->get_platform_status();
  if (ws.platform == config::DISABLED_IN_BIOS) return bios_stop(ws);
  ws.reader->write_dword(values::enabled_in_bios, 1);
  ws.parameters.use_skelder = ws.reader->read_dword(values::use_skelder) != 0;
  // A directory the service cannot use ends it quietly, with exit code 0.
  if (!config::check_output_directory(ws.output_directory, nullptr)) return pass_end::stop;

  build_pass_objects(ws);
  if (!hand_over_runner_parameters(*ws.runner, ws.parameters)) {
    service_message() << "Failed to set runner parameters";
    return pass_end::stop;
  }
  report_running_once(ws);
  const int code = ws.runner->init();
  return code == 0 ? after_engine_init(ws) : after_engine_failure(ws, code);
}

}  // namespace

void set_pass_hook(pass_hook hook) { installed_pass_hook() = std::move(hook); }

void WINAPI service_main(DWORD /*argc*/, char** /*argv*/) {
  service_status status(service_name);
  working_set ws(status);
  DWORD exit_code = 0;
  try {
    start_up(ws);
    while (run_pass(ws) == pass_end::next_pass) {
    }
  } catch (const config::error& e) {
    service_message() << "config error: " << e.what() << "\n";
    exit_code = exit_code_bad_configuration;
  } catch (const win32::error& e) {
    service_message() << "runtime error: " << e.what() << "\n";
    exit_code = exit_code_bad_configuration;
  } catch (const std::runtime_error& e) {
    service_message() << "runtime error: " << e.what() << "\n";
    exit_code = exit_code_bad_configuration;
  } catch (...) {
    service_message() << "Unhandled exception\n";
    exit_code = exit_code_unexpected;
  }
  // The stop sequence: the working set in its release order, then the report.
  ws.release_all();
  report_stopped(ws, exit_code);
}

}  // namespace ostrel
