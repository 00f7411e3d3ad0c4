#include "overlay_watch.h"

#include <string>

namespace nolvane_sim {
namespace {

bool is(const std::string& text, const char* kind) {
  const std::string prefix = std::string(kind) + " class=" + overlay_watch::window_class;
  return text.compare(0, prefix.size(), prefix) == 0 &&
         (text.size() == prefix.size() || text[prefix.size()] == ' ');
}

}  // namespace

std::vector<overlay_watch::change> overlay_watch::update(const std::vector<winsim::machine::desktop_entry>& entries) {
  std::vector<change> changes;
  for (const auto& e : entries) {
    const bool shown = is(e.text, "window_shown");
    const bool gone = is(e.text, "window_hidden") || is(e.text, "window_destroyed");
    if (shown && showing_.insert(e.pid).second) changes.push_back({true, e.pid, e.time_us});
    if (gone && showing_.erase(e.pid) != 0) changes.push_back({false, e.pid, e.time_us});
  }
  return changes;
}

}  // namespace nolvane_sim
