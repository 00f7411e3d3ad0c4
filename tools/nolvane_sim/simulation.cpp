#include "simulation.h"

#include <winsim/machine.h>

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <thread>

namespace nolvane_sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds expect_timeout(15000);
constexpr milliseconds stop_timeout(30000);
constexpr milliseconds poll_interval(10);

const char* state_name(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "SERVICE_STOPPED";
    case SERVICE_START_PENDING: return "SERVICE_START_PENDING";
    case SERVICE_STOP_PENDING: return "SERVICE_STOP_PENDING";
    case SERVICE_RUNNING: return "SERVICE_RUNNING";
    case SERVICE_CONTINUE_PENDING: return "SERVICE_CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "SERVICE_PAUSE_PENDING";
    case SERVICE_PAUSED: return "SERVICE_PAUSED";
    default: return "unknown state";
  }
}

std::string without_newlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

// The first text at or after `*cursor` that contains `part`; moves the cursor past it.
bool find_from(const std::vector<std::string>& texts, const std::string& part, size_t* cursor) {
  for (size_t i = *cursor; i < texts.size(); ++i) {
    if (texts[i].find(part) != std::string::npos) {
      *cursor = i + 1;
      return true;
    }
  }
  return false;
}

std::string hex(DWORD value) {
  std::ostringstream text;
  text << "0x" << std::hex << std::uppercase << value;
  return text.str();
}

UCHAR etw_level(const std::string& name) {
  if (name == "debug") return trace_level_debug;
  if (name == "error") return trace_level_error;
  return trace_level_info;
}

session_change session_change_named(const std::string& name) {
  if (name == "lock") return session_change::lock;
  if (name == "unlock") return session_change::unlock;
  if (name == "remote") return session_change::remote;
  return session_change::local;
}

void report_delivery(const winsim::machine::control_result& result, std::string* note) {
  if (!result.delivered) *note = "not delivered (error " + std::to_string(result.error) + ")";
}

// The command line as the child got it, its program by file name only.
std::string command_text(const winsim::machine::process_record& p) {
  std::string text;
  for (const auto& argument : p.arguments) {
    const size_t slash = argument.find_last_of("/\\");
    text += (text.empty() && slash != std::string::npos ? argument.substr(slash + 1) : argument) + " ";
  }
  return without_newlines(text);
}

// What the run was for: its arguments ("--dim_screen 5500").
std::string option_text(const winsim::machine::process_record& p) {
  std::string text;
  for (size_t i = 1; i < p.arguments.size(); ++i) text += (text.empty() ? "" : " ") + p.arguments[i];
  return text;
}

// How long an expectation may take to come true: its "within <time>", or
// the usual 15 s.
milliseconds patience(const step& s) {
  const auto& w = s.words;
  double seconds = 0;
  if (w.size() == 5 && w[3] == "within" && parse_seconds(w[4], &seconds)) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::duration<double>(seconds));
  }
  return expect_timeout;
}

steady_clock::time_point journal_time(unsigned long long time_us) {
  return steady_clock::time_point(std::chrono::duration_cast<steady_clock::duration>(std::chrono::microseconds(time_us)));
}

}  // namespace

simulation::simulation(std::ostream& out) : out_(out), begin_(steady_clock::now()) {}

simulation::~simulation() { finish(); }

int simulation::run(const std::vector<step>& steps) {
  for (const auto& s : steps) {
    if (s.at_seconds >= 0) {
      show_until(begin_ + std::chrono::duration_cast<steady_clock::duration>(
                              std::chrono::duration<double>(s.at_seconds)));
    }
    show_news();
    print("step", s.source);
    if (s.words[0] == "expect") {
      if (!expect(s)) {
        ++failures_;
        print("FAILED", "line " + std::to_string(s.line) + ": " + s.source);
        break;
      }
      continue;
    }
    execute(s);
    show_news();
  }
  if (!finish()) ++failures_;
  show_news();
  timeline_.finish(now());
  out_ << (failures_ == 0 ? "scenario passed" : "scenario FAILED") << std::endl;
  return failures_ == 0 ? 0 : 1;
}

