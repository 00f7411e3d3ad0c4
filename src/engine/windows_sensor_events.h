// The Sensor API event sink: receives the presence sensor's state changes and
// data reports on the Sensor API's threads, keeps the sensor state, filters
// reports and pushes presence and availability events into the event queue.
#pragma once

#include "events/event_queue.h"

#include <windows.h>
#include <objbase.h>
#include <sensorsapi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

// A COM object: created with a reference count of 0 and destroyed by the
// Release that brings the count back to 0, so a callback still running on a
// Sensor API thread keeps it (and its queue) alive after its owner let go.
class windows_sensor_events final : public ISensorEvents {
 public:
  explicit windows_sensor_events(std::shared_ptr<ostrel::event_queue> queue);
  windows_sensor_events(const windows_sensor_events&) = delete;
  windows_sensor_events& operator=(const windows_sensor_events&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ISensorEvents
  HRESULT STDMETHODCALLTYPE OnStateChanged(ISensor* sensor, SensorState state) override;
  HRESULT STDMETHODCALLTYPE OnDataUpdated(ISensor* sensor, ISensorDataReport* report) override;
  HRESULT STDMETHODCALLTYPE OnEvent(ISensor* sensor, REFGUID event_id, IPortableDeviceValues* data) override;
  HRESULT STDMETHODCALLTYPE OnLeave(REFSENSOR_ID id) override;

  // Stores a state read by the engine itself; pushes nothing.
  void setSensorState(SensorState state);
  // Reports are passed on only while the engine is subscribed. The Sensor
  // API may still be delivering a report when the engine unsubscribes (the
  // session locked, the display went off); such a report must not bring
  // leave detection back. Once this returns false, nothing more is pushed.
  void set_subscribed(bool subscribed);
  SensorState current_state() const { return static_cast<SensorState>(current_state_.load()); }

 private:
  // How presence reports arrive: without custom values (legacy) the report
  // says nothing about the sensor state, so reports right after a state
  // change are distrusted.
  enum class data_mode { legacy = 1, custom = 2 };

  ~windows_sensor_events();
  HRESULT update_sensor_state(SensorState state);
  HRESULT update_sensor_data(ISensor* sensor, ISensorDataReport* report, data_mode mode);
  void push(ostrel::events_t event);
  // With state_mutex_ held: true (and logged) when the engine has unsubscribed.
  bool unsubscribed(const char* function) const;

  std::atomic<uint32_t> reference_count_{0};
  std::shared_ptr<ostrel::event_queue> queue_;
  std::atomic<uint32_t> current_state_{SENSOR_STATE_NOT_AVAILABLE};
  std::atomic<uint32_t> last_state_change_{0};  // GetTickCount() of the last state change
  std::mutex state_mutex_;                      // serialises state changes and pushes
  bool subscribed_ = true;                      // guarded by state_mutex_; a new sink is not yet suspended
};
