// Controls of the simulated Event Tracing for Windows.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace winsim::machine {

// One event as a trace session received it, decoded from its TraceLogging
// metadata.
struct trace_event {
  std::string provider;  // provider name from the provider metadata
  std::string name;      // event name from the event metadata
  UCHAR level = 0;
  UCHAR channel = 0;
  ULONGLONG keyword = 0;
  std::vector<std::string> field_names;
  std::string message;  // the "Message" field, when the event has one
  // When the session received it, as ETW stamps every event.
  std::chrono::steady_clock::time_point time;
};

// Starts the one trace session, enabling every provider (registered now or
// later) at `level` (0 = all levels); events written from now on are kept.
void start_trace_session(UCHAR level, ULONGLONG match_any_keyword = 0, ULONGLONG match_all_keyword = 0);
// Disables the providers and ends the session; the kept events remain readable.
void stop_trace_session();
bool trace_session_active();
std::vector<trace_event> trace_events();
// Only the "Message" texts, in order.
std::vector<std::string> trace_messages();
// The "Message" texts, in order, removed from the session: what a long run
// reads as it goes, so that the session keeps only what came since.
std::vector<std::string> take_trace_messages();
// The same for whole events.
std::vector<trace_event> take_trace_events();
// Blocks until the session holds events not taken yet, or `timeout_ms` has
// passed; true when it does.
bool wait_for_trace_events(DWORD timeout_ms);
void clear_trace_events();

// Number of providers registered now, and the traits blob last set for the
// provider named `provider` (empty when none).
size_t registered_provider_count();
std::vector<unsigned char> provider_traits(const std::string& provider);

}  // namespace winsim::machine