void simulation::execute(const step& s) {
  const auto& w = s.words;
  const std::string& command = w[0];
  std::string note;
  if (command == "start") {
    if (!laptop_.start_service(trace_level_)) note = "the service was started already";
    timeline_.set(lane::presence, now(),
                  !laptop_.has_sensor() ? "no sensor" : winsim::machine::sensor_presence(0) ? "present" : "away");
  } else if (command == "trace") {
    trace_level_ = etw_level(w[1]);
    trace_tags_.assign(w.begin() + 2, w.end());
    if (laptop_.service_started()) note = "takes effect only before start";
  } else if (command == "sensor") {
    sensor_command(s, &note);
  } else if (command == "firmware") {
    winsim::machine::set_firmware_driver_answer(static_cast<DWORD>(std::stoul(w[1], nullptr, 0)));
  } else if (command == "registry") {
    const std::string key = registry_key(w[1]);
    if (w[3] == "dword") {
      winsim::machine::set_registry_dword(key, w[2], static_cast<DWORD>(std::stoll(w[4], nullptr, 0)));
    } else {
      winsim::machine::set_registry_string(key, w[2], s.text);
    }
  } else if (command == "user") {
    if (!laptop_.has_sensor()) {
      note = "there is no presence sensor";
    } else {
      timeline_.set(lane::presence, now(), w[1] == "present" ? "present" : "away");
      if (!laptop_.user_present(w[1] == "present")) note = "nobody listens to the sensor";
    }
  } else if (command == "input") {
    timeline_.mark(lane::input, now(), "input");
    laptop_.input();
  } else if (command == "session") {
    report_delivery(laptop_.session(session_change_named(w[1])), &note);
  } else if (command == "power") {
    report_delivery(laptop_.power(w[1] == "mains"), &note);
  } else if (command == "monitor") {
    laptop_.external_monitor(w[1] == "attach");
  } else if (command == "control") {
    report_delivery(laptop_.send_stop(), &note);
  } else if (command == "wait") {
    double seconds = 0;
    parse_seconds(w[1], &seconds);
    show_until(steady_clock::now() +
               std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(seconds)));
  }
  if (!note.empty()) print("note", note);
}

void simulation::sensor_command(const step& s, std::string* note) {
  const std::string& what = s.words[1];
  if (what == "none") {
    laptop_.without_sensor_at_start();
    if (laptop_.service_started()) *note = "takes effect only before start";
  } else if (what == "add") {
    laptop_.add_sensor();
    timeline_.set(lane::presence, now(), winsim::machine::sensor_presence(0) ? "present" : "away");
  } else if (what == "legacy") {
    laptop_.sensor_legacy();
  } else {  // interval
    double seconds = 0;
    parse_seconds(s.words[2], &seconds);
    laptop_.sensor_interval(static_cast<DWORD>(seconds * 1000.0 + 0.5));
  }
}

bool simulation::expect(const step& s) {
  const auto& w = s.words;
  const std::string& what = w[1];
  std::function<bool()> holds;
  if (what == "trace") {
    holds = [&] { return log_.find(s.text, &trace_cursor_); };
  } else if (what == "journal") {
    holds = [&] { return find_from(journal_, s.text, &journal_cursor_); };
  } else if (what == "display") {
    const bool on = w[2] == "on";
    holds = [on] { return winsim::machine::display_on() == on; };
  } else if (what == "overlay") {
    // show_news has read the journal just before.
    const bool shown = w[2] == "shown";
    holds = [this, shown] { return overlay_.shown() == shown; };
  } else if (what == "status") {
    const DWORD state = w[2] == "running" ? SERVICE_RUNNING : SERVICE_STOPPED;
    const bool check_exit = w.size() == 5;
    const DWORD exit_code = check_exit ? static_cast<DWORD>(std::stoul(w[4], nullptr, 0)) : 0;
    holds = [this, state, check_exit, exit_code] {
      const auto statuses = winsim::machine::service_statuses();
      if (statuses.empty() || statuses.back().dwCurrentState != state) return false;
      if (state == SERVICE_STOPPED && !laptop_.service_ended()) return false;
      return !check_exit || statuses.back().dwWin32ExitCode == exit_code;
    };
  } else {  // registry
    const std::string key = registry_key(w[2]);
    holds = [&s, key] {
      const std::string& name = s.words[3];
      if (const auto text = winsim::machine::registry_string(key, name)) return *text == s.text;
      const auto value = winsim::machine::registry_dword(key, name);
      try {
        return value && *value == static_cast<DWORD>(std::stoll(s.text, nullptr, 0));
      } catch (const std::exception&) {
        return false;
      }
    };
  }
  const auto started = steady_clock::now();
  const std::string text = "line " + std::to_string(s.line) + ": " + s.source;
  if (!show_until(holds, patience(s))) {
    timeline_.expect(now(), text, false);
    return false;
  }
  timeline_.expect(now(), text, true);
  std::ostringstream took;
  took << std::fixed << std::setprecision(3)
       << std::chrono::duration<double>(steady_clock::now() - started).count() << " s";
  print("ok", "after " + took.str());
  return true;
}

