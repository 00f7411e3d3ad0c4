// The state objects of the running state machine. Constructing one performs
// the state's entry action and starts its timer; destroying it performs the
// exit action and stops the timer.
#pragma once

#include "state_machines/nolvane/timeout.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace ostrel {

class state_i {
 public:
  virtual ~state_i() = default;
  // Keyboard or mouse use while this state is current.
  virtual void on_user_activity() {}
  // The machine is leaving this state: its timer stops here, since the exit
  // action runs only after the next state's entry actions.
  virtual void stop_timer() {}
};

}  // namespace ostrel

using state_action = std::function<void()>;

class state_engine_off : public ostrel::state_i {
 public:
  state_engine_off(const state_action& entry, state_action exit);
  ~state_engine_off() override;

 private:
  state_action exit_;
};

// Its entry action is run by the machine when it creates the object.
class state_user_present : public ostrel::state_i {};

class state_user_absent : public ostrel::state_i {
 public:
  state_user_absent(const state_action& entry, state_action on_timer, uint32_t milliseconds);
  ~state_user_absent() override;
  // The user is still around: the dim timer starts again from now.
  void on_user_activity() override;
  // Waits for a dim time-out already being pushed; none is pushed after it.
  void stop_timer() override;

 private:
  std::unique_ptr<timeout> timer_;  // stopped before the next state's entry actions
};

class state_dimming : public ostrel::state_i {
 public:
  state_dimming(const state_action& entry, state_action on_timer, state_action exit, uint32_t milliseconds);
  ~state_dimming() override;
  // Waits for a display-off action already running; none starts after it.
  void stop_timer() override;

 private:
  std::unique_ptr<timeout> timer_;  // stopped before the exit action runs
  state_action exit_;
};
