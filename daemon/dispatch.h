// The daemon's command line: one table row per option (its long name,
// letter, argument, and the action it takes at once or records), and the one
// recorded action carried out at the end.
#pragma once

namespace ostrel::daemon {

// Parses the options, carries out the last recorded action and returns the
// process exit code.
int run(int argc, char** argv);

}  // namespace ostrel::daemon
