#include "engine/hid_engine.h"

#include "logging/trace_line.h"

#include <new>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

namespace {
constexpr const char* tag = "runner";
}  // namespace

hid_engine::hid_engine(std::atomic<bool>* stop_requested, std::shared_ptr<event_queue> queue)
    : stop_requested_(stop_requested), queue_(std::move(queue)) {}

hid_engine::~hid_engine() {
  // A callback still running on a Sensor API thread keeps the sink alive; it
  // must push nothing into a queue whose pass is over.
  if (sensor_callbacks_class_) sensor_callbacks_class_->set_subscribed(false);
  if (connection_.sensor && removeEventCallbacks(connection_) != 0) {
    trace_line(log_level::info, tag) << "removeEventCallbacks() failed\n";
  }
  sensor_callbacks_.reset();
  sensor_callbacks_class_.reset();
  closeSensor(connection_);
  queue_.reset();
}

bool hid_engine::init() {
  // A repeated init starts from a fresh sink.
  sensor_callbacks_.reset();
  sensor_callbacks_class_ = com_ptr<windows_sensor_events>(new (std::nothrow) windows_sensor_events(queue_));
  if (!sensor_callbacks_class_) {
    trace_line(log_level::info, tag) << "_sensor_callbacks_class is nullptr\n";
    return false;
  }
  sensor_callbacks_class_.query_to(IID_ISensorEvents, sensor_callbacks_);
  if (!sensor_callbacks_) {
    trace_line(log_level::info, tag) << "_sensor_callbacks is NULL\n";
    sensor_callbacks_class_.reset();
    return false;
  }

  if (openSensor(connection_) != 0) {
    trace_line(log_level::info, tag) << "Failed to openOstrelHidSensor\n";
    return false;
  }

  SensorState state = SENSOR_STATE_NOT_AVAILABLE;
  if (getSensorState(connection_, state) != 0) {
    trace_line(log_level::info, tag) << "Failed to get sensor state\n";
    return false;
  }
  trace_line(log_level::info, tag) << "Got sensor state = " << static_cast<int>(state) << "\n";
  return true;
}

bool hid_engine::start() {
  if (!sensor_callbacks_) {
    trace_line(log_level::info, tag) << "setEventCallbacks() failed\n";
    return false;
  }
  // Open before subscribing, so that the first report is not lost.
  sensor_callbacks_class_->set_subscribed(true);
  if (setEventCallbacks(connection_, sensor_callbacks_.get()) != 0) {
    sensor_callbacks_class_->set_subscribed(false);
    trace_line(log_level::info, tag) << "setEventCallbacks() failed\n";
    return false;
  }
  SensorState state = SENSOR_STATE_NOT_AVAILABLE;
  if (getSensorState(connection_, state) != 0) {
    trace_line(log_level::info, tag) << "Failed to get sensor state\n";
    // The runner stays "not running", so events must not keep flowing.
    sensor_callbacks_class_->set_subscribed(false);
    removeEventCallbacks(connection_);
    return false;
  }
  sensor_callbacks_class_->setSensorState(state);
  return true;
}

bool hid_engine::stop() {
  // Closed first: a report the Sensor API is delivering right now must not
  // get through once the state machine has suspended the engine.
  if (sensor_callbacks_class_) sensor_callbacks_class_->set_subscribed(false);
  if (removeEventCallbacks(connection_) != 0) {
    trace_line(log_level::info, tag) << "removeEventCallbacks() failed\n";
    // Still subscribed: the runner keeps counting the engine as running.
    if (sensor_callbacks_class_) sensor_callbacks_class_->set_subscribed(true);
    return false;
  }
  if (sensor_callbacks_class_) sensor_callbacks_class_->setSensorState(SENSOR_STATE_NOT_AVAILABLE);
  return true;
}

}  // namespace ostrel
