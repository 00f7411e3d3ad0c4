// nolvane_user_latency: what a person at the laptop feels, measured on the
// simulated laptop with the real service and the daemon as child
// processes: how soon the dark overlay goes when they come back or touch
// the keyboard, how exactly the screen dims after they leave, how soon the
// sensor rests once the display is off, what a daemon query costs through
// the service's runner, what the service costs while they work, and whether
// its memory grows over many cycles of use. Prints one table; exit code 0
// when every goal holds (or goals are not judged), 1 when one misses, 2 when
// the run itself failed.
#include "cycles.h"
#include "idle_cost.h"
#include "laptop.h"
#include "resources.h"
#include "runner_ratio.h"
#include "service_log.h"
#include "table.h"
#include "user_cycles.h"
#include "wake_probe.h"

#include <winsim/machine.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>

namespace {

using namespace user_latency;
using nolvane_sim::cycle_kind;
using std::chrono::milliseconds;

constexpr milliseconds step_timeout(15000);
// Longer than the service's slowest period (the 2 s pause-condition poll).
constexpr milliseconds rest_window(2500);
constexpr size_t warm_up_cycles = 10;
// Often enough for thousands of samples over the leaves, rarely enough to
// cost nothing.
constexpr milliseconds wake_probe_period(50);

// LockScreenTimeout 0 and DimDuration 60 s: the screen dims after the
// shortest wait there is, (max(0, 60 + 5) - 60) s = 5 s, and would stay dim
// for a minute, far longer than any cycle keeps the user away.
constexpr DWORD lock_screen_timeout_s = 0;
constexpr DWORD dim_duration_s = 60;
constexpr milliseconds time_to_dim(5000);

constexpr double overlay_gone_goal_ms = 30;
constexpr double dim_lateness_goal_ms = 2;
constexpr double runner_ratio_goal = 1.2;
constexpr double idle_cpu_goal_s = 0.1;
constexpr long memory_growth_goal_kib = 256;

// Cycles of use for the memory check: the soak's mix without its restarts.
constexpr std::array<cycle_kind, 6> rotation{cycle_kind::away_and_back, cycle_kind::input_while_away,
                                             cycle_kind::lock_and_unlock, cycle_kind::remote_session,
                                             cycle_kind::charger,         cycle_kind::settings_change};

struct options {
  int returns = 200;
  int inputs = 100;
  int display_offs = 200;
  int cycles = 1000;
  int runner_runs = 200;
  int idle_seconds = 60;
  bool judge = true;
};

bool parse(int argc, char** argv, options* o) {
  const std::map<std::string, int*> counts{{"--returns", &o->returns},         {"--inputs", &o->inputs},
                                           {"--display-offs", &o->display_offs}, {"--cycles", &o->cycles},
                                           {"--runner-runs", &o->runner_runs},   {"--idle-seconds", &o->idle_seconds}};
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--no-goals") {
      o->judge = false;
      continue;
    }
    const auto it = counts.find(word);
    if (it == counts.end() || i + 1 >= argc) return false;
    char* end = nullptr;
    const long value = std::strtol(argv[++i], &end, 10);
    if (*end != '\0' || value < 1 || value > 100000) return false;
    *it->second = static_cast<int>(value);
  }
  return true;
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string kib(size_t value) { return std::to_string(value) + " KiB"; }

struct memory {
  nolvane_sim::resources start, warm, after_cycles, end;
};

// A failure of the run itself, with what the service last said.
int run_failed(const std::string& what, const nolvane_sim::service_log& log) {
  std::cout << "the run FAILED: " << what << "\nthe service's last lines:\n";
  const auto& lines = log.lines();
  for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i) std::cout << "  " << lines[i];
  std::cout << std::flush;
  return 2;
}

void progress(const std::string& text) { std::cerr << "nolvane_user_latency: " << text << std::endl; }

std::string run_rotation(nolvane_sim::cycle_runner& runner, nolvane_sim::service_log& log, int cycles) {
  for (int n = 1; n <= cycles; ++n) {
    const std::string failure = runner.run(rotation[static_cast<size_t>(n) % rotation.size()]);
    if (!failure.empty()) return "cycle " + std::to_string(n) + ": " + failure;
    log.forget();
    winsim::machine::forget_ended_processes();
    winsim::machine::clear_event_log();
    if (n % 100 == 0) progress(std::to_string(n) + " cycles of use");
  }
  return {};
}

