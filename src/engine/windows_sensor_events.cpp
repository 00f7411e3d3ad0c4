#include "engine/windows_sensor_events.h"

#include "engine/sensor_values.h"
#include "logging/trace_line.h"

using ostrel::events_t;
using ostrel::hresult_text;
using ostrel::sensor_event_name;
using ostrel::sensor_state_name;
using ostrel::logging::log_level;
using ostrel::logging::trace_line;

namespace {

constexpr const char* tag = "wse";
// Legacy reports closer than this to a state change still describe the old state.
constexpr uint32_t legacy_settle_ms = 100;

}  // namespace

windows_sensor_events::windows_sensor_events(std::shared_ptr<ostrel::event_queue> queue) : queue_(std::move(queue)) {}

windows_sensor_events::~windows_sensor_events() = default;

HRESULT STDMETHODCALLTYPE windows_sensor_events::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISensorEvents)) {
    *object = static_cast<ISensorEvents*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE windows_sensor_events::AddRef() { return ++reference_count_; }

ULONG STDMETHODCALLTYPE windows_sensor_events::Release() {
  const uint32_t left = --reference_count_;
  if (left == 0) {
    queue_.reset();
    delete this;
  }
  return left;
}

HRESULT STDMETHODCALLTYPE windows_sensor_events::OnStateChanged(ISensor* sensor, SensorState state) {
  if (sensor == nullptr) {
    trace_line(log_level::error, tag, "OnStateChanged") << "OnStateChanged input is nullptr\n";
    return E_INVALIDARG;
  }
  return update_sensor_state(state);
}

HRESULT STDMETHODCALLTYPE windows_sensor_events::OnDataUpdated(ISensor* sensor, ISensorDataReport* report) {
  constexpr const char* function = "OnDataUpdated";
  if (sensor == nullptr || report == nullptr) {
    trace_line(log_level::error, tag, function) << "OnDataUpdated input is nullptr\n";
    return E_INVALIDARG;
  }

  ULONG custom_value1 = 0;
  ULONG custom_value2 = 0;
  const HRESULT result1 = ostrel::get_custom_value_1(report, &custom_value1, tag);
  const HRESULT result2 = ostrel::get_custom_value_2(report, &custom_value2, tag);
  if (FAILED(result1) || FAILED(result2)) {
    trace_line(log_level::info, tag, function)
        << "Custom values not available. Using legacy sensor API, return value1 = " << hresult_text(result1)
        << " return value2 = " << hresult_text(result2);
    return update_sensor_data(sensor, report, data_mode::legacy);
  }

  const SensorState reported = ostrel::hid_to_sensor_state(custom_value1, tag);
  const auto current = static_cast<SensorState>(current_state_.load());
  if (reported != current) {
    trace_line(log_level::debug, tag, function) << "HID sensor state " << sensor_state_name(reported)
                                                << " does not match sensor state " << sensor_state_name(current);
    return update_sensor_state(reported);
  }

  const ULONG kind = LOBYTE(custom_value2);
  if (kind == ostrel::report_kind_state_changed) {
    trace_line(log_level::debug, tag, function) << "HID sensor event " << sensor_event_name(kind)
                                                << " called in data update callback.";
    return update_sensor_state(reported);
  }
  if (kind == ostrel::report_kind_data_updated) {
    trace_line(log_level::debug, tag, function) << sensor_event_name(kind);
    return update_sensor_data(sensor, report, data_mode::custom);
  }
  trace_line(log_level::debug, tag, function) << "Ignoring sensor event " << sensor_event_name(kind);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE windows_sensor_events::OnEvent(ISensor*, REFGUID, IPortableDeviceValues*) {
  trace_line(log_level::debug, tag, "OnEvent") << "In OnEvent\n";
  return S_OK;
}

HRESULT STDMETHODCALLTYPE windows_sensor_events::OnLeave(REFSENSOR_ID) {
  trace_line(log_level::debug, tag, "OnLeave") << "In OnLeave\n";
  return S_OK;
}

void windows_sensor_events::setSensorState(SensorState state) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  current_state_ = state;
  trace_line(log_level::debug, tag, "setSensorState")
      << "State manually updated to " << sensor_state_name(state) << " on timestamp " << GetTickCount() << "\n ";
}

void windows_sensor_events::set_subscribed(bool subscribed) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  subscribed_ = subscribed;
}

HRESULT windows_sensor_events::update_sensor_state(SensorState state) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  // The state is read afresh when the engine subscribes again.
  if (unsubscribed("update_sensor_state")) return S_OK;
  const uint32_t now = GetTickCount();
  current_state_ = state;
  last_state_change_ = now;
  trace_line(log_level::debug, tag, "update_sensor_state")
      << "State changed to " << sensor_state_name(state) << " on timestamp " << now << "\n";
  // Every state but ERROR means the sensor is there and may report later.
  if (state != SENSOR_STATE_ERROR) {
    push(ostrel::HPD_SENSOR_AVAILABLE);
    trace_line(log_level::debug, tag, "update_sensor_state") << "Sensor ready. Device compatible\n";
  } else {
    push(ostrel::HPD_SENSOR_UNAVAILABLE);
    trace_line(log_level::debug, tag, "update_sensor_state") << "Sensor error. Device incompatible\n";
  }
  return S_OK;
}

HRESULT windows_sensor_events::update_sensor_data(ISensor*, ISensorDataReport* report, data_mode mode) {
  constexpr const char* function = "update_sensor_data";
  const uint32_t now = GetTickCount();
  const auto current = static_cast<SensorState>(current_state_.load());
  trace_line(log_level::debug, tag, function) << "Data updated on timestamp " << now;
  trace_line(log_level::debug, tag, function) << "Current sensor state " << sensor_state_name(current);

  ULONG presence = 0;
  const HRESULT result = ostrel::get_human_presence(report, &presence);
  if (FAILED(result)) {
    trace_line(log_level::error, tag, function) << "Failed to get human presence value, return value = "
                                                << hresult_text(result);
    return E_FAIL;
  }
  trace_line(log_level::debug, tag, function) << "presenceValue = " << presence;

  if (current != SENSOR_STATE_READY) {
    trace_line(log_level::debug, tag, function) << "Filtering out data due to sensor state "
                                                << sensor_state_name(current);
    return S_OK;
  }
  if (mode == data_mode::legacy && now - last_state_change_.load() < legacy_settle_ms) {
    trace_line(log_level::debug, tag, function) << "Filtering out data due to timestamp " << now;
    return S_OK;
  }
  // Under the lock that set_subscribed takes: a report that passed the
  // checks above cannot push after the engine has unsubscribed.
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (unsubscribed(function)) return S_OK;
  push(presence != 0 ? ostrel::PROXIMITY_NEAR : ostrel::PROXIMITY_FAR);
  return S_OK;
}

bool windows_sensor_events::unsubscribed(const char* function) const {
  if (subscribed_) return false;
  trace_line(log_level::debug, tag, function) << "Ignoring report: not subscribed\n";
  return true;
}

void windows_sensor_events::push(events_t event) {
  if (queue_) queue_->add_event(event);
}
