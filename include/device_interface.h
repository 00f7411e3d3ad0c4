// The only way the state machines act on the user's desktop or ask about it.
// One Windows implementation (demo_helpers_leave_windows) turns each request
// into a run of the session daemon or a power query.
#pragma once

#include "events/event_queue.h"
#include "signals.h"

#include <any>
#include <memory>
#include <optional>

namespace ostrel {

class device_interface {
 public:
  virtual ~device_interface() = default;

  // Where session queries and the activity watcher push their events;
  // true when the queue is not empty.
  virtual bool set_event_queue(std::shared_ptr<event_queue> queue) = 0;
  virtual bool send_command(const output_signal_package& package) = 0;
  virtual bool register_callback(const input_signal_package& package) = 0;
  virtual std::optional<std::any> get_data(const input_signal_package& package) = 0;
  // Ends both background tasks (activity watcher and dim overlay).
  virtual void teardown() = 0;
  virtual void user_activity_teardown() = 0;
  virtual void dim_screen_teardown() = 0;
};

}  // namespace ostrel
