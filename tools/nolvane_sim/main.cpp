// nolvane_sim <scenario file>: runs nolvane_service on a fresh simulated
// laptop, steps through the scenario and shows what the service does.
// Exit code 0 when every expectation held, 1 when one failed, 2 when the
// scenario or the set-up is wrong.
#include "laptop.h"
#include "scenario.h"
#include "simulation.h"

#include <winsim/machine.h>

#include <iostream>

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
  if (!nolvane_sim::daemon_beside_this_program("nolvane_sim")) return 2;

  winsim::machine::scoped_machine machine;
  std::cout << "nolvane_sim: " << argv[1] << " on a simulated laptop in " << machine.path() << std::endl;
  nolvane_sim::simulation simulation(std::cout);
  return simulation.run(steps);
}
