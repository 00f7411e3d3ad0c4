// What each state machine holds of its three collaborators: the device
// interface, the presence engine's callbacks and the event queue. The load
// pass owns them and may replace them, so they are held weakly and locked
// for every request; a request whose collaborator is gone logs the caller's
// own text under the caller's tag and fails.
#pragma once

#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "events/events.h"
#include "logging/logger.h"
#include "signals.h"

#include <any>
#include <memory>
#include <utility>

namespace ostrel {

class machine_links {
 public:
  machine_links(const char* tag, std::weak_ptr<device_interface> device,
                std::weak_ptr<engine_callback_interface> engine, std::weak_ptr<event_queue> queue);

  void set_device(std::weak_ptr<device_interface> device) { device_ = std::move(device); }
  void set_engine(std::weak_ptr<engine_callback_interface> engine) { engine_ = std::move(engine); }
  void set_queue(std::weak_ptr<event_queue> queue) { queue_ = std::move(queue); }
  // For the sub-state machines, which hold links of their own.
  const std::weak_ptr<device_interface>& device_link() const { return device_; }
  const std::weak_ptr<engine_callback_interface>& engine_link() const { return engine_; }
  const std::weak_ptr<event_queue>& queue_link() const { return queue_; }

  // The collaborator, or nullptr after `gone_message` was logged as an error.
  std::shared_ptr<device_interface> device(const char* gone_message) const;
  std::shared_ptr<engine_callback_interface> engine(const char* gone_message) const;
  // The queue, or nullptr; logs nothing.
  std::shared_ptr<event_queue> queue() const { return queue_.lock(); }

  bool send(output_signal signal, std::any payload, const char* gone_message) const;
  bool ask(input_signal signal, const char* gone_message) const;
  // A device request traced as the function `name`, "Enter" and "Exit" with
  // `result_text` and "True" or "False".
  bool traced_send(const char* name, output_signal signal, const char* gone_message, const char* result_text) const;
  bool reset_os_video_timers() const;

  // False when the queue is gone; then `gone_message` is logged at
  // `gone_level`, or nothing when it is nullptr.
  bool push(events_t event, const char* gone_message, logging::log_level gone_level = logging::log_level::error) const;
  // The QUIT that turns a RELOAD into the end of the event loop, announced
  // before it goes in.
  bool push_quit(const char* announcement, const char* gone_message) const;

  // Through the engine's suspend callback; a refusal logs `refused_text` at
  // `refused_level`.
  bool suspend(const char* gone_message, const char* refused_text, logging::log_level refused_level) const;
  bool resume(const char* gone_message, const char* refused_text, logging::log_level refused_level) const;

 private:
  bool set_engine_suspended(bool suspend, const char* gone_message, const char* refused_text,
                            logging::log_level refused_level) const;

  const char* const tag_;
  std::weak_ptr<device_interface> device_;
  std::weak_ptr<engine_callback_interface> engine_;
  std::weak_ptr<event_queue> queue_;
};

}  // namespace ostrel
