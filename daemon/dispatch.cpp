#include "dispatch.h"

#include "activity_monitor.h"
#include "console_output.h"
#include "desktop_operations.h"
#include "dim_overlay.h"
#include "option_parser.h"

#include <windows.h>

#include <string>

namespace ostrel::daemon {
namespace {

constexpr char program_name[] = "ostrel_service_daemon";
constexpr char short_options[] = "x:z:mlsrkegd:tyab:cf";

constexpr auto none = argument_requirement::none;
constexpr auto required = argument_requirement::required;

const long_option long_options[] = {
    {"monitor_activity", none, nullptr, 'm'},
    {"lock_screen", none, nullptr, 'l'},
    {"stayin_alive", none, nullptr, 's'},
    {"remote_session", none, nullptr, 'r'},
    {"is_session_locked", none, nullptr, 'k'},
    {"has_external_display", none, nullptr, 'e'},
    {"get_brightness", none, nullptr, 'g'},
    {"set_brightness", required, nullptr, 'd'},
    {"turn_off_display", none, nullptr, 't'},
    {"system_required", none, nullptr, 'y'},
    {"away_mode", none, nullptr, 'a'},
    {"dim_and_lock", required, nullptr, 'z'},
    {"dim_and_display_off", required, nullptr, 'x'},
    {"dim_screen", required, nullptr, 'b'},
    {"brighten_screen", none, nullptr, 'c'},
    {"turn_off_display_and_lock", none, nullptr, 'f'},
    {nullptr, none, nullptr, 0},
};

constexpr int success = 0;
constexpr int failure = 1;
constexpr DWORD display_off_settle_ms = 200;

int exit_code(bool ok) { return ok ? success : failure; }

// Actions carried out when the options are exhausted; `value` is the
// brightness of the last d, z or x.
int monitor(int) { return monitor_activity(); }

int lock_screen(int) {
  LockWorkStation();
  return success;
}

int execution_state(EXECUTION_STATE flags) { return exit_code(SetThreadExecutionState(flags) != 0); }
int stay_alive(int) { return execution_state(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED); }
int system_required(int) { return execution_state(ES_SYSTEM_REQUIRED); }
int away_mode(int) { return execution_state(ES_CONTINUOUS | ES_AWAYMODE_REQUIRED); }

int remote_session(int) {
  const bool remote = is_remote_session();
  print_output(remote ? "Is remote\n" : "Is not remote\n");
  return exit_code(remote);
}

int session_locked(int) {
  const bool locked = is_session_locked();
  print_output(locked ? "Is locked\n" : "Is not locked\n");
  return exit_code(locked);
}

int external_display(int) {
  const bool external = physical_monitor_count() > 1;
  print_output(external ? "Has external display\n" : "No external display detected\n");
  return exit_code(external);
}

int print_brightness(int) {
  const int brightness = get_brightness();
  if (brightness < 0) return failure;
  print_output(std::to_string(brightness));
  return success;
}

int change_brightness(int value) { return exit_code(set_brightness(value)); }
int display_off(int) { return exit_code(turn_off_display()); }

// Results of the steps are not examined.
int dim_and_lock(int value) {
  turn_off_display();
  Sleep(display_off_settle_ms);
  set_brightness(value);
  LockWorkStation();
  return success;
}

int dim_and_display_off(int value) {
  turn_off_display();
  Sleep(display_off_settle_ms);
  set_brightness(value);
  return success;
}

int lock_then_display_off(int) {
  LockWorkStation();
  return exit_code(turn_off_display());
}

struct action {
  int option;
  int (*run)(int value);
};

const action actions[] = {
    {'m', monitor},
    {'l', lock_screen},
    {'s', stay_alive},
    {'r', remote_session},
    {'k', session_locked},
    {'e', external_display},
    {'g', print_brightness},
    {'d', change_brightness},
    {'t', display_off},
    {'y', system_required},
    {'a', away_mode},
    {'z', dim_and_lock},
    {'x', dim_and_display_off},
    {'f', lock_then_display_off},
};

const action* find_action(int option) {
  for (const auto& entry : actions) {
    if (entry.option == option) return &entry;
  }
  return nullptr;
}

bool takes_brightness(int option) { return option == 'd' || option == 'z' || option == 'x'; }

}  // namespace

int run(int argc, char** argv) {
  option_parser parser(argc, argv, short_options, long_options, program_name);
  const action* recorded = nullptr;
  int brightness = 0;
  for (int option = parser.next(); option != -1; option = parser.next()) {
    // The overlay and its early end act at once; the options go on after them.
    if (option == 'b') {
      show_dim_overlay(parser.argument());
      continue;
    }
    if (option == 'c') {
      brighten_screen();
      continue;
    }
    const action* found = find_action(option);
    if (found == nullptr) {
      print_output("Invalid input: " + std::to_string(option) + "\n");
      return failure;
    }
    if (takes_brightness(option)) {
      const int value = read_decimal(parser.argument());
      if (static_cast<unsigned>(value) > 100) {
        print_error("Brightness must be in range 0-100, got: " + std::to_string(value) + "\n");
        return failure;
      }
      brightness = value;
    }
    recorded = found;
  }
  return recorded != nullptr ? recorded->run(brightness) : success;
}

}  // namespace ostrel::daemon
