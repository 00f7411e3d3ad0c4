#include "laptop.h"

#include "common/process_flags.h"
#include "host/service_main.h"
#include "host/service_status.h"
#include "logging/logger.h"
#include "logging/trace_provider.h"

#include <filesystem>
#include <iostream>
#include <thread>

namespace nolvane_sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds poll_interval(10);
// How often a STOP that the SCM could not deliver yet is sent again.
constexpr milliseconds stop_retry(250);

constexpr DWORD sensor_index = 0;

// What a new service process starts with.
void reset_process_state() {
  ostrel::stop_requested = false;
  ostrel::reload_requested = false;
  ostrel::display_on = true;
  ostrel::plugged_in = true;
  ostrel::debug_mode = false;
  ostrel::status_checkpoint = 1;
  ostrel::status_reported = false;
}

DWORD session_event(session_change change) {
  switch (change) {
    case session_change::lock: return WTS_SESSION_LOCK;
    case session_change::unlock: return WTS_SESSION_UNLOCK;
    case session_change::remote: return WTS_REMOTE_CONNECT;
    case session_change::local: return WTS_REMOTE_DISCONNECT;
  }
  return 0;
}

}  // namespace

// What the program entry does around the dispatcher happens once per laptop,
// not once per start: the process-wide logger cannot come back once released.
laptop::laptop() {
  // A Windows installation has its temporary directory, the service's
  // default OutputDirectory.
  std::filesystem::create_directories(winsim::machine::host_path("C:\\Windows\\Temp"));
  ostrel::logging::register_trace_provider();
}

laptop::~laptop() {
  stop_service(milliseconds(30000));
  winsim::machine::stop_display_physics();
  winsim::machine::stop_trace_session();
  ostrel::logging::unregister_trace_provider();
  ostrel::logging::release_logger();
}

bool laptop::start_service(UCHAR trace_level) {
  if (service_.valid() && !service_ended()) return false;
  if (service_.valid()) collect_result();
  if (sensor_at_start_ && !has_sensor()) add_sensor();
  if (!trace_session_started_) {
    winsim::machine::start_trace_session(trace_level);
    trace_session_started_ = true;
  }
  reset_process_state();
  winsim::machine::start_scm("NolvaneSvc");
  if (!winsim::machine::display_physics_running()) winsim::machine::start_display_physics();
  service_ = std::async(std::launch::async, [] {
    char name[] = "";  // an own-process service: the name is not looked at
    SERVICE_TABLE_ENTRYA table[] = {{name, &ostrel::service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
  });
  return true;
}

winsim::machine::control_result laptop::send_stop() { return winsim::machine::send_control(SERVICE_CONTROL_STOP); }

std::optional<int> laptop::stop_service(milliseconds timeout, const std::function<void()>& on_poll) {
  if (!service_.valid()) return std::nullopt;
  const auto deadline = steady_clock::now() + timeout;
  auto last_try = steady_clock::now() - stop_retry;
  while (!service_ended()) {
    if (on_poll) on_poll();
    if (steady_clock::now() >= deadline) return std::nullopt;
    if (steady_clock::now() - last_try >= stop_retry) {
      last_try = steady_clock::now();
      send_stop();
    }
    std::this_thread::sleep_for(poll_interval);
  }
  return collect_result();
}

int laptop::collect_result() {
  const int result = service_.get();
  winsim::machine::stop_scm();
  return result;
}

bool laptop::service_ended() const {
  return service_.valid() && service_.wait_for(milliseconds(0)) == std::future_status::ready;
}

winsim::machine::sensor_description laptop::sensor_description() const {
  winsim::machine::sensor_description d;
  d.legacy = legacy_sensor_;
  d.report_interval_ms = sensor_interval_ms_;
  return d;
}

void laptop::add_sensor() { winsim::machine::add_sensor(sensor_description()); }

bool laptop::has_sensor() const { return winsim::machine::sensor_count() > sensor_index; }

void laptop::sensor_legacy() {
  legacy_sensor_ = true;
  if (has_sensor()) winsim::machine::set_sensor_legacy(sensor_index, true);
}

void laptop::sensor_interval(DWORD interval_ms) {
  sensor_interval_ms_ = interval_ms;
  if (has_sensor()) winsim::machine::set_sensor_report_interval(sensor_index, interval_ms);
}

std::optional<HRESULT> laptop::user_present(bool present) {
  if (!has_sensor()) return std::nullopt;
  return winsim::machine::set_sensor_presence(sensor_index, present);
}

void laptop::input() { winsim::machine::simulate_input(); }

winsim::machine::control_result laptop::session(session_change change) {
  if (change == session_change::lock || change == session_change::unlock) {
    winsim::machine::set_session_locked(change == session_change::lock);
  } else {
    winsim::machine::set_remote_session(change == session_change::remote);
  }
  return winsim::machine::send_session_change(session_event(change));
}

winsim::machine::control_result laptop::power(bool on_mains) {
  winsim::machine::set_ac_line_status(on_mains ? AC_LINE_ONLINE : AC_LINE_OFFLINE);
  return winsim::machine::send_control(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE);
}

winsim::machine::control_result laptop::display(bool on, std::chrono::steady_clock::time_point* notified_at) {
  const bool physics = winsim::machine::display_physics_running();
  if (physics) winsim::machine::stop_display_physics();
  winsim::machine::set_display_on(on);
  if (notified_at != nullptr) *notified_at = steady_clock::now();
  const auto result = winsim::machine::send_power_setting(GUID_CONSOLE_DISPLAY_STATE, on ? 1 : 0);
  // The physics take the display as they find it.
  if (physics) winsim::machine::start_display_physics();
  return result;
}

void laptop::external_monitor(bool attached) {
  // One display monitor is the laptop's own panel.
  winsim::machine::set_physical_monitors(attached ? std::vector<DWORD>{1, 1} : std::vector<DWORD>{1});
}

void laptop::write_setting(const std::string& key_path, const std::string& name, DWORD value) {
  winsim::machine::set_registry_dword(key_path, name, value);
}

bool daemon_beside_this_program(const std::string& program_name) {
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return false;
  const auto daemon = std::filesystem::path(path).parent_path() / "ostrel_service_daemon";
  if (std::filesystem::exists(daemon)) return true;
  std::cerr << program_name << ": " << daemon.string() << " is missing; build the " << program_name
            << " target, which places the daemon beside it\n";
  return false;
}

}  // namespace nolvane_sim