// The returns and the touches spread evenly over the leaves.
std::string run_leaves(user_cycles& user, const options& o) {
  const int leaves = o.returns + o.inputs;
  int touched = 0;
  for (int i = 0; i < leaves; ++i) {
    const bool touch_first = static_cast<long>(touched) * leaves < static_cast<long>(o.inputs) * (i + 1);
    touched += touch_first ? 1 : 0;
    const std::string failure = user.leave(touch_first);
    if (!failure.empty()) return "leave " + std::to_string(i + 1) + ": " + failure;
    if ((i + 1) % 20 == 0) progress(std::to_string(i + 1) + " of " + std::to_string(leaves) + " leaves");
  }
  return {};
}

std::string run_display_offs(user_cycles& user, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string failure = user.display_off_and_on();
    if (!failure.empty()) return "display off " + std::to_string(i + 1) + ": " + failure;
  }
  return {};
}

void fill_table(table& t, const user_measurements& m, const std::vector<double>& wake_lateness,
                const runner_round_trips& trips, const idle_cost& idle, const memory& mem, int cycles) {
  t.add_p99("presence report during DIMMING → overlay gone", summarize(m.return_to_gone), overlay_gone_goal_ms);
  t.add_p99("input during DIMMING → overlay gone", summarize(m.input_to_gone), overlay_gone_goal_ms);
  t.add("  of which: input → the activity monitor's end (it polls every 100 ms)", describe(summarize(m.input_to_seen)));
  t.add("  of which: the activity monitor's end → overlay gone", describe(summarize(m.input_seen_to_gone)));
  t.add_p99("dim lateness: overlay shown − (away report + " + std::to_string(time_to_dim.count()) + " ms)",
            summarize(m.dim_lateness), dim_lateness_goal_ms);
  t.add("  of which: the dim time-out taken by the state machine", describe(summarize(m.dim_event_lateness)));
  t.add("  of which: DIMMING entry until the overlay's daemon starts", describe(summarize(m.dimming_entry)));
  t.add("    when a pause poll's external-display query came first", describe(summarize(m.dimming_entry_behind_poll)));
  t.add("    when it was not", describe(summarize(m.dimming_entry_alone)));
  t.add("    the time-out taken → the entry's external-display query starts", describe(summarize(m.entry_to_query)));
  t.add("    the query's daemon run", describe(summarize(m.query_run)));
  t.add("    the query's end → the overlay's daemon starts", describe(summarize(m.query_to_overlay)));
  t.add("  of which: the overlay's daemon start → window shown", describe(summarize(m.overlay_start)));
  t.add("the machine meanwhile: a sleeping thread's lateness at its deadline", describe(summarize(wake_lateness)));
  t.add("display-off notification → engine suspended", describe(summarize(m.display_off_to_suspended)));

  const summary runner = summarize(trips.runner_ms);
  const summary bare = summarize(trips.bare_ms);
  t.add("daemon query --has_external_display through the runner", describe(runner));
  t.add("the same command by posix_spawn + waitpid", describe(bare));
  const double ratio = bare.median_ms > 0 ? runner.median_ms / bare.median_ms : 0;
  t.add("runner round trip ÷ bare daemon start (medians)", fixed(ratio, 2), "≤ " + fixed(runner_ratio_goal, 1),
        bare.count > 0 && ratio <= runner_ratio_goal);

  const std::string per_minute = " s per minute";
  t.add("service CPU at rest, user present (no children, no simulator threads)", fixed(idle.service_cpu_s, 3) + per_minute,
        "≤ " + fixed(idle_cpu_goal_s, 1) + per_minute, idle.service_cpu_s <= idle_cpu_goal_s);
  t.add("  the simulator's own threads meanwhile (display physics, reapers)", fixed(idle.simulation_cpu_s, 3) + per_minute);
  t.add("  the benchmark driver meanwhile", fixed(idle.driver_cpu_s, 3) + per_minute);
  t.add("daemon children at rest", fixed(idle.children, 1) + " per minute, " + fixed(idle.children_cpu_s, 3) +
                                       " s CPU per minute");

  t.add("resident memory: service settled / after " + std::to_string(warm_up_cycles) + " warm-up cycles",
        kib(mem.start.resident_kib) + " / " + kib(mem.warm.resident_kib));
  const auto grown = [&](size_t nolvane_sim::resources::*field) {
    return std::to_string(static_cast<long>(mem.after_cycles.*field) - static_cast<long>(mem.warm.*field));
  };
  const long growth = static_cast<long>(mem.after_cycles.resident_kib) - static_cast<long>(mem.warm.resident_kib);
  t.add("resident memory growth over " + std::to_string(cycles) + " cycles",
        std::to_string(growth) + " KiB (" + kib(mem.after_cycles.resident_kib) + "; own pages " +
            grown(&nolvane_sim::resources::resident_anon_kib) + " KiB, program and library pages " +
            grown(&nolvane_sim::resources::resident_file_kib) + " KiB; heap in use " + kib(mem.warm.heap_in_use_kib) +
            " → " + kib(mem.after_cycles.heap_in_use_kib) + ")",
        "≤ " + std::to_string(memory_growth_goal_kib) + " KiB", growth <= memory_growth_goal_kib);
  t.add("resident memory at the end", kib(mem.end.resident_kib));
}

