// event_log_sink: the service's lifecycle messages in the Windows application
// event log, repeated as "[service] " trace lines when DebugMode is on.
#pragma once

#include "logging/logger.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace ostrel::logging {

// The event-log source every entry is written under; also the first
// insertion string of each entry. The entry carries its text as the second
// one, which the message table in the service executable shows as it is.
inline constexpr const char* event_source_name = "Ostrel Virtual Sensor";

// The id and type of every entry the service writes.
inline constexpr uint32_t service_event_id = 0x40020002;
inline constexpr uint16_t service_event_type = 4;  // EVENTLOG_INFORMATION_TYPE
// Ids whose repetition in debug mode is traced at info and error level.
inline constexpr uint32_t service_warning_event_id = 0x80020003;
inline constexpr uint32_t service_error_event_id = 0xC0020004;
// Every id the sink knows; the message table has a text for each.
inline constexpr uint32_t known_event_ids[] = {service_event_id, service_warning_event_id, service_error_event_id};

class event_log_sink {
 public:
  // Created on first use and kept until the process ends, so that a thread
  // still reporting during shutdown never meets a destroyed sink.
  static event_log_sink& instance();

  // Writes one entry (the source is opened and closed for it). A failure to
  // reach the event log is silent. With debug_mode set, the message is also
  // traced as "[service] " + message, at the level the id calls for.
  void write(uint32_t event_id, uint16_t event_type, const std::string& message);

  // 0xC0020004 → error, 0x80020003 → info, any other id → debug.
  static log_level repetition_level(uint32_t event_id);

  // The insertion strings of an entry: the source name, then the message.
  // The array points into `message`.
  static std::array<const char*, 2> insertion_strings(const std::string& message);

 private:
  event_log_sink() = default;

  // Held for the whole write, repetition included, so an entry and its
  // trace line are never interleaved with another entry's. Taken before the
  // trace logger's mutex, never after it.
  std::mutex mutex_;
};

}  // namespace ostrel::logging
