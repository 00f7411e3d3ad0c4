#include "kernel/pipe_end.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace winsim::detail {

pipe_end::~pipe_end() { ::close(fd_); }

// "value:fd:r" or "value:fd:w", separated by commas; values in hex.
std::string describe_inherited_handles(const std::vector<inherited_handle>& handles) {
  std::ostringstream text;
  for (size_t i = 0; i < handles.size(); ++i) {
    if (i > 0) text << ',';
    text << std::hex << reinterpret_cast<uintptr_t>(handles[i].value) << std::dec << ':' << handles[i].fd << ':'
         << (handles[i].read_side ? 'r' : 'w');
  }
  return text.str();
}

std::vector<inherited_handle> parse_inherited_handles(const char* text) {
  std::vector<inherited_handle> handles;
  if (text == nullptr) return handles;
  std::istringstream entries(text);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    char* end = nullptr;
    const uintptr_t value = std::strtoull(entry.c_str(), &end, 16);
    if (*end != ':') continue;
    const long fd = std::strtol(end + 1, &end, 10);
    if (*end != ':' || (end[1] != 'r' && end[1] != 'w') || end[2] != '\0') continue;
    if (value == 0 || fd < 0 || ::fcntl(static_cast<int>(fd), F_GETFD) < 0) continue;
    handles.push_back({reinterpret_cast<HANDLE>(value), static_cast<int>(fd), end[1] == 'r'});
  }
  return handles;
}

}  // namespace winsim::detail
