// The top-level leave-detection state machine: INITIAL until the first
// deciding event, STOPPED while leave detection must not run, RUNNING
// otherwise. It owns the current sub-state machine and forwards every event
// to it, reports each step to the presence engine and traces the changes.
#pragma once

#include "config/reader.h"
#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "events/events.h"
#include "state_machines/nolvane/machine_links.h"
#include "state_machines/nolvane/sm_config.h"
#include "state_machines/nolvane/state_machine_interface.h"
#include "state_machines/nolvane/sub_state_machine_interface.h"
#include "state_machines/nolvane/timeout.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace ostrel {

// The id under which each step is reported to the presence engine.
constexpr uint32_t state_vector_id = 1407;

// A running machine that cannot be built (no thread for its tasks, a device
// interface that throws) is tried again this often, this long apart; then
// leave detection stays stopped until the next reload.
constexpr int running_machine_retries = 3;
constexpr std::chrono::milliseconds running_machine_retry_delay{1000};

// What the engine is told after every event, sent as 20 little-endian bytes.
struct state_vector {
  float event;
  float state;
  float previous_state;
  float substate;           // after the event; -1 without a sub-state machine
  float previous_substate;  // before the event; -1 without a sub-state machine
};

class state_machine : public state_machine_interface {
 public:
  enum states_t : uint8_t {
    INITIAL = 0,
    STOPPED = 1,
    RUNNING = 2,
  };
  // The empty string for values outside the three.
  static const char* state_name(states_t state);

  state_machine(std::weak_ptr<device_interface> device, std::weak_ptr<engine_callback_interface> engine,
                std::weak_ptr<event_queue> queue, std::atomic<bool>* stop_requested);
  ~state_machine() override;
  state_machine(const state_machine&) = delete;
  state_machine& operator=(const state_machine&) = delete;

  bool start() override;
  void handle_incoming_event(events_t event) override;
  bool set_config(std::shared_ptr<config::reader> reader) override;
  void set_device_interface(std::weak_ptr<device_interface> device) override;
  void set_engine_interface(std::weak_ptr<engine_callback_interface> engine) override;
  void set_event_queue(std::weak_ptr<event_queue> queue) override;
  void reset() override;

  states_t state() const { return state_; }
  const sm_config& config() const { return config_; }
  // The current sub-state machine, or nullptr.
  const sub_state_machine_interface* sub_state_machine() const { return sub_state_machine_.get(); }
  std::atomic<bool>* stop_requested() const { return stop_requested_; }

 private:
  states_t next_state(states_t state, events_t event);
  bool stopped_machine_allows_running(events_t event) const;
  void enter_stopped();
  void enter_running();
  void running_machine_failed(const char* what);
  bool arm_running_retry();
  void give_up_running();
  // Between a failed build and its retry, and after giving up.
  bool running_build_blocked() const;
  void set_device_compatibility(bool compatible);
  void push_states_to_engine(const state_vector& vector);

  machine_links links_;
  std::weak_ptr<config::reader> reader_;
  std::atomic<bool>* const stop_requested_;
  sm_config config_;
  states_t state_ = INITIAL;
  events_t last_event_ = NONE;
  int32_t state_clock_ms_;
  std::string last_substate_name_ = "none";
  std::unique_ptr<sub_state_machine_interface> sub_state_machine_;
  int running_build_failures_ = 0;           // in a row, since the last success or reset
  std::atomic<bool> running_retry_due_{false};  // set by the retry timer's task
  // Last: its action uses the members above.
  std::unique_ptr<timeout> running_retry_timer_;
};

}  // namespace ostrel
