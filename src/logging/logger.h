// The process-wide trace logger: every diagnostic line of the service
// becomes one ETW event of the "NolvaneSvc" provider.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace ostrel::logging {

enum class log_level : int { debug = 0, info = 1, error = 2 };

class logger_i {
 public:
  virtual ~logger_i() = default;
  virtual void log(uint32_t level, const char* text) = 0;
  // Loggers without a console only say so.
  virtual void toggle_console();
};

class trace_logger : public logger_i {
 public:
  void log(uint32_t level, const char* text) override;

 private:
  std::mutex mutex_;
};

// The singleton: created by the first call, shared by every caller. After
// release_logger() no logger can be obtained and lines are dropped.
std::shared_ptr<logger_i> get_logger();
void release_logger();

}  // namespace ostrel::logging
