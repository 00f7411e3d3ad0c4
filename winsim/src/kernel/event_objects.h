// Internal to winsim: event objects.
#pragma once

#include "kernel/kernel_object.h"

namespace winsim::detail {

// What SetEvent and ResetEvent act on: a local or a named (cross-process) event.
class event_base : public kernel_object {
 public:
  const char* type_name() const override { return "Event"; }
  bool waitable() const override { return true; }
  virtual void set(bool state) = 0;
};

class event_object : public event_base {
 public:
  event_object(bool manual_reset, bool initial) : manual_reset_(manual_reset), signaled_(initial) {}
  bool signaled() const override;
  void on_wait_satisfied() override;
  void set(bool state) override;

 private:
  const bool manual_reset_;
  bool signaled_;  // guarded by wait_mutex()
};

// Opens or creates a named event shared through the machine directory.
// Returns nullptr when it cannot (no machine directory, or create is false
// and the event does not exist). *existed tells whether it was there before.
std::shared_ptr<event_base> open_named_event(const char* name, bool manual_reset, bool initial, bool create,
                                             bool* existed);

}  // namespace winsim::detail
