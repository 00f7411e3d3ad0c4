#include "engine/engine_runner.h"
#include "engine/engine_runner_parameters.h"

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace ostrel {
namespace {

TEST(RunnerParameters, Parameter7KeepsTheSensorWaitAtLeastFiveSeconds) {
  // LockScreenTimeout beyond SensorSleepDuration + 5 + DimDuration: the rest of it.
  EXPECT_FLOAT_EQ(compute_parameter_7(60, 5, 10), 45.0f);
  // A shorter one is lifted to that sum.
  EXPECT_FLOAT_EQ(compute_parameter_7(15, 5, 10), 5.0f);
  // Equal to the sum: the comparison is strict, the sum is used; same result.
  EXPECT_FLOAT_EQ(compute_parameter_7(20, 5, 10), 5.0f);
  EXPECT_FLOAT_EQ(compute_parameter_7(21, 5, 10), 6.0f);
  // The defaults (45, 5, 15).
  EXPECT_FLOAT_EQ(compute_parameter_7(45, 5, 15), 25.0f);
  EXPECT_FLOAT_EQ(compute_parameter_7(0, 1, 0), 5.0f);
  EXPECT_FLOAT_EQ(compute_parameter_7(600, 600, 600), 5.0f);
}

// Records the hand-over and refuses one id.
class recording_runner : public engine_runner_interface {
 public:
  explicit recording_runner(uint64_t refused_id) : refused_id_(refused_id) {}
  bool start() override { return true; }
  int init() override { return 0; }
  void stop() override {}
  std::vector<operation_mode> get_operation_modes() override { return {}; }
  void cache_opmode_list() override {}
  int set_engine_suspended(bool) override { return 0; }
  int send_to_engine(uint32_t, const uint8_t*, size_t) override { return 0; }
  bool set_parameter(uint64_t id, std::any&& value) override {
    ids.push_back(id);
    types.push_back(value.type().name());
    return id != refused_id_;
  }
  bool set_calibration_state(uint32_t) override { return false; }
  void restart_audio() override {}

  std::vector<uint64_t> ids;
  std::vector<std::string> types;

 private:
  uint64_t refused_id_;
};

TEST(RunnerParameters, HandOverGoesInIdOrderWithTheRunnersTypesAndEndsAtARefusal) {
  runner_parameters parameters;
  parameters.opmode = 1020;
  parameters.debug_mode = true;
  parameters.parameter_7 = 45.0f;
  parameters.use_skelder = true;

  // The runner itself accepts every pair and keeps the values.
  std::atomic<bool> stop{false};
  engine_runner runner(nullptr, nullptr, &stop);
  ASSERT_TRUE(hand_over_runner_parameters(runner, parameters));
  const engine_parameters kept = runner.parameters();
  EXPECT_EQ(kept.opmode, 1020u);
  EXPECT_TRUE(kept.debug_mode);
  EXPECT_FALSE(kept.parameter_3);
  EXPECT_EQ(kept.parameter_4, 0u);
  EXPECT_EQ(kept.parameter_5, 0u);
  EXPECT_TRUE(kept.parameter_6);
  EXPECT_FLOAT_EQ(kept.parameter_7, 45.0f);
  EXPECT_TRUE(kept.use_skelder);
  EXPECT_EQ(kept.parameter_9, "none");

  recording_runner all(/*refused_id=*/0);
  ASSERT_TRUE(hand_over_runner_parameters(all, parameters));
  EXPECT_EQ(all.ids, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  const std::string u64 = typeid(uint64_t).name();
  const std::string boolean = typeid(bool).name();
  EXPECT_EQ(all.types, (std::vector<std::string>{u64, boolean, boolean, u64, u64, boolean, typeid(float).name(),
                                                 boolean, typeid(std::string).name()}));

  recording_runner refusing(/*refused_id=*/3);
  EXPECT_FALSE(hand_over_runner_parameters(refusing, parameters));
  EXPECT_EQ(refusing.ids, (std::vector<uint64_t>{1, 2, 3}));
}

}  // namespace
}  // namespace ostrel
