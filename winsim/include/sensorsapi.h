// winsim stand-in for <sensorsapi.h>: the COM Sensor API interfaces with their
// published identifiers and the SDK's vtable order. Methods the programs do
// not call answer E_NOTIMPL in the simulation.
#pragma once

#include <windows.h>
#include <winsim/win_com.h>

typedef enum {
  SENSOR_STATE_MIN = 0,
  SENSOR_STATE_READY = SENSOR_STATE_MIN,
  SENSOR_STATE_NOT_AVAILABLE = SENSOR_STATE_READY + 1,
  SENSOR_STATE_NO_DATA = SENSOR_STATE_NOT_AVAILABLE + 1,
  SENSOR_STATE_INITIALIZING = SENSOR_STATE_NO_DATA + 1,
  SENSOR_STATE_ACCESS_DENIED = SENSOR_STATE_INITIALIZING + 1,
  SENSOR_STATE_ERROR = SENSOR_STATE_ACCESS_DENIED + 1,
  SENSOR_STATE_MAX = SENSOR_STATE_ERROR
} SensorState;

typedef GUID SENSOR_CATEGORY_ID;
typedef REFGUID REFSENSOR_CATEGORY_ID;
typedef GUID SENSOR_TYPE_ID;
typedef REFGUID REFSENSOR_TYPE_ID;
typedef GUID SENSOR_ID;
typedef REFGUID REFSENSOR_ID;

// Only passed through by pointer here.
struct IPortableDeviceKeyCollection;
struct IPortableDeviceValues;
typedef struct _SYSTEMTIME SYSTEMTIME;

struct ISensorManagerEvents;
struct ISensorCollection;
struct ISensor;
struct ISensorDataReport;
struct ISensorEvents;

DEFINE_GUID(IID_ISensorManager, 0xbd77db67, 0x45a8, 0x42dc, 0x8d, 0x00, 0x6d, 0xcf, 0x15, 0xf8, 0x37, 0x7a);
struct ISensorManager : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSensorsByCategory(REFSENSOR_CATEGORY_ID sensorCategory,
                                                         ISensorCollection** ppSensorsFound) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSensorsByType(REFSENSOR_TYPE_ID sensorType,
                                                     ISensorCollection** ppSensorsFound) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSensorByID(REFSENSOR_ID sensorID, ISensor** ppSensor) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventSink(ISensorManagerEvents* pEvents) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestPermissions(HWND hParent, ISensorCollection* pSensors,
                                                       BOOL fModal) = 0;
};

DEFINE_GUID(IID_ISensorCollection, 0x23571e11, 0xe545, 0x4dd8, 0xa3, 0x37, 0xb8, 0x9b, 0xf4, 0x4b, 0x10, 0xdf);
struct ISensorCollection : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetAt(ULONG ulIndex, ISensor** ppSensor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* pCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(ISensor* pSensor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(ISensor* pSensor) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveByID(REFSENSOR_ID sensorID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
};

DEFINE_GUID(IID_ISensor, 0x5fa08f80, 0x2657, 0x458e, 0xaf, 0x75, 0x46, 0xf7, 0x3f, 0xa6, 0xac, 0x5c);
struct ISensor : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetID(SENSOR_ID* pID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCategory(SENSOR_CATEGORY_ID* pSensorCategory) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetType(SENSOR_TYPE_ID* pSensorType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFriendlyName(BSTR* pFriendlyName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(REFPROPERTYKEY key, PROPVARIANT* pProperty) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperties(IPortableDeviceKeyCollection* pKeys,
                                                  IPortableDeviceValues** ppProperties) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSupportedDataFields(IPortableDeviceKeyCollection** ppDataFields) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetProperties(IPortableDeviceValues* pProperties,
                                                  IPortableDeviceValues** ppResults) = 0;
  virtual HRESULT STDMETHODCALLTYPE SupportsDataField(REFPROPERTYKEY key, VARIANT_BOOL* pIsSupported) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(SensorState* pState) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetData(ISensorDataReport** ppDataReport) = 0;
  virtual HRESULT STDMETHODCALLTYPE SupportsEvent(REFGUID eventGuid, VARIANT_BOOL* pIsSupported) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEventInterest(GUID** ppValues, ULONG* pCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventInterest(GUID* pValues, ULONG count) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventSink(ISensorEvents* pEvents) = 0;
};

DEFINE_GUID(IID_ISensorDataReport, 0x0ab9df9b, 0xc4b5, 0x4796, 0x88, 0x98, 0x04, 0x70, 0x70, 0x6a, 0x2e, 0x1d);
struct ISensorDataReport : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTimestamp(SYSTEMTIME* pTimeStamp) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSensorValue(REFPROPERTYKEY pKey, PROPVARIANT* pValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSensorValues(IPortableDeviceKeyCollection* pKeys,
                                                    IPortableDeviceValues** ppValues) = 0;
};

DEFINE_GUID(IID_ISensorManagerEvents, 0x9b3b0b86, 0x266a, 0x4aad, 0xb2, 0x1f, 0xfd, 0xe5, 0x50, 0x10, 0x01, 0xb7);
struct ISensorManagerEvents : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnSensorEnter(ISensor* pSensor, SensorState state) = 0;
};

DEFINE_GUID(IID_ISensorEvents, 0x5d8dcc91, 0x4641, 0x47e7, 0xb7, 0xc3, 0xb7, 0x4f, 0x48, 0xa6, 0xc3, 0x91);
struct ISensorEvents : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnStateChanged(ISensor* pSensor, SensorState state) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDataUpdated(ISensor* pSensor, ISensorDataReport* pNewData) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnEvent(ISensor* pSensor, REFGUID eventID, IPortableDeviceValues* pEventData) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnLeave(REFSENSOR_ID ID) = 0;
};

DEFINE_GUID(CLSID_SensorManager, 0x77a1c827, 0xfcd2, 0x4689, 0x89, 0x15, 0x9d, 0x61, 0x3c, 0xc5, 0xfa, 0x3e);
