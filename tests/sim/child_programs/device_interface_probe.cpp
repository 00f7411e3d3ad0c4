// Runs the device interface's daemon lookup inside a child process, so a
// test can place it in any directory: prints where it looks for the daemon,
// the command line it composes, and runs that command once.
#include "device/session_commands.h"

#include <cstdio>

int main() {
  std::printf("directory=%s\n", ostrel::daemon_directory().c_str());
  ostrel::stayin_alive command;
  std::printf("command=%s\n", command.command_line().c_str());
  const bool ran = command.execute();
  std::printf("ran=%d exit=%u\n", ran ? 1 : 0, static_cast<unsigned>(command.exit_code()));
  return 0;
}
