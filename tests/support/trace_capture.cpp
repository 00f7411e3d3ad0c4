#include "trace_capture.h"

#include "logging/trace_provider.h"
#include "wait_for.h"

#include <mutex>

namespace ostrel::test {
namespace {

std::string with_newline(const std::string& line) {
  return (!line.empty() && line.back() == '\n') ? line : line + "\n";
}

}  // namespace

trace_capture::trace_capture(UCHAR level) {
  static std::once_flag registered;
  std::call_once(registered, [] { logging::register_trace_provider(); });
  winsim::machine::clear_trace_events();
  winsim::machine::start_trace_session(level);
}

trace_capture::~trace_capture() { winsim::machine::stop_trace_session(); }

std::vector<std::string> trace_capture::messages() const { return winsim::machine::trace_messages(); }

std::vector<winsim::machine::trace_event> trace_capture::events() const { return winsim::machine::trace_events(); }

size_t trace_capture::count(const std::string& line) const {
  const std::string wanted = with_newline(line);
  size_t n = 0;
  for (const auto& m : messages()) n += (m == wanted) ? 1 : 0;
  return n;
}

UCHAR trace_capture::level_of(const std::string& line) const {
  const std::string wanted = with_newline(line);
  for (const auto& event : events()) {
    if (event.message == wanted) return event.level;
  }
  return 0;
}

size_t trace_capture::count_containing(const std::string& part) const {
  size_t n = 0;
  for (const auto& m : messages()) n += (m.find(part) != std::string::npos) ? 1 : 0;
  return n;
}

bool trace_capture::wait_for_line(const std::string& line, std::chrono::milliseconds timeout) const {
  return wait_for([&] { return contains(line); }, timeout);
}

void trace_capture::clear() { winsim::machine::clear_trace_events(); }

std::string trace_capture::dump() const {
  std::string all;
  for (const auto& m : messages()) all += m;
  return all;
}

}  // namespace ostrel::test
