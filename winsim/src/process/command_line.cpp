// How Windows reads a command line: the C runtime's argv rules, the module
// name search of CreateProcess (program directory first, then the current
// directory, the system directories and PATH), and C:\ paths under the
// machine directory's drive_c/.
#include "process/process_internal.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace winsim::detail {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

bool ends_with_ci(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

// The name of an entry of `dir` that equals `name` ignoring case, or "".
std::string find_entry_ci(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return {};
  std::string found;
  while (struct dirent* entry = ::readdir(d)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// Windows file names ignore case; the host's do not. Below drive_c/ each
// component is matched ignoring case when the exact spelling is absent.
std::string resolve_case(const std::string& root, const std::string& relative) {
  std::string path = root;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string next = path + "/" + part;
    if (::access(next.c_str(), F_OK) != 0) {
      std::string entry = find_entry_ci(path, part);
      if (!entry.empty()) next = path + "/" + entry;
    }
    path = next;
  }
  return path;
}

std::string with_slashes(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

// The host files that stand for the Windows file `path` (a host path already):
// "name.exe" is the built program "name" on the host.
bool try_program_file(const std::string& path, bool append_exe, std::string* found) {
  std::vector<std::string> choices;
  if (append_exe) {
    choices = {path + ".exe", path};
  } else if (ends_with_ci(path, ".exe")) {
    choices = {path, path.substr(0, path.size() - 4)};
  } else {
    choices = {path};
  }
  for (const auto& choice : choices) {
    if (is_regular_file(choice)) {
      *found = choice;
      return true;
    }
  }
  return false;
}

bool has_directory_part(const std::string& name) {
  return name.find_first_of("\\/") != std::string::npos ||
         (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
}

// ".exe" is assumed when the file name has no extension and does not end in '.'.
bool needs_exe(const std::string& name) {
  const auto last_separator = name.find_last_of("\\/:");
  const std::string file = last_separator == std::string::npos ? name : name.substr(last_separator + 1);
  return !file.empty() && file.find('.') == std::string::npos;
}

std::vector<std::string> search_directories() {
  std::vector<std::string> dirs;
  dirs.push_back(directory_of(own_program_path()));
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) != nullptr) dirs.emplace_back(cwd);
  for (const char* system_dir : {"C:\\Windows\\System32", "C:\\Windows\\System", "C:\\Windows"}) {
    std::string host = winsim::machine::host_path(system_dir);
    if (!host.empty()) dirs.push_back(host);
  }
  if (const char* path = std::getenv("PATH")) {
    std::string all = path;
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(':', start);
      if (end == std::string::npos) end = all.size();
      if (end > start) dirs.push_back(all.substr(start, end - start));
      start = end + 1;
    }
  }
  return dirs;
}

// One candidate module name: a path is taken as it is, a bare name is searched.
bool find_module(const std::string& name, std::string* found, DWORD* error) {
  if (name.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  const bool append_exe = needs_exe(name);
  if (has_directory_part(name)) {
    const std::string host = winsim::machine::host_path(name);
    if (!host.empty() && try_program_file(host, append_exe, found)) return true;
    // The search reports a missing directory as a missing file.
    *error = ERROR_FILE_NOT_FOUND;
    return false;
  }
  for (const auto& dir : search_directories()) {
    if (try_program_file(dir + "/" + name, append_exe, found)) return true;
  }
  *error = ERROR_FILE_NOT_FOUND;
  return false;
}

}  // namespace

std::string own_program_path() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string find_program(const char* application_name, const std::string& command_line, DWORD* error) {
  std::string found;
  if (application_name != nullptr) {
    // An explicit application name is never searched for and gets no extension.
    std::string host = winsim::machine::host_path(application_name);
    if (!host.empty() && try_program_file(host, false, &found)) return found;
    *error = ERROR_FILE_NOT_FOUND;
    return {};
  }
  size_t pos = 0;
  while (pos < command_line.size() && is_blank(command_line[pos])) ++pos;
  if (pos < command_line.size() && command_line[pos] == '"') {
    const size_t close = command_line.find('"', pos + 1);
    const std::string name =
        command_line.substr(pos + 1, close == std::string::npos ? std::string::npos : close - pos - 1);
    if (find_module(name, &found, error)) return found;
    return {};
  }
  // Unquoted: a name with blanks is ambiguous, and Windows tries each blank
  // as the end of the program name in turn ("C:\Program Files\a b" runs
  // C:\Program.exe when that exists).
  *error = ERROR_FILE_NOT_FOUND;
  size_t end = pos;
  while (end < command_line.size()) {
    while (end < command_line.size() && !is_blank(command_line[end])) ++end;
    if (find_module(command_line.substr(pos, end - pos), &found, error)) return found;
    while (end < command_line.size() && is_blank(command_line[end])) ++end;
  }
  return {};
}

}  // namespace winsim::detail

namespace winsim::machine {

std::string host_path(const std::string& windows_path) {
  const std::string& p = windows_path;
  const bool drive = p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
  if (drive || (!p.empty() && p[0] == '\\')) {
    if (drive && std::toupper(static_cast<unsigned char>(p[0])) != 'C') return {};
    const std::string machine = detail::machine_directory();
    if (machine.empty()) return {};
    std::string rest = detail::with_slashes(p.substr(drive ? 2 : 0));
    return detail::resolve_case(machine + "/drive_c", rest);
  }
  return detail::with_slashes(p);
}

std::vector<std::string> split_command_line(const std::string& command_line) {
  std::vector<std::string> args;
  const std::string& s = command_line;
  size_t i = 0;
  // The program name: up to a blank, or a quoted run; backslashes are plain.
  while (i < s.size() && detail::is_blank(s[i])) ++i;
  {
    std::string name;
    bool quoted = false;
    for (; i < s.size(); ++i) {
      if (s[i] == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && detail::is_blank(s[i])) break;
      name += s[i];
    }
    args.push_back(name);
  }
  // The arguments: 2n backslashes before a quote give n and the quote
  // delimits; 2n+1 give n and a literal quote; "" inside quotes is a quote.
  for (;;) {
    while (i < s.size() && detail::is_blank(s[i])) ++i;
    if (i >= s.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < s.size()) {
      if (!quoted && detail::is_blank(s[i])) break;
      if (s[i] == '\\') {
        size_t n = 0;
        while (i < s.size() && s[i] == '\\') {
          ++n;
          ++i;
        }
        if (i < s.size() && s[i] == '"') {
          arg.append(n / 2, '\\');
          if (n % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(n, '\\');
        }
        continue;
      }
      if (s[i] == '"') {
        if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += s[i++];
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace winsim::machine
