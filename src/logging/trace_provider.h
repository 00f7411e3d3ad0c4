// The TraceLogging provider "NolvaneSvc", written by hand over
// EventWriteTransfer so that it builds the same with MSVC and mingw-w64.
#pragma once

#include <windows.h>

#include <evntprov.h>

#include <cstdint>

namespace ostrel::logging {

// Registers the provider and sets its traits. A second registration while
// registered ends the process with a fail-fast, as TraceLogging does.
// `chained` is called after every enable-state update.
void register_trace_provider(PENABLECALLBACK chained = nullptr, void* chained_context = nullptr);
void unregister_trace_provider();

// The enabled level + 1 (0 disabled, 256 for "all levels").
uint32_t provider_enabled_level_plus1();
uint64_t provider_match_any_keyword();
uint64_t provider_match_all_keyword();

// Writes one "TraceEvent" with the field "Message" at the ETW level (5, 4
// or 2); a null text is written as "".
void write_trace_event(uint8_t etw_level, const char* text);

// The provider's GUID, fixed across versions so trace sessions keep finding it.
extern const GUID nolvane_provider_id;

}  // namespace ostrel::logging
