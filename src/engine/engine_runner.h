// The engine runner of one load pass: owns the HID engine (the presence
// sensor), keeps the engine parameters the service hands over, and turns the
// state machines' suspend and resume requests into sensor (un)subscriptions.
#pragma once

#include "config/reader.h"
#include "engine/engine_runner_interface.h"
#include "engine/hid_engine.h"
#include "events/event_queue.h"

#include <atomic>
#include <memory>
#include <string>

namespace ostrel {

// The parameters by id, with their values before any hand-over. The HID
// engine reads none of them; they are kept for engines that do.
struct engine_parameters {
  uint64_t opmode = 0;         // 1
  bool debug_mode = false;     // 2
  bool parameter_3 = false;    // 3
  uint64_t parameter_4 = 0;    // 4
  uint64_t parameter_5 = 0;    // 5
  bool parameter_6 = false;    // 6
  float parameter_7 = 0.0f;    // 7
  bool use_skelder = false;    // 8
  std::string parameter_9 = "none";  // 9
};

class engine_runner final : public engine_runner_interface {
 public:
  engine_runner(std::shared_ptr<config::reader> reader, std::shared_ptr<event_queue> queue,
                std::atomic<bool>* stop_requested);
  // Unsubscribes and closes the sensor; runs on the thread that called init.
  ~engine_runner() override;
  engine_runner(const engine_runner&) = delete;
  engine_runner& operator=(const engine_runner&) = delete;

  bool start() override;
  int init() override;
  void stop() override;
  std::vector<operation_mode> get_operation_modes() override;
  void cache_opmode_list() override;
  int set_engine_suspended(bool suspend) override;
  int send_to_engine(uint32_t id, const uint8_t* data, size_t size) override;
  bool set_parameter(uint64_t id, std::any&& value) override;
  bool set_calibration_state(uint32_t state) override;
  void restart_audio() override;

  bool running() const { return running_.load(); }
  bool initialised() const { return initialised_.load(); }
  // A copy of the parameters as handed over so far.
  engine_parameters parameters() const { return parameters_; }

 private:
  std::atomic<bool>* stop_requested_;
  engine_parameters parameters_;
  std::atomic<bool> running_{false};
  std::atomic<bool> initialised_{false};
  std::shared_ptr<config::reader> reader_;
  std::shared_ptr<event_queue> queue_;
  std::unique_ptr<hid_engine> engine_;
};

}  // namespace ostrel
