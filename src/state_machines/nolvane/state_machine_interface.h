// The top-level leave-detection state machine as the service host sees it.
#pragma once

#include "config/reader.h"
#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "events/events.h"

#include <memory>

namespace ostrel {

class state_machine_interface {
 public:
  virtual ~state_machine_interface() = default;
  virtual bool start() = 0;
  virtual void handle_incoming_event(events_t event) = 0;
  virtual bool set_config(std::shared_ptr<config::reader> reader) = 0;
  virtual void set_device_interface(std::weak_ptr<device_interface> device) = 0;
  virtual void set_engine_interface(std::weak_ptr<engine_callback_interface> engine) = 0;
  virtual void set_event_queue(std::weak_ptr<event_queue> queue) = 0;
  virtual void reset() = 0;
};

}  // namespace ostrel
