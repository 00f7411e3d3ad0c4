// What the top-level machine needs of its current sub-state machine
// (running or stopped).
#pragma once

#include "events/events.h"

#include <string>

namespace ostrel {

class sub_state_machine_interface {
 public:
  virtual ~sub_state_machine_interface() = default;
  // Both machines answer true; kept for the vtable layout the machines share.
  virtual bool is_active() const = 0;
  virtual void handle_incoming_event(events_t event) = 0;
  virtual std::string get_state_name() const = 0;
  virtual float get_state_value() const = 0;
};

}  // namespace ostrel
