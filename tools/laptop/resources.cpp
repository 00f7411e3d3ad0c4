#include "resources.h"

#include <winsim/machine.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace nolvane_sim {
namespace {

// A "Name:   value ..." field of /proc/self/status.
size_t status_field(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::istringstream value(line.substr(name.size() + 1));
    size_t number = 0;
    value >> number;
    return number;
  }
  return 0;
}

}  // namespace

resources measure_now() {
  resources r;
  r.handles = winsim::machine::open_handle_count();
  r.sensor_objects = winsim::machine::sensor_api_object_count();
  r.registry_notifications = winsim::machine::registry_armed_notification_count();
  r.threads = status_field("Threads");
  r.children = winsim::machine::running_process_count();
  r.resident_kib = status_field("VmRSS");
  r.resident_anon_kib = status_field("RssAnon");
  r.resident_file_kib = status_field("RssFile");
  r.heap_in_use_kib = mallinfo2().uordblks / 1024;
  return r;
}

resources measure_at_rest(std::chrono::milliseconds window) {
  const auto end = std::chrono::steady_clock::now() + window;
  resources least = measure_now();
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const resources now = measure_now();
    least.handles = std::min(least.handles, now.handles);
    least.sensor_objects = std::min(least.sensor_objects, now.sensor_objects);
    least.registry_notifications = std::min(least.registry_notifications, now.registry_notifications);
    least.threads = std::min(least.threads, now.threads);
    least.children = std::min(least.children, now.children);
    least.resident_kib = std::min(least.resident_kib, now.resident_kib);
    least.resident_anon_kib = std::min(least.resident_anon_kib, now.resident_anon_kib);
    least.resident_file_kib = std::min(least.resident_file_kib, now.resident_file_kib);
    least.heap_in_use_kib = std::min(least.heap_in_use_kib, now.heap_in_use_kib);
  }
  return least;
}

std::string mib(size_t kib) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f MiB", static_cast<double>(kib) / 1024.0);
  return text;
}

}  // namespace nolvane_sim
