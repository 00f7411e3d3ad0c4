// The sub-state machine of the top-level RUNNING state: follows the user
// through ENGINE_OFF, USER_PRESENT, USER_ABSENT and DIMMING, and polls the
// pause conditions on a task of its own for its whole life.
#pragma once

#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "events/events.h"
#include "state_machines/nolvane/machine_links.h"
#include "state_machines/nolvane/running_states.h"
#include "state_machines/nolvane/sm_config.h"
#include "state_machines/nolvane/sub_state_machine_interface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ostrel {

// What pauses presence sensing, in the order the pause task checks it.
enum class run_sensor_condition {
  display_required = 0,
  external_display_connected = 1,
  system_timer_disabled = 2,
};
// The condition's name as logged; "Unkownon run_sensor_condition" otherwise.
const char* run_sensor_condition_name(run_sensor_condition condition);

class running_state_machine : public sub_state_machine_interface {
 public:
  enum states_t : uint8_t {
    ENGINE_OFF = 0,
    USER_PRESENT = 1,
    USER_ABSENT = 2,
    DIMMING = 3,
  };
  static const char* state_name(states_t state);

  // Throws std::runtime_error when the pause-condition task cannot be started.
  running_state_machine(const sm_config& config, std::weak_ptr<device_interface> device,
                        std::weak_ptr<engine_callback_interface> engine, std::weak_ptr<event_queue> queue);
  ~running_state_machine() override;
  running_state_machine(const running_state_machine&) = delete;
  running_state_machine& operator=(const running_state_machine&) = delete;

  bool is_active() const override { return true; }
  void handle_incoming_event(events_t event) override;
  std::string get_state_name() const override;
  float get_state_value() const override;

  // The pause-condition queries; also used when DIMMING is entered.
  bool is_display_required();
  bool has_external_display();
  bool is_screen_off_timer_enabled();

  bool start_check_pause_conditions(std::atomic<bool>& stop);
  // Returns when the pause-condition task has ended.
  void stop_check_pause_conditions();

 private:
  static void check_pause_conditions(running_state_machine* machine, std::atomic<bool>* stop);
  void poll_pause_conditions();

  static states_t next(states_t state, events_t event);
  void handle_states(states_t new_state, states_t old_state);

  void dimming_start();
  void display_off_action();
  void dimming_end();
  void push_event(events_t event);

  bool dim_screen(uint64_t milliseconds);
  bool brighten_screen();
  bool set_display_required();
  bool lock_screen();
  bool turn_off_display();
  bool turn_off_screen_with_os_timers();
  bool start_wait_for_activity();
  bool stop_wait_for_activity();
  bool suspend_engine();
  bool resume_engine();

  const sm_config config_;
  const machine_links links_;
  std::atomic<states_t> state_{ENGINE_OFF};  // read by the pause task
  uint64_t zero_data_frames_ = 0;
  bool zero_data_mode_ = false;

  // Pause-condition task. `conditions_` belongs to the task alone.
  std::map<run_sensor_condition, bool> conditions_;
  std::atomic<bool> pause_check_stop_{false};
  std::mutex display_required_lock_;
  std::mutex external_display_lock_;
  std::mutex screen_off_timer_lock_;
  std::mutex wait_lock_;
  std::condition_variable wait_condition_;
  std::future<void> pause_task_;

  // Last: its exit action and timer use the members above, so it must go
  // first when the machine is destroyed.
  std::unique_ptr<state_i> current_state_;
};

}  // namespace ostrel
