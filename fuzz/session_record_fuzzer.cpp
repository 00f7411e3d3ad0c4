// Any bytes as the record that WTSQuerySessionInformationW answers for the
// console session, into the daemon's locked query. The simulated system hands
// out a buffer of exactly the input's size, so a read past it is reported.
#include "desktop_operations.h"

#include <winsim/machine.h>

#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The query's trace lines go to standard output, which nobody reads here.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  winsim::machine::set_session_info_record(std::vector<unsigned char>(data, data + size));
  // A record too short to hold its level says nothing, least of all "locked".
  const bool locked = ostrel::daemon::is_session_locked();
  if (size < sizeof(DWORD) && locked) __builtin_trap();
  return 0;
}
