// "\\.\KELTPMDRV": the laptop maker's power-management driver. Only its
// firmware query is modelled; the answer is whatever the test set.
#include "devices/devices.h"

#include <winsim/machine.h>

#include <algorithm>
#include <cstring>

namespace winsim::detail {
namespace {

constexpr DWORD firmware_query_code = 0x002227F8;  // FILE_DEVICE_UNKNOWN, function 0x9FE, buffered

enum class driver_mode { absent, answer, failure };

struct driver_state {
  std::mutex mutex;
  driver_mode mode = driver_mode::absent;
  DWORD value = 0;
  DWORD answer_size = 4;
  DWORD error = 0;
  int opens = 0;
  int queries = 0;
  DWORD last_argument = 0;
};

driver_state& state() {
  static driver_state* s = [] {
    auto* created = new driver_state;
    on_reset([created] {
      std::lock_guard<std::mutex> lock(created->mutex);
      created->mode = driver_mode::absent;
      created->value = 0;
      created->answer_size = 4;
      created->error = 0;
      created->opens = 0;
      created->queries = 0;
      created->last_argument = 0;
    });
    return created;
  }();
  return *s;
}

class firmware_driver : public device_object {
 public:
  BOOL io_control(DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                  LPDWORD bytes_returned) override {
    if (bytes_returned == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    *bytes_returned = 0;
    if (code != firmware_query_code) {
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.queries;
    if (in == nullptr || in_size < sizeof(DWORD)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::memcpy(&s.last_argument, in, sizeof(DWORD));
    if (s.mode == driver_mode::failure) {
      SetLastError(s.error);
      return FALSE;
    }
    if (out == nullptr || out_size < s.answer_size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memset(out, 0, out_size);
    std::memcpy(out, &s.value, std::min<DWORD>(s.answer_size, sizeof(DWORD)));
    *bytes_returned = s.answer_size;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
};

void configure(driver_mode mode, DWORD value, DWORD answer_size, DWORD error) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.mode = mode;
  s.value = value;
  s.answer_size = answer_size;
  s.error = error;
}

}  // namespace

std::shared_ptr<device_object> open_firmware_driver() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.opens;
  if (s.mode == driver_mode::absent) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return std::make_shared<firmware_driver>();
}

}  // namespace winsim::detail

namespace winsim::machine {

using detail::driver_mode;

void set_firmware_driver_absent() { detail::configure(driver_mode::absent, 0, 4, 0); }
void set_firmware_driver_answer(DWORD value) { detail::configure(driver_mode::answer, value, 4, 0); }
void set_firmware_driver_answer_size(DWORD value, DWORD bytes) {
  detail::configure(driver_mode::answer, value, bytes, 0);
}
void set_firmware_driver_failure(DWORD error) { detail::configure(driver_mode::failure, 0, 4, error); }

int firmware_driver_open_count() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.opens;
}

int firmware_driver_query_count() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.queries;
}

DWORD firmware_driver_last_argument() {
  auto& s = detail::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.last_argument;
}

}  // namespace winsim::machine
