// Reads the DWORD values of a .reg file (the "Windows Registry Editor
// Version 5.00" form the examples in docs/examples use), so tests can
// compare an example with the settings table and with what a reader sees.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::test {

struct reg_dword {
  std::string key;  // below HKEY_LOCAL_MACHINE
  std::string name;
  uint32_t value;
};

struct reg_file {
  std::vector<reg_dword> values;
  std::string error;  // empty when every line was understood
};

inline reg_file read_reg_file(const std::string& path) {
  reg_file result;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.error = "cannot open " + path;
    return result;
  }
  const std::string machine = "HKEY_LOCAL_MACHINE\\";
  std::string line;
  std::string key;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line == "Windows Registry Editor Version 5.00") continue;
    if (line.front() == '[' && line.back() == ']' && line.compare(1, machine.size(), machine) == 0) {
      key = line.substr(1 + machine.size(), line.size() - 2 - machine.size());
      continue;
    }
    const auto equals = line.find("\"=dword:");
    if (!key.empty() && line[0] == '"' && equals != std::string::npos && line.size() == equals + 8 + 8) {
      result.values.push_back(
          {key, line.substr(1, equals - 1), static_cast<uint32_t>(std::stoul(line.substr(equals + 8), nullptr, 16))});
      continue;
    }
    result.error = path + ":" + std::to_string(number) + ": not understood: " + line;
    return result;
  }
  return result;
}

}  // namespace ostrel::test