bool simulation::finish() {
  if (!laptop_.service_started()) return true;
  if (!laptop_.service_ended()) print("step", "control stop (end of scenario)");
  auto result = laptop_.stop_service(stop_timeout, [this] { show_news(); });
  const bool ended = result.has_value();
  if (!ended) {
    print("FAILED", "the service did not stop; waiting for it");
    result = laptop_.stop_service(std::chrono::hours(24));
    if (!result) return false;
  }
  show_news();
  print("program", std::string("StartServiceCtrlDispatcherA returned ") + (*result == 0 ? "TRUE" : "FALSE"));
  return ended && *result == 0;
}

bool simulation::show_until(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    show_news();
    if (done()) return true;
    if (steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll_interval);
  }
}

void simulation::show_until(steady_clock::time_point deadline) {
  while (steady_clock::now() < deadline) {
    show_news();
    std::this_thread::sleep_for(std::min<steady_clock::duration>(poll_interval, deadline - steady_clock::now()));
  }
  show_news();
}

void simulation::show_news() {
  show_traces();

  const auto statuses = winsim::machine::service_statuses();
  for (; statuses_shown_ < statuses.size(); ++statuses_shown_) {
    const SERVICE_STATUS& s = statuses[statuses_shown_];
    print("scm", std::string(state_name(s.dwCurrentState)) + "  controls " + hex(s.dwControlsAccepted) +
                     "  exit code " + std::to_string(s.dwWin32ExitCode) + "  checkpoint " +
                     std::to_string(s.dwCheckPoint));
    if (s.dwCurrentState == SERVICE_STOPPED) {
      timeline_.set(lane::state, now(), "");
      timeline_.set(lane::substate, now(), "");
    }
  }

  const auto log = winsim::machine::event_log();
  for (; event_log_shown_ < log.size(); ++event_log_shown_) {
    const auto& strings = log[event_log_shown_].strings;
    print("eventlog", without_newlines(strings.size() > 1 ? strings[1] : std::string()));
  }

  show_processes();
  show_journal();
  show_desktop_state();
}

void simulation::show_traces() {
  log_.update();
  const auto& traces = log_.lines();
  for (; traces_shown_ < traces.size(); ++traces_shown_) {
    const std::string& line = traces[traces_shown_];
    if (const auto state = state_of_line(line)) {
      const double at = since_begin(log_.times()[traces_shown_]);
      timeline_.set(lane::state, at, state->state);
      timeline_.set(lane::substate, at, state->substate);
    }
    const bool shown = trace_tags_.empty() || std::any_of(trace_tags_.begin(), trace_tags_.end(), [&](const auto& t) {
                         return line.compare(0, t.size() + 2, "[" + t + "]") == 0;
                       });
    if (shown) print("trace", without_newlines(line));
  }
}

void simulation::show_processes() {
  for (const auto& p : winsim::machine::processes()) {
    const std::string text = command_text(p);
    if (p.start_order > last_start_shown_) {
      last_start_shown_ = p.start_order;
      print("process", text);
      timeline_.run_started(since_begin(p.started_at), option_text(p));
    }
    if (!p.running && ends_shown_.insert(p.start_order).second) {
      const std::string ending = p.terminated ? "terminated" : "exit " + std::to_string(p.exit_code);
      print("ended", text + ": " + (p.terminated ? "terminated" : "exit code " + std::to_string(p.exit_code)));
      timeline_.run_ended(since_begin(p.started_at), option_text(p), since_begin(p.ended_at), ending);
    }
  }
}

void simulation::show_journal() {
  const auto entries = journal_reader_.take();
  for (const auto& e : entries) {
    print("desktop", e.text);
    journal_.push_back(e.text);
  }
  for (const auto& change : overlay_.update(entries)) {
    timeline_.set(lane::overlay, since_begin(journal_time(change.time_us)), overlay_.shown() ? "shown" : "");
  }
}

void simulation::show_desktop_state() {
  const bool on = winsim::machine::display_on();
  if (on != display_on_) {
    display_on_ = on;
    print("display", on ? "on" : "off");
  }
  timeline_.set(lane::display, now(), on ? "on" : "off");
  const bool locked = winsim::machine::session_locked();
  const bool remote = winsim::machine::remote_session();
  timeline_.set(lane::session, now(), remote ? (locked ? "remote, locked" : "remote") : (locked ? "locked" : "unlocked"));
  timeline_.set(lane::power, now(), winsim::machine::ac_line_status() == AC_LINE_OFFLINE ? "battery" : "mains");
}

double simulation::since_begin(steady_clock::time_point at) const {
  return std::max(0.0, std::chrono::duration<double>(at - begin_).count());
}

void simulation::print(const std::string& source, const std::string& text) {
  const double elapsed = std::chrono::duration<double>(steady_clock::now() - begin_).count();
  out_ << std::fixed << std::setprecision(3) << std::setw(8) << elapsed << "  " << std::left << std::setw(9)
       << source << std::right << text << std::endl;
}

}  // namespace nolvane_sim
