// The HID engine: the presence sensor as the engine runner drives it. Owns
// the sensor connection and the event sink; init opens the sensor, start and
// stop subscribe to and unsubscribe from its events.
#pragma once

#include "com_ptr.h"
#include "engine/sensor_connection.h"
#include "engine/windows_sensor_events.h"
#include "events/event_queue.h"

#include <atomic>
#include <memory>

namespace ostrel {

class hid_engine {
 public:
  hid_engine(std::atomic<bool>* stop_requested, std::shared_ptr<event_queue> queue);
  // Unsubscribes, releases the sink and closes the connection; must run on
  // the thread that called init (COM is balanced there).
  ~hid_engine();
  hid_engine(const hid_engine&) = delete;
  hid_engine& operator=(const hid_engine&) = delete;

  bool init();
  bool start();
  bool stop();

 private:
  [[maybe_unused]] std::atomic<bool>* stop_requested_;  // kept for engines that watch it
  std::shared_ptr<event_queue> queue_;
  // The sink lives as long as COM references to it exist; this engine holds
  // two, one as the class and one as the interface the sensor is given.
  com_ptr<windows_sensor_events> sensor_callbacks_class_;
  com_ptr<ISensorEvents> sensor_callbacks_;
  sensor_connection connection_;
};

}  // namespace ostrel
