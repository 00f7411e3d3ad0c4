#include "logging/logger.h"

#include "logging/trace_provider.h"

#include <iostream>

namespace ostrel::logging {
namespace {

// ETW level for a log level, or 0 when the level is not one of ours.
uint8_t etw_level_of(uint32_t level) {
  switch (level) {
    case 0: return 5;  // verbose
    case 1: return 4;  // information
    case 2: return 2;  // error
    default: return 0;
  }
}

struct logger_singleton {
  std::mutex mutex;
  std::once_flag created;
  std::shared_ptr<logger_i> logger;
};

logger_singleton& singleton() {
  static logger_singleton* s = new logger_singleton;  // usable during static destruction
  return *s;
}

}  // namespace

void logger_i::toggle_console() {
  std::cerr << "toggle_console not supported for this logging implementation\n";
}

void trace_logger::log(uint32_t level, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint8_t etw_level = etw_level_of(level);
  if (etw_level == 0 || provider_enabled_level_plus1() <= etw_level) return;
  write_trace_event(etw_level, text);
}

std::shared_ptr<logger_i> get_logger() {
  auto& s = singleton();
  std::call_once(s.created, [&s] {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logger = std::make_shared<trace_logger>();
  });
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.logger;
}

void release_logger() {
  auto& s = singleton();
  std::call_once(s.created, [] {});  // a later get_logger() must not create a new one
  std::lock_guard<std::mutex> lock(s.mutex);
  s.logger.reset();
}

}  // namespace ostrel::logging
