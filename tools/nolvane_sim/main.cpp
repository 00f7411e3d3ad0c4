// nolvane_sim [--timeline FILE.svg] <scenario file>: runs nolvane_service on
// a fresh simulated laptop, steps through the scenario and shows what the
// service does; with --timeline it also draws the run as a picture.
// Exit code 0 when every expectation held, 1 when one failed, 2 when the
// scenario or the set-up is wrong.
#include "laptop.h"
#include "scenario.h"
#include "simulation.h"
#include "timeline_svg.h"

#include <winsim/machine.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

struct arguments {
  std::string scenario;
  std::string timeline;  // empty: no picture
};

bool parse_arguments(int argc, char** argv, arguments* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--timeline" && i + 1 < argc) {
      a->timeline = argv[++i];
    } else if (a->scenario.empty() && word.rfind("--", 0) != 0) {
      a->scenario = word;
    } else {
      return false;
    }
  }
  return !a->scenario.empty();
}

// Written whole or not at all, so that a failed write never leaves a
// picture that looks complete.
bool write_timeline(const nolvane_sim::timeline& t, const std::string& scenario, const std::string& path) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    nolvane_sim::write_svg(t, std::filesystem::path(scenario).filename().string(), out);
    out.flush();
    if (!out) {
      std::cerr << "nolvane_sim: cannot write " << partial << "\n";
      std::remove(partial.c_str());
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) {
    std::cerr << "nolvane_sim: cannot write " << path << ": " << error.message() << "\n";
    std::remove(partial.c_str());
    return false;
  }
  std::cout << "timeline: " << path << std::endl;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  arguments a;
  if (!parse_arguments(argc, argv, &a)) {
    std::cerr << "usage: nolvane_sim [--timeline FILE.svg] <scenario file>\n";
    return 2;
  }
  std::vector<nolvane_sim::step> steps;
  try {
    steps = nolvane_sim::load_scenario(a.scenario);
  } catch (const nolvane_sim::parse_error& e) {
    std::cerr << a.scenario << ": " << e.what() << "\n";
    return 2;
  }
  if (!nolvane_sim::daemon_beside_this_program("nolvane_sim")) return 2;

  winsim::machine::scoped_machine machine;
  std::cout << "nolvane_sim: " << a.scenario << " on a simulated laptop in " << machine.path() << std::endl;
  nolvane_sim::simulation simulation(std::cout);
  const int result = simulation.run(steps);
  if (!a.timeline.empty() && !write_timeline(simulation.recorded(), a.scenario, a.timeline)) return 2;
  return result;
}
