// The real service on the simulated laptop, and the hands that act on it:
// the service control manager starting and stopping it, the user coming,
// going and typing, the operating system reporting session, power and
// display changes, a monitor being plugged in. Shared by nolvane_sim, the
// soak and the latency measurements; it acts only through winsim::machine.
#pragma once

#include <windows.h>
#include <winsim/machine.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>

namespace nolvane_sim {

enum class session_change { lock, unlock, remote, local };

// ETW levels of the trace session that records the service's lines.
inline constexpr UCHAR trace_level_error = 2;
inline constexpr UCHAR trace_level_info = 4;
inline constexpr UCHAR trace_level_debug = 5;

class laptop {
 public:
  // Expects a fresh machine (WINSIM_MACHINE set, state reset).
  laptop();
  // Ends a service that still runs.
  ~laptop();
  laptop(const laptop&) = delete;
  laptop& operator=(const laptop&) = delete;

  // ---- The service control manager.
  // Starts the service as a new process of it would start: process-wide
  // state as at program entry, the SCM connected, the service control
  // dispatcher running ServiceMain, the OS's display physics running, and a
  // presence sensor unless there is one or none is wanted. The first start
  // opens the trace session at `trace_level`. False when the service runs
  // already.
  bool start_service(UCHAR trace_level = trace_level_info);
  // One STOP control.
  winsim::machine::control_result send_stop();
  // Sends STOP (again while the SCM cannot deliver it yet) until the service
  // has ended; 0 when the dispatcher returned normally, 1 when it failed, or
  // nothing when the service still runs after `timeout`. `on_poll` runs
  // while waiting.
  std::optional<int> stop_service(std::chrono::milliseconds timeout, const std::function<void()>& on_poll = {});
  bool service_started() const { return service_.valid(); }
  bool service_ended() const;

  // ---- The presence sensor: before the service starts, how it will be;
  // afterwards, how it is from now on.
  void without_sensor_at_start() { sensor_at_start_ = false; }
  void add_sensor();
  bool has_sensor() const;
  void sensor_legacy();                   // reports without custom values
  void sensor_interval(DWORD interval_ms);

  // ---- The user.
  // The sensor's report of somebody present or gone; the service's answer,
  // or nothing when no sensor exists or nobody listens to it.
  std::optional<HRESULT> user_present(bool present);
  void input();

  // ---- The operating system and the devices.
  winsim::machine::control_result session(session_change change);
  // The charger plugged in (mains) or unplugged, and the power event that tells the service.
  winsim::machine::control_result power(bool on_mains);
  // The display turned off or on, and the console-display notification that
  // tells the service, sent at `*notified_at` when given. The display
  // physics stand aside meanwhile, or they would tell the service again.
  winsim::machine::control_result display(bool on, std::chrono::steady_clock::time_point* notified_at = nullptr);
  void external_monitor(bool attached);
  // A setting changed by the user or an administrator (HKEY_LOCAL_MACHINE).
  void write_setting(const std::string& key_path, const std::string& name, DWORD value);

 private:
  winsim::machine::sensor_description sensor_description() const;
  // The ended service's result; the SCM goes with it.
  int collect_result();

  std::future<int> service_;
  bool sensor_at_start_ = true;
  bool legacy_sensor_ = false;
  DWORD sensor_interval_ms_ = winsim::machine::default_report_interval_ms;
  bool trace_session_started_ = false;
};

// The service program looks for the daemon in its own directory, which here
// is the directory of the program that runs it. False, with the reason on
// standard error, when the daemon is not there.
bool daemon_beside_this_program(const std::string& program_name);

}  // namespace nolvane_sim
