#include "logging/trace_line.h"

namespace ostrel::logging {

const char* file_name_of(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

void write_line(log_level level, std::string text) {
  auto logger = get_logger();
  if (!logger) return;
  if (text.empty() || text.back() != '\n') text += '\n';
  logger->log(static_cast<uint32_t>(level), text.c_str());
}

trace_line::trace_line(log_level level, const char* tag) : level_(level) { stream_ << '[' << tag << "] "; }

trace_line::trace_line(log_level level, const char* tag, const char* function) : trace_line(level, tag) {
  stream_ << '[' << function << "] ";
}

trace_line::trace_line(log_level level, const char* tag, const char* file, int line, const char* function)
    : trace_line(level, tag) {
  stream_ << '[' << file_name_of(file) << ':' << line << "] [" << function << "] ";
}

trace_line::~trace_line() { write_line(level_, stream_.str()); }

scope_trace::scope_trace(log_level level, const char* tag, const char* function)
    : level_(level), tag_(tag), function_(function) {
  trace_line(level_, tag_, function_) << "Enter";
}

scope_trace::~scope_trace() { trace_line(level_, tag_, function_) << "Exit"; }

}  // namespace ostrel::logging
