#include "engine/engine_runner_parameters.h"

#include <any>
#include <string>
#include <utility>

namespace ostrel {

float compute_parameter_7(int32_t lock_screen_timeout, int32_t dim_duration, int32_t sensor_sleep_duration) {
  const int32_t shortest = sensor_sleep_duration + 5 + dim_duration;
  const int32_t t = lock_screen_timeout > shortest ? lock_screen_timeout : shortest;
  return static_cast<float>(t - dim_duration) - static_cast<float>(sensor_sleep_duration);
}

bool hand_over_runner_parameters(engine_runner_interface& runner, const runner_parameters& parameters) {
  std::pair<uint64_t, std::any> pairs[] = {
      {1, parameters.opmode},      {2, parameters.debug_mode}, {3, false},
      {4, uint64_t{0}},            {5, uint64_t{0}},           {6, true},
      {7, parameters.parameter_7}, {8, parameters.use_skelder}, {9, std::string("none")},
  };
  for (auto& [id, value] : pairs) {
    if (!runner.set_parameter(id, std::move(value))) return false;
  }
  return true;
}

}  // namespace ostrel
