// A stand-in for the Windows sensor manager, for the service under Wine,
// which has none: an in-process COM server of CLSID_SensorManager whose
// manager knows one sensor of category "other" from "Ostrel Works", ready
// and silent. The service's engine then starts, and the service stays in
// its event loop. Only what the service asks for is answered; everything
// else is E_NOTIMPL.
//
// Registered by the SCM test (as the InprocServer32 of the class under
// HKLM\Software\Classes\CLSID) for the tests that need a running engine.
#include <windows.h>
#include <initguid.h>
#include <objbase.h>
#include <sensorsapi.h>
#include <sensors.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<long> live_objects{0};

// Reference counting and QueryInterface for one interface.
template <typename Interface>
class com_object : public Interface {
 public:
  com_object() { ++live_objects; }
  virtual ~com_object() { --live_objects; }
  com_object(const com_object&) = delete;
  com_object& operator=(const com_object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --references_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  std::atomic<long> references_{1};
};

class presence_sensor : public com_object<ISensor> {
 public:
  ~presence_sensor() override { SetEventSink(nullptr); }

  HRESULT STDMETHODCALLTYPE GetProperty(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    PropVariantInit(value);
    if (!IsEqualPropertyKey(key, SENSOR_PROPERTY_MANUFACTURER)) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    static const wchar_t manufacturer[] = L"Ostrel Works";
    auto* text = static_cast<wchar_t*>(CoTaskMemAlloc(sizeof manufacturer));
    if (text == nullptr) return E_OUTOFMEMORY;
    std::memcpy(text, manufacturer, sizeof manufacturer);
    value->vt = VT_LPWSTR;
    value->pwszVal = text;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(SensorState* state) override {
    if (state == nullptr) return E_POINTER;
    *state = SENSOR_STATE_READY;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorEvents* events) override {
    if (events != nullptr) events->AddRef();
    if (events_ != nullptr) events_->Release();
    events_ = events;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetID(SENSOR_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCategory(SENSOR_CATEGORY_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetType(SENSOR_TYPE_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFriendlyName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperties(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSupportedDataFields(IPortableDeviceKeyCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetProperties(IPortableDeviceValues*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SupportsDataField(REFPROPERTYKEY, VARIANT_BOOL*) override { return E_NOTIMPL; }
  // No report yet: the service keeps the state the sensor gave.
  HRESULT STDMETHODCALLTYPE GetData(ISensorDataReport**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SupportsEvent(REFGUID, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEventInterest(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventInterest(GUID*, ULONG) override { return E_NOTIMPL; }

 private:
  ISensorEvents* events_ = nullptr;
};

class one_sensor : public com_object<ISensorCollection> {
 public:
  HRESULT STDMETHODCALLTYPE GetAt(ULONG index, ISensor** sensor) override {
    if (sensor == nullptr) return E_POINTER;
    *sensor = nullptr;
    if (index != 0) return E_INVALIDARG;
    *sensor = new presence_sensor();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveByID(REFSENSOR_ID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
};

class sensor_manager : public com_object<ISensorManager> {
 public:
  HRESULT STDMETHODCALLTYPE GetSensorsByCategory(REFSENSOR_CATEGORY_ID category, ISensorCollection** found) override {
    if (found == nullptr) return E_POINTER;
    *found = nullptr;
    if (!IsEqualGUID(category, SENSOR_CATEGORY_OTHER)) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    *found = new one_sensor();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorsByType(REFSENSOR_TYPE_ID, ISensorCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSensorByID(REFSENSOR_ID, ISensor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorManagerEvents*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RequestPermissions(HWND, ISensorCollection*, WINBOOL) override { return E_NOTIMPL; }
};

class manager_factory : public com_object<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* manager = new sensor_manager();
    const HRESULT result = manager->QueryInterface(iid, object);
    manager->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_SensorManager)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new manager_factory();
  const HRESULT result = factory->QueryInterface(iid, object);
  factory->Release();
  return result;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() { return live_objects == 0 ? S_OK : S_FALSE; }
