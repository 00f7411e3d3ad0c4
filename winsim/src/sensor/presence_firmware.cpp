// The firmware of the simulated presence sensors: every report carries every
// field, the sensor reports at its interval whether or not anything changed,
// and at once when the person in front of it comes or goes. One reporting
// thread serves every sensor, so each sensor's reports reach the sinks in the
// order it made them: a report of the old presence never overtakes the report
// of a change.
#include "sensor/sensor_api.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace winsim::detail {
namespace {

using clock = std::chrono::steady_clock;

constexpr ULONG hid_state_of_ready = 2;        // HID sensor states run 2 (READY) to 7 (ERROR)
constexpr ULONG report_kind_data_updated = 4;  // SENSOR_EVENT_DATA_UPDATED

struct sensor_firmware {
  bool present = true;
  bool legacy = false;
  clock::duration interval{};  // zero: no periodic reports
  clock::time_point next_report{};
  size_t reports = 0;
};

struct firmware_state {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<sensor_firmware> sensors;  // by sensor index
  // Reports asked for at once, served before any periodic one.
  struct immediate {
    size_t sensor;
    uint64_t ticket;
  };
  std::deque<immediate> immediate_reports;
  uint64_t tickets_issued = 0;
  std::map<uint64_t, std::optional<HRESULT>> answers;  // of reports made, until their caller takes them
  bool stop = false;
  std::thread reporter;
};

firmware_state& firmware() {
  static auto* state = new firmware_state;
  return *state;
}

sensor_firmware& firmware_at(firmware_state& f, size_t sensor) {
  if (sensor >= f.sensors.size()) throw std::out_of_range("winsim: no sensor with index " + std::to_string(sensor));
  return f.sensors[sensor];
}

clock::duration interval_of(DWORD milliseconds) { return std::chrono::milliseconds(milliseconds); }

// The sensor whose periodic report is due first, if any reports periodically.
std::optional<size_t> next_periodic(const firmware_state& f) {
  std::optional<size_t> first;
  for (size_t i = 0; i < f.sensors.size(); ++i) {
    if (f.sensors[i].interval == clock::duration::zero()) continue;
    if (!first || f.sensors[i].next_report < f.sensors[*first].next_report) first = i;
  }
  return first;
}

// Makes one report of `sensor` and hands it to the sinks; called without the lock.
std::optional<HRESULT> report(size_t sensor, bool present, bool legacy) {
  const auto state = sensor_state_of(sensor);
  if (!state) return std::nullopt;
  return deliver_report_here(sensor, firmware_report(*state, present, legacy));
}

// Takes the lock again before it returns.
std::optional<HRESULT> report_unlocked(std::unique_lock<std::mutex>& lock, size_t sensor) {
  auto& f = firmware();
  sensor_firmware& s = f.sensors[sensor];
  ++s.reports;
  const bool present = s.present;
  const bool legacy = s.legacy;
  lock.unlock();
  const auto answer = report(sensor, present, legacy);
  lock.lock();
  return answer;
}

void run_reporter() {
  auto& f = firmware();
  std::unique_lock<std::mutex> lock(f.mutex);
  while (!f.stop) {
    if (!f.immediate_reports.empty()) {
      const auto asked = f.immediate_reports.front();
      f.immediate_reports.pop_front();
      const auto answer = report_unlocked(lock, asked.sensor);
      f.answers[asked.ticket] = answer;
      f.changed.notify_all();
      continue;
    }
    const auto due = next_periodic(f);
    if (!due) {
      f.changed.wait(lock);
      continue;
    }
    const auto when = f.sensors[*due].next_report;
    if (clock::now() < when) {
      f.changed.wait_until(lock, when);
      continue;
    }
    // A report held up (deliveries held, a slow sink) is not made up for:
    // the next one comes an interval after this one.
    auto& s = f.sensors[*due];
    s.next_report = std::max(when + s.interval, clock::now());
    report_unlocked(lock, *due);
  }
}

void ensure_reporter(firmware_state& f) {
  if (!f.reporter.joinable()) f.reporter = std::thread(run_reporter);
}

}  // namespace

machine::sensor_data firmware_report(SensorState state, bool present, bool legacy) {
  if (legacy) return machine::legacy_report(present);
  return machine::custom_report(hid_state_of_ready + static_cast<ULONG>(state), report_kind_data_updated, present);
}

void firmware_sensor_added(size_t sensor, const machine::sensor_description& description) {
  auto& f = firmware();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.sensors.size() <= sensor) f.sensors.resize(sensor + 1);
  auto& s = f.sensors[sensor];
  s.present = description.present;
  s.legacy = description.legacy;
  s.interval = interval_of(description.report_interval_ms);
  s.next_report = clock::now() + s.interval;
  ensure_reporter(f);
  f.changed.notify_all();
}

void stop_firmware() {
  auto& f = firmware();
  std::thread reporter;
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.stop = true;
    reporter = std::move(f.reporter);
    f.changed.notify_all();
  }
  if (reporter.joinable()) reporter.join();
  std::lock_guard<std::mutex> lock(f.mutex);
  // Callers still waiting learn that nobody heard their report.
  for (const auto& asked : f.immediate_reports) f.answers[asked.ticket] = std::nullopt;
  f.immediate_reports.clear();
  f.sensors.clear();
  f.stop = false;
  f.changed.notify_all();
}

}  // namespace winsim::detail

namespace winsim::machine {

using namespace winsim::detail;

std::optional<HRESULT> set_sensor_presence(size_t sensor, bool present) {
  auto& f = firmware();
  std::unique_lock<std::mutex> lock(f.mutex);
  firmware_at(f, sensor).present = present;
  const uint64_t ticket = ++f.tickets_issued;
  f.immediate_reports.push_back({sensor, ticket});
  f.changed.notify_all();
  f.changed.wait(lock, [&] { return f.answers.count(ticket) != 0; });
  const auto answer = f.answers[ticket];
  f.answers.erase(ticket);
  return answer;
}

bool sensor_presence(size_t sensor) {
  auto& f = firmware();
  std::lock_guard<std::mutex> lock(f.mutex);
  return firmware_at(f, sensor).present;
}

void set_sensor_report_interval(size_t sensor, DWORD interval_ms) {
  auto& f = firmware();
  std::lock_guard<std::mutex> lock(f.mutex);
  auto& s = firmware_at(f, sensor);
  s.interval = interval_of(interval_ms);
  s.next_report = clock::now() + s.interval;
  f.changed.notify_all();
}

void set_sensor_legacy(size_t sensor, bool legacy) {
  auto& f = firmware();
  std::lock_guard<std::mutex> lock(f.mutex);
  firmware_at(f, sensor).legacy = legacy;
}

size_t sensor_report_count(size_t sensor) {
  auto& f = firmware();
  std::lock_guard<std::mutex> lock(f.mutex);
  return firmware_at(f, sensor).reports;
}

}  // namespace winsim::machine
