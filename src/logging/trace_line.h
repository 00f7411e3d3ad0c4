// trace_line: one log line, assembled in a stream and handed to the logger
// complete when the object goes out of scope.
//
//   trace_line(log_level::info, "runner") << "Service starting";
//   trace_line(log_level::debug, "rsm", __func__) << "Enter";      // "[rsm] [fn] Enter"
//   OSTREL_LOCATED(log_level::error, "runner") << "failed";       // "[runner] [file.cpp:12] [fn] failed"
#pragma once

#include "logging/logger.h"

#include <sstream>
#include <string>

namespace ostrel::logging {

class trace_line {
 public:
  // "[" tag "] " message
  trace_line(log_level level, const char* tag);
  // "[" tag "] [" function "] " message
  trace_line(log_level level, const char* tag, const char* function);
  // "[" tag "] [" file name ":" line "] [" function "] " message
  trace_line(log_level level, const char* tag, const char* file, int line, const char* function);
  ~trace_line();
  trace_line(const trace_line&) = delete;
  trace_line& operator=(const trace_line&) = delete;

  template <typename T>
  trace_line& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }
  std::ostream& stream() { return stream_; }

 private:
  log_level level_;
  std::ostringstream stream_;
};

// Logs "Enter" when constructed and "Exit" when destroyed, both in the
// function-named layout.
class scope_trace {
 public:
  scope_trace(log_level level, const char* tag, const char* function);
  ~scope_trace();
  scope_trace(const scope_trace&) = delete;
  scope_trace& operator=(const scope_trace&) = delete;

 private:
  log_level level_;
  const char* tag_;
  const char* function_;
};

// The part of a source path after its last '/' or '\'.
const char* file_name_of(const char* path);

// Hands one finished line to the process-wide logger, adding the final
// newline when it is missing. Dropped when no logger can be obtained.
void write_line(log_level level, std::string text);

}  // namespace ostrel::logging

#define OSTREL_LOCATED(level, tag) ::ostrel::logging::trace_line((level), (tag), __FILE__, __LINE__, __func__)
#define OSTREL_CONCAT_INNER(a, b) a##b
#define OSTREL_CONCAT(a, b) OSTREL_CONCAT_INNER(a, b)
#define OSTREL_SCOPE_TRACE(level, tag) \
  ::ostrel::logging::scope_trace OSTREL_CONCAT(ostrel_scope_trace_, __LINE__)((level), (tag), __func__)