int run(const options& o) {
  winsim::machine::scoped_machine machine;
  std::cout << "nolvane_user_latency: " << o.returns << " returns and " << o.inputs << " touches while the screen dims, "
            << o.display_offs << " display-offs, " << o.cycles << " cycles of use, " << o.runner_runs
            << " runner round trips, " << o.idle_seconds << " s at rest\n"
            << "load average at start: " << load_average() << std::endl;
  // As in the soak: a sensor that has been seen to work.
  winsim::machine::set_registry_dword("SOFTWARE\\Ostrel Works\\Nolvane\\ServiceStatus", "DeviceCompatibility", 1);
  winsim::machine::set_registry_dword("SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\PluggedIn", "LockScreenTimeout",
                                      lock_screen_timeout_s);
  winsim::machine::set_registry_dword("SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings\\PluggedIn", "DimDuration",
                                      dim_duration_s);

  nolvane_sim::laptop laptop;
  nolvane_sim::service_log log;
  nolvane_sim::cycle_runner runner(laptop, log, step_timeout);
  if (const std::string failure = runner.start(); !failure.empty()) return run_failed("start: " + failure, log);
  memory mem;
  mem.start = nolvane_sim::measure_at_rest(rest_window);
  if (const std::string failure = run_rotation(runner, log, warm_up_cycles); !failure.empty()) {
    return run_failed(failure, log);
  }
  mem.warm = nolvane_sim::measure_at_rest(rest_window);

  progress("at rest for " + std::to_string(o.idle_seconds) + " s");
  log.update();
  log.forget();
  const idle_cost idle = measure_idle(std::chrono::seconds(o.idle_seconds));
  log.update();
  log.forget();
  winsim::machine::forget_ended_processes();

  progress(std::to_string(o.cycles) + " cycles of use");
  if (const std::string failure = run_rotation(runner, log, o.cycles); !failure.empty()) return run_failed(failure, log);
  mem.after_cycles = nolvane_sim::measure_at_rest(rest_window);

  user_cycles user(laptop, log, time_to_dim, step_timeout);
  progress(std::to_string(o.returns + o.inputs) + " leaves");
  wake_probe probe(wake_probe_period);
  if (const std::string failure = run_leaves(user, o); !failure.empty()) return run_failed(failure, log);
  const std::vector<double> wake_lateness = probe.finish();
  progress(std::to_string(o.display_offs) + " display-offs");
  if (const std::string failure = run_display_offs(user, o.display_offs); !failure.empty()) {
    return run_failed(failure, log);
  }
  progress(std::to_string(o.runner_runs) + " runner round trips");
  const runner_round_trips trips = measure_runner_round_trips(o.runner_runs);
  if (!trips.failure.empty()) return run_failed(trips.failure, log);
  mem.end = nolvane_sim::measure_at_rest(rest_window);

  const auto stopped = laptop.stop_service(step_timeout);
  if (stopped != 0) return run_failed("the service did not stop with result 0", log);

  table t(o.judge);
  fill_table(t, user.measured(), wake_lateness, trips, idle, mem, o.cycles);
  std::cout << "load average at the end: " << load_average() << "\n\n";
  t.print(std::cout);
  std::cout << std::flush;
  return t.all_hold() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    std::cerr << "usage: nolvane_user_latency [--returns N] [--inputs N] [--display-offs N] [--cycles N]\n"
                 "                            [--runner-runs N] [--idle-seconds N] [--no-goals]\n";
    return 2;
  }
  if (!nolvane_sim::daemon_beside_this_program("nolvane_user_latency")) return 2;
  return run(o);
}
