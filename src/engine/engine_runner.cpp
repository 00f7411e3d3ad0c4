#include "engine/engine_runner.h"

#include "logging/trace_line.h"

#include <typeinfo>

namespace ostrel {

using logging::log_level;
using logging::trace_line;

namespace {

constexpr const char* tag = "runner";
constexpr int result_ok = 0;
constexpr int result_failed = 4;

void warn_not_implemented(const char* operation) {
  trace_line(log_level::info, tag) << "Warning: " << operation << " not implemented\n";
}

}  // namespace

engine_runner::engine_runner(std::shared_ptr<config::reader> reader, std::shared_ptr<event_queue> queue,
                             std::atomic<bool>* stop_requested)
    : stop_requested_(stop_requested),
      reader_(std::move(reader)),
      queue_(std::move(queue)),
      engine_(std::make_unique<hid_engine>(stop_requested, queue_)) {}

engine_runner::~engine_runner() {
  if (running_.exchange(false)) engine_->stop();
  engine_.reset();
  queue_.reset();
  reader_.reset();
}

bool engine_runner::start() {
  if (!engine_->start()) return false;
  running_ = true;
  return true;
}

int engine_runner::init() {
  if (!engine_->init()) {
    trace_line(log_level::info, tag) << "failed to initialize hid engine\n";
    return result_failed;
  }
  initialised_ = true;
  return result_ok;
}

void engine_runner::stop() {
  if (stop_requested_ != nullptr) *stop_requested_ = true;
}

std::vector<operation_mode> engine_runner::get_operation_modes() {
  warn_not_implemented("get_operation_modes");
  return {};
}

void engine_runner::cache_opmode_list() { warn_not_implemented("cache_opmode_list"); }

int engine_runner::set_engine_suspended(bool suspend) {
  if (suspend) {
    if (!running_) return result_ok;
    if (!engine_->stop()) {
      trace_line(log_level::info, tag) << "stop hid process failed\n";
      return result_failed;
    }
    running_ = false;
    return result_ok;
  }
  if (running_) return result_ok;
  if (!engine_->start()) {
    trace_line(log_level::info, tag) << "start hid process failed\n";
    return result_failed;
  }
  running_ = true;
  return result_ok;
}

int engine_runner::send_to_engine(uint32_t, const uint8_t*, size_t) { return result_ok; }

bool engine_runner::set_parameter(uint64_t id, std::any&& value) {
  if (id == 0) {
    trace_line(log_level::info, tag) << "parameter " << id << " not set\n";
    value.reset();
    return false;
  }
  bool stored = true;
  try {
    switch (id) {
      case 1: parameters_.opmode = std::any_cast<uint64_t>(value); break;
      case 2: parameters_.debug_mode = std::any_cast<bool>(value); break;
      case 3: parameters_.parameter_3 = std::any_cast<bool>(value); break;
      case 4: parameters_.parameter_4 = std::any_cast<uint64_t>(value); break;
      case 5: parameters_.parameter_5 = std::any_cast<uint64_t>(value); break;
      case 6: parameters_.parameter_6 = std::any_cast<bool>(value); break;
      case 7: parameters_.parameter_7 = std::any_cast<float>(value); break;
      case 8: parameters_.use_skelder = std::any_cast<bool>(value); break;
      case 9: parameters_.parameter_9 = std::any_cast<std::string>(value); break;
      default: break;  // ids this runner does not know are accepted and ignored
    }
  } catch (const std::bad_any_cast& e) {
    trace_line(log_level::info, tag) << e.what();
    stored = false;
  }
  value.reset();
  return stored;
}

bool engine_runner::set_calibration_state(uint32_t) {
  OSTREL_LOCATED(log_level::info, tag) << "Warning 'set_calibration_state' not supported for HID runner\n";
  return false;
}

void engine_runner::restart_audio() { trace_line(log_level::info, tag) << "In restart audio\n"; }

}  // namespace ostrel
