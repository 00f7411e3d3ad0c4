// The simulated OS's display physics: the display turns off once the video
// time-out of the power source in use has passed without input (unless an
// application requires the display), and turns on again with input. Every
// change of the display state reaches the service as the console-display
// power-setting notification through the simulated SCM (0 off, 1 on).
#include "desktop/desktop_state.h"
#include "kernel/kernel_object.h"
#include "kernel/simulation_threads.h"

#include <winsim/machine.h>

#include <chrono>
#include <condition_variable>
#include <thread>

namespace {

namespace desktop = winsim::detail::desktop;

struct physics {
  std::mutex mutex;  // guards the thread and the stop flag
  std::condition_variable stop_changed;
  bool stop = false;
  std::thread worker;
};

physics& instance() {
  static physics* p = [] {
    auto* created = new physics;
    winsim::detail::on_reset([] { winsim::machine::stop_display_physics(); });
    return created;
  }();
  return *p;
}

// Read through the control API, so that failures injected into the
// service's calls do not change what the OS itself does.
DWORD current_video_timeout() {
  SYSTEM_POWER_STATUS power{};
  const winsim::detail::internal_calls internal;
  const bool on_battery = GetSystemPowerStatus(&power) && power.ACLineStatus == AC_LINE_OFFLINE;
  return winsim::machine::video_timeout(on_battery ? SystemPowerPolicyDc : SystemPowerPolicyAc);
}

bool display_required() { return (winsim::machine::system_execution_state() & ES_DISPLAY_REQUIRED) != 0; }

void notify_service(bool on) {
  // Not delivered when no service listens; the display changes all the same.
  winsim::machine::send_power_setting(GUID_CONSOLE_DISPLAY_STATE, on ? 1 : 0);
}

// One look at the desktop; returns the display state it leaves.
bool step(bool was_on) {
  const DWORD timeout_s = current_video_timeout();
  const bool required = display_required();
  bool now_on = true;
  desktop::update_state([&](desktop::state_map& state) {
    now_on = desktop::value_or(state, desktop::key_display, "1") != "0";
    unsigned long long last_input = desktop::number_or(state, desktop::key_last_input, 0);
    const unsigned long long now = desktop::now_ms();
    if (last_input == 0) {
      // The OS has always known when the user last touched the machine.
      last_input = now;
      state[desktop::key_last_input] = std::to_string(now);
    }
    if (now_on && timeout_s > 0 && !required && now - last_input >= timeout_s * 1000ULL) {
      state[desktop::key_display] = "0";
      now_on = false;
    }
  });
  if (now_on != was_on) notify_service(now_on);
  return now_on;
}

void run(physics* p, std::chrono::milliseconds interval) {
  const winsim::detail::simulation_thread the_os;
  bool on = winsim::machine::display_on();
  std::unique_lock<std::mutex> lock(p->mutex);
  while (!p->stop) {
    lock.unlock();
    on = step(on);
    lock.lock();
    p->stop_changed.wait_for(lock, interval, [p] { return p->stop; });
  }
}

}  // namespace

namespace winsim::machine {

void start_display_physics(DWORD interval_ms) {
  auto& p = instance();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.worker.joinable()) return;
  p.stop = false;
  p.worker = std::thread(run, &p, std::chrono::milliseconds(interval_ms == 0 ? 1 : interval_ms));
}

void stop_display_physics() {
  auto& p = instance();
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    p.stop = true;
    worker = std::move(p.worker);
  }
  p.stop_changed.notify_all();
  if (worker.joinable()) worker.join();
}

bool display_physics_running() {
  auto& p = instance();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.worker.joinable();
}

}  // namespace winsim::machine
