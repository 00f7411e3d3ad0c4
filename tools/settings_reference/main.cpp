// nolvane_settings_reference <source-dir>: writes the settings reference and
// the policy templates, generated from the settings table, into the tree.
#include "reference_documents.h"

#include <exception>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " <source-dir>\n";
    return 2;
  }
  try {
    for (const auto& document : ostrel::settings_reference::generated_documents()) {
      const std::string path = std::string(argv[1]) + "/" + document.path;
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      file << document.render();
      if (!file.flush()) {
        std::cerr << "cannot write " << path << "\n";
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
