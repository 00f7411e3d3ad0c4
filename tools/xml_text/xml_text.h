// Text put into an XML document (the policy templates, the timeline
// picture): inside elements and double-quoted attributes.
#pragma once

#include <string>

namespace nolvane_tools {

inline std::string xml_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace nolvane_tools
