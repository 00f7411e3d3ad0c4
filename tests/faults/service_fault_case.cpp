#include "service_fault_case.h"

#include "host/service_program.h"
#include "wait_for.h"

#include <winsim/machine.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;
using program_future = std::future<int>;

constexpr const char* user_settings_ac = "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\PluggedIn";
constexpr const char* system_settings_ac = "SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings\\PluggedIn";

// Generous bounds for each step of the leave: a failed call may slow a step
// (an engine retry takes 1 s) or leave it out; the bounds only decide how
// long the case waits before it goes on, never whether it passes.
constexpr auto start_bound = 20s;        // start-up, engine init, first START_SENSOR
constexpr auto leave_bound = 10s;        // the sensor's next reports reaching the sink
constexpr auto dim_bound = 15s;          // the 5 s dim time-out, then the overlay
constexpr auto display_off_bound = 15s;  // DimDuration 1 s, then the display
constexpr auto back_bound = 15s;         // input, START_MACHINE, the next START_SENSOR
// Children and threads end a moment after the program returns.
constexpr auto settle_bound = 2s;
// After a STOP that overran its limit: how long to wait before giving up.
constexpr auto abandon_bound = 10s;

// The shortest leave: dim 5 s after the user left, display off 1 s later.
void prepare_machine() {
  std::filesystem::create_directories(winsim::machine::host_path("C:\\Windows\\Temp"));
  winsim::machine::start_scm("NolvaneSvc");
  winsim::machine::set_registry_dword(user_settings_ac, "LockScreenTimeout", 0);
  winsim::machine::set_registry_dword(system_settings_ac, "DimDuration", 1);
  winsim::machine::add_sensor(winsim::machine::sensor_description{});
  winsim::machine::start_display_physics();
  winsim::machine::start_trace_session(0);
}

long thread_count() {
  return static_cast<long>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                         std::filesystem::directory_iterator()));
}

bool ended(const program_future& program, std::chrono::milliseconds timeout = 0ms) {
  return program.wait_for(timeout) == std::future_status::ready;
}

// Waits for `condition` while the service runs; false once it has ended.
template <typename Condition>
bool wait_while_running(const program_future& program, Condition condition, std::chrono::milliseconds bound) {
  return wait_for([&] { return condition() || ended(program); }, bound) && !ended(program) && condition();
}

bool overlay_shown() {
  const auto texts = winsim::machine::desktop_journal_texts();
  return std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
    return text.find("window_shown class=KeltDimOverlayWindow") != std::string::npos;
  });
}

bool detection_runs() {
  const auto statuses = winsim::machine::service_statuses();
  return winsim::machine::sensor_has_event_sink(0) &&
         std::any_of(statuses.begin(), statuses.end(),
                     [](const SERVICE_STATUS& s) { return s.dwCurrentState == SERVICE_RUNNING; });
}

bool activity_watched() {
  const auto runs = winsim::machine::processes();
  return std::any_of(runs.begin(), runs.end(), [](const winsim::machine::process_record& run) {
    return run.command_line.find("--monitor_activity") != std::string::npos;
  });
}

// The sensor reports at its interval, so a report the sink dropped before it
// marked the sensor READY comes again; the leave shows as the activity watch
// that a leave makes the service start.
void user_leaves(const program_future& program) {
  winsim::machine::set_sensor_presence(0, false);
  wait_while_running(program, activity_watched, leave_bound);
}

void walk_through_one_leave(const program_future& program, fault_report& report) {
  report.running = wait_while_running(program, detection_runs, start_bound);
  if (!report.running) return;
  user_leaves(program);
  report.dimmed = wait_while_running(program, overlay_shown, dim_bound);
  report.display_off = wait_while_running(program, [] { return !winsim::machine::display_on(); }, display_off_bound);
  if (!report.display_off) return;
  // The stopped machine suspends the sensor; only a service that did so
  // comes back when input turns the display on.
  const bool suspended =
      wait_while_running(program, [] { return !winsim::machine::sensor_has_event_sink(0); }, back_bound);
  // The user sits down again and touches the keyboard.
  winsim::machine::set_sensor_presence(0, true);
  winsim::machine::simulate_input();
  report.back = wait_while_running(
                    program, [] { return winsim::machine::display_on() && detection_runs(); }, back_bound) &&
                suspended;
}

void stop(const program_future& program, fault_report& report) {
  const auto sent = std::chrono::steady_clock::now();
  winsim::machine::send_control(SERVICE_CONTROL_STOP);
  report.stop_in_time = ended(program, std::chrono::milliseconds(stop_limit_ms));
  report.stop_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count());
}

