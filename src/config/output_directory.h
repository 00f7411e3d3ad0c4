// The check of the OutputDirectory setting the service makes once per load
// pass: a directory it cannot use ends the service quietly.
#pragma once

#include <string>

namespace ostrel::config {

// Environment references expanded, then the path must name a directory.
// True when it does, and when the check cannot be made (expansion failed,
// empty text); false with the reasons logged. `checked_path` receives the
// expanded path when there is one.
bool check_output_directory(const std::string& directory, std::string* checked_path = nullptr);

}  // namespace ostrel::config
