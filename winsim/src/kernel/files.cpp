// GetFileAttributesA over the machine's C: drive, which lives in drive_c/ of
// the machine directory. Windows paths are case-insensitive, so each part is
// matched against the directory's entries regardless of case.
#include "kernel/kernel_object.h"

#include <strings.h>
#include <sys/stat.h>

#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A service's current directory.
constexpr const char* current_directory = "Windows\\system32";

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

// The entry of `directory` named `name` in any case; empty when none.
fs::path find_entry(const fs::path& directory, const std::string& name) {
  std::error_code ec;
  fs::path exact = directory / name;
  if (fs::exists(fs::symlink_status(exact, ec))) return exact;
  for (const auto& entry : fs::directory_iterator(directory, ec)) {
    if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0) return entry.path();
  }
  return {};
}

}  // namespace

DWORD WINAPI GetFileAttributesA(LPCSTR file_name) {
  DWORD error = 0;
  if (winsim::detail::should_fail("GetFileAttributesA", &error)) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (file_name == nullptr || *file_name == '\0') {
    SetLastError(file_name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string path = file_name;
  if (path.rfind("\\\\?\\", 0) == 0) path = path.substr(4);
  const bool trailing_separator = path.back() == '\\' || path.back() == '/';

  std::vector<std::string> parts;
  if (path.size() >= 2 && path[1] == ':') {
    if ((path[0] != 'C' && path[0] != 'c') || (path.size() > 2 && path[2] != '\\' && path[2] != '/')) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return INVALID_FILE_ATTRIBUTES;
    }
    parts = split(path.substr(2));
  } else if (path[0] == '\\' || path[0] == '/') {
    if (path.size() > 1 && (path[1] == '\\' || path[1] == '/')) {
      // Network and device paths are not files of this machine.
      SetLastError(ERROR_BAD_PATHNAME);
      return INVALID_FILE_ATTRIBUTES;
    }
    parts = split(path);
  } else {
    parts = split(std::string(current_directory) + "\\" + path);
  }

  // Resolve "." and ".." as Windows does, textually.
  std::vector<std::string> resolved;
  for (const auto& part : parts) {
    if (part == ".") continue;
    if (part == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    resolved.push_back(part);
  }

  const std::string machine = winsim::detail::machine_directory();
  if (machine.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  fs::path current = fs::path(machine) / "drive_c";
  std::error_code ec;
  if (!fs::is_directory(current, ec)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (resolved.empty()) {
    return FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
  }
  for (size_t i = 0; i < resolved.size(); ++i) {
    const bool last = i + 1 == resolved.size();
    fs::path next = find_entry(current, resolved[i]);
    if (next.empty()) {
      SetLastError(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      return INVALID_FILE_ATTRIBUTES;
    }
    if (!last && !fs::is_directory(next, ec)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return INVALID_FILE_ATTRIBUTES;
    }
    current = next;
  }

  struct stat info {};
  if (::stat(current.c_str(), &info) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if (trailing_separator) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}
