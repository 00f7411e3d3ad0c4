// service_message: one event-log entry of the service, assembled in a stream
// and handed to the event_log_sink (without a tag) when the object goes out
// of scope.
//
//   service_message() << "Failed to create config\n";
#pragma once

#include "logging/event_log_sink.h"

#include <cstdint>
#include <sstream>

namespace ostrel::logging {

class service_message {
 public:
  explicit service_message(uint32_t event_id = service_event_id, uint16_t event_type = service_event_type)
      : event_id_(event_id), event_type_(event_type) {}
  ~service_message();
  service_message(const service_message&) = delete;
  service_message& operator=(const service_message&) = delete;

  template <typename T>
  service_message& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  uint32_t event_id_;
  uint16_t event_type_;
  std::ostringstream stream_;
};

}  // namespace ostrel::logging