void record_outcome(const fault_case& c, fault_report& report) {
  const auto statuses = winsim::machine::service_statuses();
  if (!statuses.empty()) {
    report.stopped_reported = statuses.back().dwCurrentState == SERVICE_STOPPED;
    report.exit_code = static_cast<long>(statuses.back().dwWin32ExitCode);
  }
  report.calls = winsim::machine::call_counts();
  const auto made = report.calls.find(c.function);
  report.fired = !c.function.empty() && made != report.calls.end() && made->second >= c.call;
  report.lines = winsim::machine::trace_messages();
  for (const auto& entry : winsim::machine::event_log()) {
    report.lines.push_back(entry.strings.size() > 1 ? entry.strings[1] : std::string());
  }
}

void count_leftovers(size_t handles_before, long threads_before, fault_report& report) {
  winsim::machine::wait_for_no_running_processes(static_cast<DWORD>(settle_bound.count() * 1000));
  report.children_left = static_cast<long>(winsim::machine::running_process_count());
  report.handles_left =
      static_cast<long>(winsim::machine::open_handle_count()) - static_cast<long>(handles_before);
  // A child that could not be terminated still runs, and winsim keeps a
  // thread in this process that waits for it (Windows has none): not the
  // service's thread.
  const auto service_threads_left = [&] {
    return thread_count() - threads_before - static_cast<long>(winsim::machine::running_process_count());
  };
  wait_for([&] { return service_threads_left() <= 0; }, settle_bound);
  report.threads_left = service_threads_left();
}

const std::pair<const char*, bool fault_report::*> flag_fields[] = {
    {"fired", &fault_report::fired},
    {"program_returned", &fault_report::program_returned},
    {"stopped_by_itself", &fault_report::stopped_by_itself},
    {"stop_in_time", &fault_report::stop_in_time},
    {"stopped_reported", &fault_report::stopped_reported},
    {"running", &fault_report::running},
    {"dimmed", &fault_report::dimmed},
    {"display_off", &fault_report::display_off},
    {"back", &fault_report::back},
};
const std::pair<const char*, long fault_report::*> number_fields[] = {
    {"program_result", &fault_report::program_result},
    {"stop_ms", &fault_report::stop_ms},
    {"exit_code", &fault_report::exit_code},
    {"handles_left", &fault_report::handles_left},
    {"threads_left", &fault_report::threads_left},
    {"children_left", &fault_report::children_left},
};

std::string escape(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\\') {
      out += "\\\\";
    } else {
      out += ch;
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

fault_report run_fault_case(const fault_case& c, const std::function<void(const fault_report&)>& abandon) {
  winsim::machine::scoped_machine machine;
  prepare_machine();
  const size_t handles_before = winsim::machine::open_handle_count();
  const long threads_before = thread_count();
  winsim::machine::clear_call_counts();
  if (!c.function.empty()) winsim::machine::fail_nth_call(c.function, c.call, c.error);

  fault_report report;
  auto program = std::async(std::launch::async, [] { return run_service_program(); });
  walk_through_one_leave(program, report);
  report.stopped_by_itself = ended(program);
  if (!report.stopped_by_itself) stop(program, report);
  if (!ended(program, abandon_bound)) {
    record_outcome(c, report);
    abandon(report);
  }
  report.program_returned = true;
  report.program_result = program.get();
  program = program_future();
  count_leftovers(handles_before, threads_before, report);
  record_outcome(c, report);
  winsim::machine::stop_trace_session();
  winsim::machine::stop_display_physics();
  winsim::machine::stop_scm();
  return report;
}

std::string serialize(const fault_report& r) {
  std::ostringstream out;
  for (const auto& [key, member] : flag_fields) out << key << "=" << (r.*member ? 1 : 0) << "\n";
  for (const auto& [key, member] : number_fields) out << key << "=" << r.*member << "\n";
  for (const auto& [function, count] : r.calls) out << "call." << function << "=" << count << "\n";
  for (const auto& line : r.lines) out << "line=" << escape(line) << "\n";
  return out.str();
}

fault_report parse_report(const std::string& text) {
  fault_report r;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "line") {
      r.lines.push_back(unescape(value));
    } else if (key.rfind("call.", 0) == 0) {
      r.calls[key.substr(5)] = static_cast<size_t>(std::stoul(value));
    }
    for (const auto& [name, member] : flag_fields) {
      if (key == name) r.*member = std::stol(value) != 0;
    }
    for (const auto& [name, member] : number_fields) {
      if (key == name) r.*member = std::stol(value);
    }
  }
  return r;
}

}  // namespace ostrel::test
