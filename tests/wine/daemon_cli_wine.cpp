// Under Wine the desktop is Wine's own; input is given as a user would.
#include "daemon_cli_desktop.h"

#include <windows.h>

namespace daemon_cli {

void set_up_desktop() {}
void tear_down_desktop() {}

void give_input() {
  INPUT move{};
  move.type = INPUT_MOUSE;
  move.mi.dx = 1;
  move.mi.dy = 1;
  move.mi.dwFlags = MOUSEEVENTF_MOVE;
  SendInput(1, &move, sizeof move);
}

}  // namespace daemon_cli
