// The simulated COM Sensor API: sensor manager, collections, sensors and data
// reports over the sensors the control API adds, and the delivery of sensor
// events to registered sinks on threads the simulation owns.
#include "sensor/sensor_api.h"

#include "kernel/kernel_object.h"

#include <propidl.h>
#include <sensors.h>
#include <sensorsapi.h>
#include <winsim/machine_sensor.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace winsim::detail {
namespace {

constexpr DWORD error_no_data = 232;  // ERROR_NO_DATA: the sensor has no report yet

class sim_sensor;

// A sink registered through one ISensor object; both are referenced.
struct registration {
  sim_sensor* sensor;
  ISensorEvents* sink;
};

// What one data report carries: the fields of machine::sensor_data, and
// fields of any type, which answer first.
struct report_content {
  report_content() = default;
  report_content(machine::sensor_data fields) : data(std::move(fields)) {}  // NOLINT: converts on purpose
  explicit report_content(std::vector<machine::sensor_field> fields) : typed(std::move(fields)) {}

  machine::sensor_data data;
  std::vector<machine::sensor_field> typed;
};

struct sensor_model {
  GUID id{};
  GUID category{};
  std::wstring manufacturer;
  // Guarded by sensor_api_state::mutex.
  SensorState state = SENSOR_STATE_NOT_AVAILABLE;
  report_content data;
  std::vector<registration> sinks;
  // When `sinks` last went from empty to not empty or back.
  std::chrono::steady_clock::time_point sinks_changed_at{};
};

struct sensor_api_state {
  std::mutex mutex;
  std::condition_variable sinks_changed;
  std::vector<std::shared_ptr<sensor_model>> sensors;
  std::map<std::string, size_t> calls;
  std::set<std::string> null_answers;

  std::mutex threads_mutex;
  std::vector<std::thread> threads;

  std::mutex hold_mutex;
  std::condition_variable hold_changed;
  bool hold = false;
  size_t held = 0;
};

void reset_sensor_api(sensor_api_state& s);

sensor_api_state& api() {
  static sensor_api_state* s = [] {
    auto* created = new sensor_api_state;
    on_reset([created] { reset_sensor_api(*created); });
    return created;
  }();
  return *s;
}

std::shared_ptr<sensor_model> model_at(size_t index) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index >= s.sensors.size()) throw std::out_of_range("winsim: no sensor with index " + std::to_string(index));
  return s.sensors[index];
}

// IUnknown for the simulation's objects: one interface each, counted in
// live_sensor_objects() so tests can see what a program failed to release.
template <typename Interface>
class sim_object : public Interface {
 public:
  explicit sim_object(const IID& iid) : iid_(iid) { ++live_sensor_objects(); }
  sim_object(const sim_object&) = delete;
  sim_object& operator=(const sim_object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~sim_object() { --live_sensor_objects(); }

 private:
  const IID iid_;
  std::atomic<ULONG> references_{1};  // the creator's
};

HRESULT copy_string(const std::wstring& text, PROPVARIANT* value) {
  auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  value->vt = VT_LPWSTR;
  value->pwszVal = copy;
  return S_OK;
}

bool is_numeric(VARTYPE type) {
  switch (type) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR:
      return true;
    default:
      return false;
  }
}

// The bytes a type that points into task memory keeps there, and how many of
// the field's bytes go in (the rest is zero: the text's terminator).
struct task_memory {
  size_t size = 0;
  size_t copied = 0;
};

task_memory task_memory_of(const machine::sensor_field& field) {
  const size_t length = field.value.size();
  switch (field.type) {
    case VT_LPSTR: return {length + 1, length};
    case VT_LPWSTR: return {(length / sizeof(WCHAR) + 1) * sizeof(WCHAR), length / sizeof(WCHAR) * sizeof(WCHAR)};
    case VT_CLSID: return {sizeof(CLSID), length < sizeof(CLSID) ? length : sizeof(CLSID)};
    default: return {};
  }
}

