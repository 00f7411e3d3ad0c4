// The service's handle on the presence engine. Results are 0 for success and
// 4 for failure unless an operation says otherwise.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

// An engine operation mode as the settings number them (`Opmode`).
using operation_mode = uint64_t;

class engine_runner_interface {
 public:
  virtual ~engine_runner_interface() = default;

  // Subscribes to the engine's events; true when it is running.
  virtual bool start() = 0;
  virtual int init() = 0;
  // Asks the whole service to stop.
  virtual void stop() = 0;
  virtual std::vector<operation_mode> get_operation_modes() = 0;
  virtual void cache_opmode_list() = 0;
  // true: stop the engine's events; false: start them again.
  virtual int set_engine_suspended(bool suspend) = 0;
  virtual int send_to_engine(uint32_t id, const uint8_t* data, size_t size) = 0;
  // Takes the value out of `value` (which is empty afterwards); false when the
  // id is 0 or the value is not of the parameter's type.
  virtual bool set_parameter(uint64_t id, std::any&& value) = 0;
  virtual bool set_calibration_state(uint32_t state) = 0;
  virtual void restart_audio() = 0;
};

}  // namespace ostrel
