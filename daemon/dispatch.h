// The daemon's command line: which options it takes, which action each one
// records, and the one action carried out at the end.
#pragma once

namespace ostrel::daemon {

// Parses the options, carries out the last recorded action and returns the
// process exit code.
int run(int argc, char** argv);

}  // namespace ostrel::daemon
