// The scenario format of nolvane_sim: one step per line, run in order.
//
//   # a comment; blank lines are skipped
//   [at <time>] <command>
//
// "at 2.5s" (or "at 300ms") runs the command that many seconds after the
// scenario began; without it a command runs right after the one before.
// Words are separated by blanks; "double quotes" keep blanks in one word.
// A key starting with "Nolvane\" means "SOFTWARE\Ostrel Works\Nolvane\".
//
// The presence sensor reports as the hardware does: every report carries the
// HID sensor state, the report kind and the presence; it reports once a
// second whether or not anything changed, and at once when the user comes
// or goes.
//
// Before start:
//   trace debug|info|error [tag...] level of the service's trace lines (default info); with
//                                   tags ("sm", "runner", ...) only their lines are shown,
//                                   expectations still see every line
//   sensor none                     no presence sensor (default: one, ready, somebody present)
//   firmware <number>               the firmware driver's answer (default: no driver)
// Any time:
//   registry <key> <name> dword <number>
//   registry <key> <name> string <text>
//   start                           the SCM starts the service
//   sensor add                      a presence sensor appears
//   sensor legacy                   the sensor reports presence only, without custom values
//   sensor interval <time>          the sensor reports this often ("0": only on a change)
//   user away | user present        the user leaves or comes back: the sensor reports it
//   input                           keyboard or mouse input
//   session lock|unlock|remote|local
//   power battery|mains             the charger is unplugged or plugged in
//   monitor attach|detach           an external monitor is plugged in or out
//   control stop                    the SCM sends STOP
//   wait <time>
//   expect trace <text>             a trace line containing <text> (waits up to 15 s);
//                                   after the line the previous "expect trace" matched
//   expect journal <text>           a desktop journal entry containing <text>, likewise
//   expect display on|off [within <time>]
//   expect overlay shown|gone [within <time>]
//                                   the dim overlay is up, or no overlay window is (one
//                                   that goes with its daemon's process counts as gone);
//                                   "within" waits that long instead of 15 s
//   expect status running|stopped [exit <number>]
//   expect registry <key> <name> <number or text>
#pragma once

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nolvane_sim {

struct step {
  int line = 0;              // 1-based line of the scenario file
  double at_seconds = -1.0;  // -1: right after the step before
  std::vector<std::string> words;  // the command and its words, the free text excluded
  std::string text;          // free text (expect trace/journal/registry, registry string)
  std::string source;        // the line as written, without its "at" part
};

class parse_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every step, checked; parse_error ("line N: ...") at the first bad line.
std::vector<step> parse_scenario(std::istream& in);
std::vector<step> load_scenario(const std::string& path);

// "2.5s", "300ms", "2" (seconds, less than 10^9); false when the text is not
// such a time.
bool parse_seconds(const std::string& text, double* seconds);

// The registry key a scenario names, relative to HKEY_LOCAL_MACHINE.
std::string registry_key(const std::string& key);

}  // namespace nolvane_sim
