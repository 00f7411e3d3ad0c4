// The COM runtime as far as the programs use it: per-thread apartment
// initialisation, CoCreateInstance for the sensor manager, task memory and
// PropVariantClear.
#include "kernel/kernel_object.h"
#include "sensor/sensor_api.h"

#include <propidl.h>
#include <sensorsapi.h>
#include <winsim/machine_sensor.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace winsim::detail {
namespace {

struct apartment {
  ULONG count = 0;
  DWORD model = COINIT_MULTITHREADED;
};

struct com_state {
  std::mutex mutex;
  std::map<std::thread::id, apartment> threads;
  std::atomic<size_t> task_allocations{0};
};

com_state& com() {
  static com_state* s = [] {
    auto* created = new com_state;
    on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->threads.clear();
    });
    return created;
  }();
  return *s;
}

bool is_multithreaded(DWORD co_init) { return (co_init & COINIT_APARTMENTTHREADED) == 0; }

// A thread that never initialised COM may still use it while some thread of
// the process keeps the multithreaded apartment alive (the implicit MTA).
bool com_usable_on_this_thread() {
  auto& s = com();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto self = s.threads.find(std::this_thread::get_id());
  if (self != s.threads.end() && self->second.count > 0) return true;
  for (const auto& [id, a] : s.threads) {
    if (a.count > 0 && is_multithreaded(a.model)) return true;
  }
  return false;
}

}  // namespace
}  // namespace winsim::detail

using namespace winsim::detail;

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  HRESULT injected;
  if (sensor_call_fails("CoInitializeEx", &injected)) return injected;
  if (pvReserved != nullptr) return E_INVALIDARG;
  auto& s = com();
  std::lock_guard<std::mutex> lock(s.mutex);
  apartment& a = s.threads[std::this_thread::get_id()];
  if (a.count == 0) {
    a.model = dwCoInit & COINIT_APARTMENTTHREADED;
    a.count = 1;
    return S_OK;
  }
  if (is_multithreaded(a.model) != is_multithreaded(dwCoInit)) return RPC_E_CHANGED_MODE;
  ++a.count;
  return S_FALSE;
}

void WINAPI CoUninitialize() {
  auto& s = com();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.threads.find(std::this_thread::get_id());
  if (it == s.threads.end()) return;
  if (--it->second.count == 0) s.threads.erase(it);
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  HRESULT injected;
  if (sensor_call_fails("CoCreateInstance", &injected)) return injected;
  if (!com_usable_on_this_thread()) return CO_E_NOTINITIALIZED;
  if (rclsid != CLSID_SensorManager || (dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  if (sensor_call_answers_null("CoCreateInstance")) return S_OK;
  return create_sensor_manager(riid, ppv);
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  void* block = std::malloc(cb ? cb : 1);
  if (block != nullptr) ++com().task_allocations;
  return block;
}

void WINAPI CoTaskMemFree(LPVOID pv) {
  if (pv == nullptr) return;
  --com().task_allocations;
  std::free(pv);
}

HRESULT WINAPI PropVariantClear(PROPVARIANT* pvar) {
  if (pvar == nullptr) return S_OK;
  switch (pvar->vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR:
      break;
    case VT_LPSTR:
      CoTaskMemFree(pvar->pszVal);
      break;
    case VT_LPWSTR:
      CoTaskMemFree(pvar->pwszVal);
      break;
    case VT_CLSID:
      CoTaskMemFree(pvar->puuid);
      break;
    case VT_UNKNOWN:
      if (pvar->punkVal != nullptr) pvar->punkVal->Release();
      break;
    default:
      // Types the simulation never hands out; Windows answers the same for an invalid type.
      return DISP_E_BADVARTYPE;
  }
  PropVariantInit(pvar);
  return S_OK;
}

namespace winsim::machine {

ULONG com_initialization_count() {
  auto& s = com();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.threads.find(std::this_thread::get_id());
  return it == s.threads.end() ? 0 : it->second.count;
}

size_t co_task_allocations() { return com().task_allocations.load(); }

}  // namespace winsim::machine
