// Helpers shared by the sensor tests: an event queue that records what the
// sink pushes, and objects of the simulated Sensor API obtained the way a
// program obtains them.
#pragma once

#include "com_ptr.h"
#include "events/event_queue.h"

#include <gtest/gtest.h>
#include <sensors.h>
#include <sensorsapi.h>
#include <winsim/machine.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace ostrel::test {

// A queue whose events the test takes out on its own thread.
class recorded_queue {
 public:
  recorded_queue() : queue(std::make_shared<event_queue>()) {
    queue->set_event_callback([this](events_t e) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
    });
  }
  // Everything pushed since the last take, in order.
  std::vector<events_t> take() {
    while (queue->process_next_event()) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }

  std::shared_ptr<event_queue> queue;

 private:
  std::mutex mutex_;
  std::vector<events_t> events_;
};

inline size_t count_of(const std::vector<events_t>& events, events_t event) {
  return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

// The sensors of SENSOR_CATEGORY_OTHER as the simulated API hands them out.
// The test thread must have initialised COM.
inline com_ptr<ISensor> other_sensor_at(ULONG index) {
  com_ptr<ISensorManager> manager;
  EXPECT_EQ(CoCreateInstance(CLSID_SensorManager, nullptr, CLSCTX_INPROC_SERVER, IID_ISensorManager,
                             manager.put_void()),
            S_OK);
  com_ptr<ISensorCollection> collection;
  EXPECT_EQ(manager->GetSensorsByCategory(SENSOR_CATEGORY_OTHER, collection.put()), S_OK);
  com_ptr<ISensor> sensor;
  EXPECT_EQ(collection->GetAt(index, sensor.put()), S_OK);
  return sensor;
}

// A data report carrying `data`, from the sensor at `index`.
inline com_ptr<ISensorDataReport> report_of(ISensor* sensor, size_t index, const winsim::machine::sensor_data& data) {
  winsim::machine::set_sensor_data(index, data);
  com_ptr<ISensorDataReport> report;
  EXPECT_EQ(sensor->GetData(report.put()), S_OK);
  return report;
}

}  // namespace ostrel::test
