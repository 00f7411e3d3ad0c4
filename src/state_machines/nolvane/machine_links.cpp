#include "state_machines/nolvane/machine_links.h"

#include "logging/trace_line.h"

#include <utility>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

machine_links::machine_links(const char* tag, std::weak_ptr<device_interface> device,
                             std::weak_ptr<engine_callback_interface> engine, std::weak_ptr<event_queue> queue)
    : tag_(tag), device_(std::move(device)), engine_(std::move(engine)), queue_(std::move(queue)) {}

std::shared_ptr<device_interface> machine_links::device(const char* gone_message) const {
  auto device = device_.lock();
  if (!device) trace_line(log_level::error, tag_) << gone_message;
  return device;
}

std::shared_ptr<engine_callback_interface> machine_links::engine(const char* gone_message) const {
  auto engine = engine_.lock();
  if (!engine) trace_line(log_level::error, tag_) << gone_message;
  return engine;
}

bool machine_links::send(output_signal signal, std::any payload, const char* gone_message) const {
  const auto device = this->device(gone_message);
  return device && device->send_command(output_signal_package{signal, std::move(payload), signal_tag::NONE});
}

bool machine_links::ask(input_signal signal, const char* gone_message) const {
  const auto device = this->device(gone_message);
  return device && device->register_callback(input_signal_package{signal, {}, {}, nullptr, signal_tag::NONE});
}

bool machine_links::traced_send(const char* name, output_signal signal, const char* gone_message,
                                const char* result_text) const {
  trace_line(log_level::info, tag_, name) << "Enter";
  const bool result = send(signal, nullptr, gone_message);
  trace_line(log_level::info, tag_, name) << "Exit" << result_text << (result ? "True" : "False");
  return result;
}

bool machine_links::reset_os_video_timers() const {
  return traced_send("reset_os_video_timers", output_signal::OS_VIDEO_TIMER_RECOVER,
                     "Unable to lock device interface for resetting os video timer\n",
                     "Result of resetting os video timer: ");
}

bool machine_links::push(events_t event, const char* gone_message, log_level gone_level) const {
  const auto queue = queue_.lock();
  if (!queue) {
    if (gone_message != nullptr) trace_line(gone_level, tag_) << gone_message;
    return false;
  }
  queue->add_event(event);
  return true;
}

bool machine_links::push_quit(const char* announcement, const char* gone_message) const {
  const auto queue = queue_.lock();
  if (!queue) {
    trace_line(log_level::error, tag_) << gone_message;
    return false;
  }
  trace_line(log_level::info, tag_) << announcement;
  queue->add_event(QUIT);
  return true;
}

bool machine_links::suspend(const char* gone_message, const char* refused_text, log_level refused_level) const {
  return set_engine_suspended(true, gone_message, refused_text, refused_level);
}

bool machine_links::resume(const char* gone_message, const char* refused_text, log_level refused_level) const {
  return set_engine_suspended(false, gone_message, refused_text, refused_level);
}

bool machine_links::set_engine_suspended(bool suspend, const char* gone_message, const char* refused_text,
                                         log_level refused_level) const {
  const auto engine = this->engine(gone_message);
  if (!engine) return false;
  if (!engine->engine_state_cb) {
    trace_line(log_level::error, tag_) << "Engine interface suspend callback is nullptr\n";
    return false;
  }
  const bool result = engine->engine_state_cb(suspend);
  if (!result) trace_line(refused_level, tag_) << refused_text;
  return result;
}

}  // namespace ostrel
