#include "config/output_directory.h"

#include "logging/trace_line.h"

#include <windows.h>

namespace ostrel::config {

using logging::log_level;
using logging::trace_line;

namespace {

// The service's start-up lines all carry this tag.
constexpr const char* tag = "runner";

// Errors the file-status query reports for a path that is not there; such a
// path is answered as "does not exist", any other error as "cannot access".
bool means_not_found(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool check_output_directory(const std::string& directory, std::string* checked_path) {
  if (directory.empty()) return true;
  char expanded[MAX_PATH] = {};
  const DWORD length = ExpandEnvironmentStringsA(directory.c_str(), expanded, sizeof(expanded));
  // A result longer than the buffer leaves the buffer undefined: a failure too.
  if (length == 0 || length > sizeof(expanded)) {
    trace_line(log_level::info, tag)
        << "WARNING: Failed to get environment variable for output directory. Trying to access :" << directory
        << "\n";
    return true;
  }
  const std::string path(expanded);
  if (checked_path != nullptr) *checked_path = path;
  if (path.empty()) return true;

  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  if (attributes == INVALID_FILE_ATTRIBUTES && !means_not_found(GetLastError())) {
    trace_line(log_level::info, tag) << "Error: is_directory failed - cannot access '" << path << "'\n";
  } else {
    trace_line(log_level::info, tag) << "Error: is_directory failed - '" << path << "' does not exist\n";
  }
  trace_line(log_level::info, tag) << "Output directory is not a directory: " << path << "\n";
  return false;
}

}  // namespace ostrel::config
