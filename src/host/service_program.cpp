#include "host/service_program.h"

#include "host/service_main.h"
#include "logging/logger.h"
#include "logging/service_message.h"
#include "logging/trace_provider.h"

#include <windows.h>

#include <stdexcept>

namespace ostrel {

using logging::service_message;

int run_service_program() {
  logging::register_trace_provider();
  int result = 0;
  try {
    // An own-process service: the entry's name is not looked at.
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, &service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
      service_message() << "Unable to start the Service Control Dispatcher\n";
      result = 1;
    }
  } catch (const std::runtime_error& e) {
    service_message() << "Failed to run service: " << e.what() << "\n";
    result = 1;
  } catch (...) {
    service_message() << "Uncaught exception from main\n";
    result = 1;
  }
  logging::unregister_trace_provider();
  logging::release_logger();
  return result;
}

}  // namespace ostrel
