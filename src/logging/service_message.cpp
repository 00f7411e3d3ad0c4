#include "logging/service_message.h"

namespace ostrel::logging {

service_message::~service_message() {
  // A diagnostic that cannot be written must not end the process from a
  // destructor.
  try {
    event_log_sink::instance().write(event_id_, event_type_, stream_.str());
  } catch (...) {
  }
}

}  // namespace ostrel::logging