HRESULT copy_field(const machine::sensor_field& field, PROPVARIANT* value) {
  const task_memory memory = task_memory_of(field);
  if (memory.size != 0) {
    void* data = CoTaskMemAlloc(memory.size);
    if (data == nullptr) return E_OUTOFMEMORY;
    std::memset(data, 0, memory.size);
    if (memory.copied != 0) std::memcpy(data, field.value.data(), memory.copied);
    value->pszVal = static_cast<LPSTR>(data);  // every pointer of the union lies here
  } else if (is_numeric(field.type) && !field.value.empty()) {
    const size_t union_size = sizeof(PROPVARIANT) - offsetof(PROPVARIANT, hVal);
    std::memcpy(&value->hVal, field.value.data(), field.value.size() < union_size ? field.value.size() : union_size);
  }
  value->vt = field.type;
  return S_OK;
}

class sim_report final : public sim_object<ISensorDataReport> {
 public:
  explicit sim_report(report_content content)
      : sim_object(IID_ISensorDataReport), typed_(std::move(content.typed)), data_(std::move(content.data)) {}

  HRESULT STDMETHODCALLTYPE GetTimestamp(SYSTEMTIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSensorValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    HRESULT injected;
    if (sensor_call_fails("ISensorDataReport::GetSensorValue", &injected)) return injected;
    if (value == nullptr) return E_POINTER;
    PropVariantInit(value);
    for (const auto& field : typed_) {
      if (field.key == key) return copy_field(field, value);
    }
    if (key == SENSOR_DATA_TYPE_CUSTOM_VALUE1 && data_.custom_value1) {
      value->vt = VT_UI4;
      value->ulVal = *data_.custom_value1;
    } else if (key == SENSOR_DATA_TYPE_CUSTOM_VALUE2 && data_.custom_value2) {
      value->vt = VT_UI4;
      value->ulVal = *data_.custom_value2;
    } else if (key == SENSOR_DATA_TYPE_HUMAN_PRESENCE && data_.human_presence) {
      value->vt = VT_BOOL;
      value->boolVal = *data_.human_presence ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorValues(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }

 private:
  const std::vector<machine::sensor_field> typed_;
  const machine::sensor_data data_;
};

bool has_fields(const report_content& r) {
  return r.data.custom_value1 || r.data.custom_value2 || r.data.human_presence || !r.typed.empty();
}

class sim_sensor final : public sim_object<ISensor> {
 public:
  explicit sim_sensor(std::shared_ptr<sensor_model> model) : sim_object(IID_ISensor), model_(std::move(model)) {}

  HRESULT STDMETHODCALLTYPE GetID(SENSOR_ID* id) override {
    if (id == nullptr) return E_POINTER;
    *id = model_->id;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCategory(SENSOR_CATEGORY_ID* category) override {
    if (category == nullptr) return E_POINTER;
    *category = model_->category;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetType(SENSOR_TYPE_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFriendlyName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperty(REFPROPERTYKEY key, PROPVARIANT* value) override {
    HRESULT injected;
    if (sensor_call_fails("ISensor::GetProperty", &injected)) return injected;
    if (value == nullptr) return E_POINTER;
    PropVariantInit(value);
    if (key == SENSOR_PROPERTY_MANUFACTURER) return copy_string(model_->manufacturer, value);
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  }
  HRESULT STDMETHODCALLTYPE GetProperties(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSupportedDataFields(IPortableDeviceKeyCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetProperties(IPortableDeviceValues*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SupportsDataField(REFPROPERTYKEY, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(SensorState* state) override {
    HRESULT injected;
    if (sensor_call_fails("ISensor::GetState", &injected)) return injected;
    if (state == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(api().mutex);
    *state = model_->state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetData(ISensorDataReport** report) override {
    HRESULT injected;
    if (sensor_call_fails("ISensor::GetData", &injected)) return injected;
    if (report == nullptr) return E_POINTER;
    *report = nullptr;
    if (sensor_call_answers_null("ISensor::GetData")) return S_OK;
    report_content data;
    {
      std::lock_guard<std::mutex> lock(api().mutex);
      data = model_->data;
    }
    if (!has_fields(data)) return HRESULT_FROM_WIN32(error_no_data);
    *report = new sim_report(std::move(data));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SupportsEvent(REFGUID, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEventInterest(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventInterest(GUID*, ULONG) override { return E_NOTIMPL; }
  // The registration keeps both the sink and this sensor object alive until
  // SetEventSink(nullptr): a program that forgets to unregister leaks them,
  // which sensor_api_object_count() shows.
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorEvents* sink) override {
    HRESULT injected;
    if (sensor_call_fails("ISensor::SetEventSink", &injected)) return injected;
    registration dropped{nullptr, nullptr};
    {
      std::lock_guard<std::mutex> lock(api().mutex);
      auto& sinks = model_->sinks;
      const bool had_sinks = !sinks.empty();
      auto it = sinks.begin();
      while (it != sinks.end() && it->sensor != this) ++it;
      if (sink != nullptr) sink->AddRef();
      if (it != sinks.end()) {
        dropped.sink = it->sink;
        if (sink != nullptr) {
          it->sink = sink;
        } else {
          dropped.sensor = it->sensor;
          sinks.erase(it);
        }
      } else if (sink != nullptr) {
        AddRef();
        sinks.push_back({this, sink});
      }
      if (had_sinks != !sinks.empty()) {
        model_->sinks_changed_at = std::chrono::steady_clock::now();
        api().sinks_changed.notify_all();
      }
    }
    // Outside the lock: a sink's last release runs the program's code.
    if (dropped.sink != nullptr) dropped.sink->Release();
    if (dropped.sensor != nullptr) dropped.sensor->Release();
    return S_OK;
  }

 private:
  const std::shared_ptr<sensor_model> model_;
};

class sim_collection final : public sim_object<ISensorCollection> {
 public:
  explicit sim_collection(std::vector<sim_sensor*> sensors)
      : sim_object(IID_ISensorCollection), sensors_(std::move(sensors)) {}

  HRESULT STDMETHODCALLTYPE GetAt(ULONG index, ISensor** sensor) override {
    HRESULT injected;
    if (sensor_call_fails("ISensorCollection::GetAt", &injected)) return injected;
    if (sensor == nullptr) return E_POINTER;
    *sensor = nullptr;
    if (index >= sensors_.size()) return E_INVALIDARG;
    sensors_[index]->AddRef();
    *sensor = sensors_[index];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
    HRESULT injected;
    if (sensor_call_fails("ISensorCollection::GetCount", &injected)) return injected;
    if (count == nullptr) return E_POINTER;
    *count = static_cast<ULONG>(sensors_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveByID(REFSENSOR_ID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }

 protected:
  ~sim_collection() override {
    for (auto* sensor : sensors_) sensor->Release();
  }

 private:
  const std::vector<sim_sensor*> sensors_;
};

class sim_manager final : public sim_object<ISensorManager> {
 public:
  sim_manager() : sim_object(IID_ISensorManager) {}

  HRESULT STDMETHODCALLTYPE GetSensorsByCategory(REFSENSOR_CATEGORY_ID category,
                                                 ISensorCollection** found) override {
    HRESULT injected;
    if (sensor_call_fails("ISensorManager::GetSensorsByCategory", &injected)) return injected;
    if (found == nullptr) return E_POINTER;
    *found = nullptr;
    if (sensor_call_answers_null("ISensorManager::GetSensorsByCategory")) return S_OK;
    std::vector<std::shared_ptr<sensor_model>> matching;
    {
      std::lock_guard<std::mutex> lock(api().mutex);
      for (const auto& model : api().sensors) {
        if (model->category == category) matching.push_back(model);
      }
    }
    if (matching.empty()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    std::vector<sim_sensor*> sensors;
    for (auto& model : matching) sensors.push_back(new sim_sensor(model));
    *found = new sim_collection(std::move(sensors));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorsByType(REFSENSOR_TYPE_ID, ISensorCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSensorByID(REFSENSOR_ID, ISensor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorManagerEvents*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RequestPermissions(HWND, ISensorCollection*, BOOL) override { return E_NOTIMPL; }
};

// ---- deliveries ----

// The sinks of one sensor, referenced for the duration of one delivery.
using targets = std::vector<registration>;

template <typename Update>
targets take_targets(size_t index, Update update) {
  auto model = model_at(index);
  std::lock_guard<std::mutex> lock(api().mutex);
  update(*model);
  targets taken = model->sinks;
  for (auto& t : taken) {
    t.sensor->AddRef();
    t.sink->AddRef();
  }
  return taken;
}

void wait_at_hold() {
  auto& s = api();
  std::unique_lock<std::mutex> lock(s.hold_mutex);
  if (!s.hold) return;
  ++s.held;
  s.hold_changed.notify_all();
  s.hold_changed.wait(lock, [&s] { return !s.hold; });
  --s.held;
}

// Runs on a delivery thread: calls every sink, then drops the references.
template <typename Call>
HRESULT run_delivery(const targets& taken, Call call) {
  if (taken.empty()) return S_FALSE;
  wait_at_hold();
  HRESULT first = S_OK;
  for (size_t i = 0; i < taken.size(); ++i) {
    const HRESULT result = call(taken[i]);
    if (i == 0) first = result;
  }
  for (const auto& t : taken) {
    t.sink->Release();
    t.sensor->Release();
  }
  return first;
}

auto state_call(SensorState state) {
  return [state](const registration& r) { return r.sink->OnStateChanged(r.sensor, state); };
}

auto data_call(const report_content& report) {
  return [report](const registration& r) {
    auto* data = new sim_report(report);
    const HRESULT result = r.sink->OnDataUpdated(r.sensor, data);
    data->Release();
    return result;
  };
}

template <typename Call>
std::optional<HRESULT> deliver_now(targets taken, Call call) {
  if (taken.empty()) return std::nullopt;
  HRESULT result = S_OK;
  std::thread delivery([&] { result = run_delivery(taken, call); });
  delivery.join();
  return result;
}

template <typename Call>
void post(targets taken, Call call) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.threads_mutex);
  s.threads.emplace_back([taken = std::move(taken), call] { run_delivery(taken, call); });
}

void join_deliveries() {
  auto& s = api();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(s.threads_mutex);
    threads.swap(s.threads);
  }
  for (auto& t : threads) t.join();
}

void reset_sensor_api(sensor_api_state& s) {
  {
    std::lock_guard<std::mutex> lock(s.hold_mutex);
    s.hold = false;
    s.hold_changed.notify_all();
  }
  stop_firmware();
  join_deliveries();
  std::vector<registration> dropped;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& model : s.sensors) {
      dropped.insert(dropped.end(), model->sinks.begin(), model->sinks.end());
      model->sinks.clear();
    }
    s.sensors.clear();
    s.calls.clear();
    s.null_answers.clear();
  }
  for (auto& r : dropped) {
    r.sink->Release();
    r.sensor->Release();
  }
}

}  // namespace

std::atomic<size_t>& live_sensor_objects() {
  static std::atomic<size_t> live{0};
  return live;
}

bool sensor_call_fails(const char* function, HRESULT* result) {
  {
    auto& s = api();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.calls[function];
  }
  DWORD error = 0;
  if (!should_fail(function, &error)) return false;
  *result = static_cast<HRESULT>(error);
  return true;
}

bool sensor_call_answers_null(const char* function) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.null_answers.count(function) != 0;
}

std::optional<SensorState> sensor_state_of(size_t sensor) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (sensor >= s.sensors.size()) return std::nullopt;
  return s.sensors[sensor]->state;
}

std::optional<HRESULT> deliver_report_here(size_t sensor, const machine::sensor_data& report) {
  if (sensor >= machine::sensor_count()) return std::nullopt;
  auto taken = take_targets(sensor, [&report](sensor_model& m) { m.data = report; });
  if (taken.empty()) return std::nullopt;
  return run_delivery(taken, data_call(report));
}

HRESULT create_sensor_manager(REFIID riid, void** object) {
  auto* manager = new sim_manager;
  const HRESULT result = manager->QueryInterface(riid, object);
  manager->Release();
  return result;
}

}  // namespace winsim::detail

namespace winsim::machine {

using namespace winsim::detail;

sensor_data legacy_report(bool present) { return {std::nullopt, std::nullopt, present}; }

sensor_data custom_report(ULONG hid_state, ULONG kind, bool present) { return {hid_state, kind, present}; }

size_t add_sensor(const sensor_description& sensor) {
  auto model = std::make_shared<sensor_model>();
  model->category = sensor.category;
  model->manufacturer = sensor.manufacturer;
  model->state = sensor.state;
  model->data = has_fields(sensor.data) ? sensor.data
                                        : firmware_report(sensor.state, sensor.present, sensor.legacy);
  size_t index = 0;
  {
    auto& s = api();
    std::lock_guard<std::mutex> lock(s.mutex);
    index = s.sensors.size();
    // A distinct sensor id per sensor, as the driver stack would assign.
    model->id = GUID{0x5e450000u + static_cast<uint32_t>(index), 0x5e45, 0x4e00, {0x80, 0, 0, 0, 0, 0, 0, 1}};
    s.sensors.push_back(std::move(model));
  }
  firmware_sensor_added(index, sensor);
  return index;
}

size_t sensor_count() {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sensors.size();
}

void set_sensor_state(size_t sensor, SensorState state) {
  auto model = model_at(sensor);
  std::lock_guard<std::mutex> lock(api().mutex);
  model->state = state;
}

void set_sensor_data(size_t sensor, const sensor_data& data) {
  auto model = model_at(sensor);
  std::lock_guard<std::mutex> lock(api().mutex);
  model->data = data;
}

bool sensor_has_event_sink(size_t sensor) {
  auto model = model_at(sensor);
  std::lock_guard<std::mutex> lock(api().mutex);
  return !model->sinks.empty();
}

std::chrono::steady_clock::time_point sensor_event_sink_changed_at(size_t sensor) {
  auto model = model_at(sensor);
  std::lock_guard<std::mutex> lock(api().mutex);
  return model->sinks_changed_at;
}

bool wait_for_sensor_event_sink(size_t sensor, bool registered, DWORD timeout_ms) {
  auto model = model_at(sensor);
  auto& s = api();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.sinks_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return model->sinks.empty() != registered; });
}

std::optional<HRESULT> deliver_state_changed(size_t sensor, SensorState state) {
  return deliver_now(take_targets(sensor, [state](sensor_model& m) { m.state = state; }), state_call(state));
}

std::optional<HRESULT> deliver_data_updated(size_t sensor, const sensor_data& report) {
  return deliver_now(take_targets(sensor, [&report](sensor_model& m) { m.data = report; }), data_call(report));
}

std::optional<HRESULT> deliver_typed_report(size_t sensor, const std::vector<sensor_field>& fields) {
  const report_content report(fields);
  return deliver_now(take_targets(sensor, [&report](sensor_model& m) { m.data = report; }), data_call(report));
}

std::vector<HRESULT> deliver_data_updated_concurrently(size_t sensor, const std::vector<sensor_data>& reports) {
  std::vector<HRESULT> results(reports.size(), S_FALSE);
  std::mutex gate_mutex;
  std::condition_variable gate;
  bool open = false;
  std::vector<std::thread> threads;
  threads.reserve(reports.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    auto taken = take_targets(sensor, [&](sensor_model& m) { m.data = reports[i]; });
    threads.emplace_back([&, i, taken = std::move(taken)] {
      {
        std::unique_lock<std::mutex> lock(gate_mutex);
        gate.wait(lock, [&] { return open; });
      }
      results[i] = run_delivery(taken, data_call(reports[i]));
    });
  }
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    open = true;
  }
  gate.notify_all();
  for (auto& t : threads) t.join();
  return results;
}

void post_state_changed(size_t sensor, SensorState state) {
  post(take_targets(sensor, [state](sensor_model& m) { m.state = state; }), state_call(state));
}

void post_data_updated(size_t sensor, const sensor_data& report) {
  post(take_targets(sensor, [&report](sensor_model& m) { m.data = report; }), data_call(report));
}

void wait_for_sensor_deliveries() { join_deliveries(); }

void hold_sensor_deliveries(bool hold) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.hold_mutex);
  s.hold = hold;
  s.hold_changed.notify_all();
}

size_t held_sensor_deliveries() {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.hold_mutex);
  return s.held;
}

void sensor_api_answer_null(const std::string& function, bool enabled) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (enabled) {
    s.null_answers.insert(function);
  } else {
    s.null_answers.erase(function);
  }
}

size_t sensor_api_object_count() { return live_sensor_objects().load(); }

size_t sensor_api_call_count(const std::string& function) {
  auto& s = api();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.calls.find(function);
  return it == s.calls.end() ? 0 : it->second;
}

}  // namespace winsim::machine
