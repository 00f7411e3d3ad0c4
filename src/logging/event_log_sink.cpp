#include "logging/event_log_sink.h"

#include "common/process_flags.h"
#include "logging/trace_line.h"
#include "unique_handle.h"

#include <windows.h>

namespace ostrel::logging {

event_log_sink& event_log_sink::instance() {
  static event_log_sink* sink = new event_log_sink;
  return *sink;
}

log_level event_log_sink::repetition_level(uint32_t event_id) {
  switch (event_id) {
    case service_error_event_id:
      return log_level::error;
    case service_warning_event_id:
      return log_level::info;
    default:
      return log_level::debug;
  }
}

std::array<const char*, 2> event_log_sink::insertion_strings(const std::string& message) {
  return {event_source_name, message.c_str()};
}

void event_log_sink::write(uint32_t event_id, uint16_t event_type, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  unique_event_source source(::RegisterEventSourceA(/*lpUNCServerName=*/nullptr, event_source_name));
  if (source) {
    auto strings = insertion_strings(message);
    ::ReportEventA(source.get(), event_type, /*wCategory=*/0, event_id, /*lpUserSid=*/nullptr,
                   /*wNumStrings=*/static_cast<WORD>(strings.size()), /*dwDataSize=*/0, strings.data(),
                   /*lpRawData=*/nullptr);
  }
  if (debug_mode) trace_line(repetition_level(event_id), "service") << message;
}

}  // namespace ostrel::logging
