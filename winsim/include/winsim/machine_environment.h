// Controls of the environment block the simulated service process sees
// (ExpandEnvironmentStringsA). A new machine has the variables of a service
// running as the local system account: SystemRoot and windir "C:\Windows",
// SystemDrive "C:", TEMP and TMP "C:\Windows\TEMP", ProgramData
// "C:\ProgramData", ProgramFiles "C:\Program Files", USERPROFILE
// "C:\Windows\system32\config\systemprofile", USERNAME "SYSTEM", ...
#pragma once

#include <optional>
#include <string>

namespace winsim::machine {

// Names are case-insensitive. An empty optional removes the variable.
void set_environment_variable(const std::string& name, const std::optional<std::string>& value);
std::optional<std::string> environment_variable(const std::string& name);

}  // namespace winsim::machine
