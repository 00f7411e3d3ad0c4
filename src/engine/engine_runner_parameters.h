// The engine parameters the service hands over to the engine runner at the
// start of every load pass, and how parameter 7 follows from the settings.
#pragma once

#include "engine/engine_runner_interface.h"

#include <cstdint>

namespace ostrel {

// The engine parameters the service hands over, by id. Ids 3 to 6 and 9
// have fixed values.
struct runner_parameters {
  uint64_t opmode = 0;       // 1: Opmode
  bool debug_mode = false;   // 2: DebugMode non-zero
  float parameter_7 = 0.0f;  // 7: see compute_parameter_7
  bool use_skelder = false;  // 8: UseSkelder non-zero
};

// (T - DimDuration) - SensorSleepDuration, T being LockScreenTimeout when it
// exceeds SensorSleepDuration + 5 + DimDuration, else that sum; never below 5.
float compute_parameter_7(int32_t lock_screen_timeout, int32_t dim_duration, int32_t sensor_sleep_duration);

// Hands the nine (id, value) pairs over in id order; false at the first
// refused pair, after which nothing more is handed over.
bool hand_over_runner_parameters(engine_runner_interface& runner, const runner_parameters& parameters);

}  // namespace ostrel
