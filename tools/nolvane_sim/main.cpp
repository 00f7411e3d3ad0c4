// nolvane_sim <scenario file>: runs nolvane_service on a fresh simulated
// laptop, steps through the scenario and shows what the service does.
// Exit code 0 when every expectation held, 1 when one failed, 2 when the
// scenario or the set-up is wrong.
#include "host/service_program.h"
#include "scenario.h"
#include "simulation.h"

#include <winsim/machine.h>

#include <filesystem>
#include <iostream>

namespace {

namespace fs = std::filesystem;

// The service looks for the daemon in its program's directory; in here that
// is this program's.
bool daemon_beside_this_program() {
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return false;
  const fs::path daemon = fs::path(path).parent_path() / "ostrel_service_daemon";
  if (fs::exists(daemon)) return true;
  std::cerr << "nolvane_sim: " << daemon.string() << " is missing; build the nolvane_sim target, "
            << "which places the daemon beside it\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: nolvane_sim <scenario file>\n";
    return 2;
  }
  std::vector<nolvane_sim::step> steps;
  try {
    steps = nolvane_sim::load_scenario(argv[1]);
  } catch (const nolvane_sim::parse_error& e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 2;
  }
  if (!daemon_beside_this_program()) return 2;

  winsim::machine::scoped_machine machine;
  // A Windows installation has its temporary directory, the service's
  // default OutputDirectory.
  fs::create_directories(winsim::machine::host_path("C:\\Windows\\Temp"));
  std::cout << "nolvane_sim: " << argv[1] << " on a simulated laptop in " << machine.path() << std::endl;

  nolvane_sim::simulation simulation(std::cout, [] { return ostrel::run_service_program(); });
  return simulation.run(steps);
}
