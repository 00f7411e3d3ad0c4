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
constexpr int success = 0;
constexpr int failure = 1;
constexpr DWORD display_off_settle_ms = 200;

int exit_code(bool ok) { return ok ? success : failure; }

// Actions carried out when the options are exhausted; `value` is the
// brightness of the last option that takes one.
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

// Taken at once, while the options are still being read.
void end_dim_overlay(const char*) { brighten_screen(); }

// One row per option. An option either acts at once (`now`; the options go
// on after it) or records the action carried out at the end (`at_end`; the
// last recorded one wins). A brightness argument is checked when it is read.
struct option_row {
  const char* name;
  char letter;
  argument_requirement argument;
  bool takes_brightness;
  void (*now)(const char* argument);
  int (*at_end)(int brightness);
};

constexpr auto none = argument_requirement::none;
constexpr auto required = argument_requirement::required;

constexpr option_row options[] = {
    {"monitor_activity", 'm', none, false, nullptr, monitor},
    {"lock_screen", 'l', none, false, nullptr, lock_screen},
    {"stayin_alive", 's', none, false, nullptr, stay_alive},
    {"remote_session", 'r', none, false, nullptr, remote_session},
    {"is_session_locked", 'k', none, false, nullptr, session_locked},
    {"has_external_display", 'e', none, false, nullptr, external_display},
    {"get_brightness", 'g', none, false, nullptr, print_brightness},
    {"set_brightness", 'd', required, true, nullptr, change_brightness},
    {"turn_off_display", 't', none, false, nullptr, display_off},
    {"system_required", 'y', none, false, nullptr, system_required},
    {"away_mode", 'a', none, false, nullptr, away_mode},
    {"dim_and_lock", 'z', required, true, nullptr, dim_and_lock},
    {"dim_and_display_off", 'x', required, true, nullptr, dim_and_display_off},
    {"dim_screen", 'b', required, false, show_dim_overlay, nullptr},
    {"brighten_screen", 'c', none, false, end_dim_overlay, nullptr},
    {"turn_off_display_and_lock", 'f', none, false, nullptr, lock_then_display_off},
};
constexpr size_t option_count = sizeof options / sizeof options[0];

// The parser's letter string: each letter, ':' after one with an argument.
struct letter_string {
  char text[2 * option_count + 1] = {};
};

constexpr letter_string short_options() {
  letter_string letters;
  size_t length = 0;
  for (const option_row& row : options) {
    letters.text[length++] = row.letter;
    if (row.argument == required) letters.text[length++] = ':';
  }
  return letters;
}

// The parser's long-option table, ended by a null name.
struct long_option_table {
  long_option entries[option_count + 1] = {};
};

constexpr long_option_table long_options() {
  long_option_table table;
  for (size_t i = 0; i < option_count; ++i) {
    table.entries[i] = {options[i].name, options[i].argument, nullptr, options[i].letter};
  }
  table.entries[option_count] = {nullptr, none, nullptr, 0};
  return table;
}

const option_row* find_option(int letter) {
  for (const option_row& row : options) {
    if (row.letter == letter) return &row;
  }
  return nullptr;
}

}  // namespace

int run(int argc, char** argv) {
  static constexpr letter_string letters = short_options();
  static constexpr long_option_table long_table = long_options();
  option_parser parser(argc, argv, letters.text, long_table.entries, program_name);
  const option_row* recorded = nullptr;
  int brightness = 0;
  for (int option = parser.next(); option != -1; option = parser.next()) {
    const option_row* found = find_option(option);
    if (found == nullptr) {
      print_output("Invalid input: " + std::to_string(option) + "\n");
      return failure;
    }
    if (found->now != nullptr) {
      found->now(parser.argument());
      continue;
    }
    if (found->takes_brightness) {
      const int value = read_decimal(parser.argument());
      if (static_cast<unsigned>(value) > 100) {
        print_error("Brightness must be in range 0-100, got: " + std::to_string(value) + "\n");
        return failure;
      }
      brightness = value;
    }
    recorded = found;
  }
  return recorded != nullptr ? recorded->at_end(brightness) : success;
}

}  // namespace ostrel::daemon
