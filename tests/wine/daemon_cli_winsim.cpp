// The simulated desktop set up as Wine's looks to the daemon.
#include "daemon_cli_desktop.h"

#include <winsim/machine.h>

#include <memory>

namespace daemon_cli {
namespace {

constexpr DWORD not_implemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED

std::unique_ptr<winsim::machine::scoped_machine> machine;

}  // namespace

void set_up_desktop() {
  machine = std::make_unique<winsim::machine::scoped_machine>();
  winsim::machine::remove_lcd();
  winsim::machine::fail_desktop_call("WTSQuerySessionInformationW", not_implemented);
  winsim::machine::fail_desktop_call("LockWorkStation", not_implemented);
  winsim::machine::fail_desktop_call("GetNumberOfPhysicalMonitorsFromHMONITOR", not_implemented);
}

void tear_down_desktop() { machine.reset(); }

void give_input() { winsim::machine::simulate_input(); }

}  // namespace daemon_cli
