// The shared desktop state and journal, and the machine controls over them.
#include "desktop/desktop_state.h"

#include <winsim/machine.h>

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <sstream>
#include <vector>
#include <algorithm>

namespace winsim::detail::desktop {
namespace {

// Used when no machine directory is set: the desktop is this process's own.
struct local_desktop {
  std::mutex mutex;
  std::condition_variable journal_grew;
  state_map state;
  std::vector<std::string> journal;
};

local_desktop& local() {
  static local_desktop* d = new local_desktop;
  return *d;
}

const bool registered = [] {
  on_reset([] {
    auto& d = local();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.state.clear();
    d.journal.clear();
  });
  return true;
}();

std::string desktop_directory() {
  const std::string machine = machine_directory();
  if (machine.empty()) return {};
  const std::string dir = machine + "/desktop";
  ::mkdir(dir.c_str(), 0755);
  return dir;
}

// The lock that serialises every process's changes of the state, held for
// the life of the object. It is taken on a file of its own: the state file
// itself is replaced by each change.
class state_lock {
 public:
  state_lock(const std::string& dir, bool exclusive) {
    fd_ = ::open((dir + "/state.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
  }
  ~state_lock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  state_lock(const state_lock&) = delete;
  state_lock& operator=(const state_lock&) = delete;

  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string read_file(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

// Writes the new content beside the file and renames it over the file, so
// that a process killed in the middle of a change (the service terminates
// daemons that poll the desktop) leaves the previous state behind, never a
// truncated one.
void replace_file(const std::string& path, const std::string& content) {
  const std::string next = path + ".next";
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done == content.size()) ::rename(next.c_str(), path.c_str());
}

state_map parse(const std::string& content) {
  state_map state;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    state[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return state;
}

std::string serialize(const state_map& state) {
  std::string content;
  for (const auto& [key, value] : state) content += key + "=" + value + "\n";
  return content;
}

}  // namespace

state_map read_state() {
  const std::string dir = desktop_directory();
  if (dir.empty()) {
    auto& d = local();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.state;
  }
  const state_lock lock(dir, /*exclusive=*/false);
  return lock.ok() ? parse(read_file(dir + "/state")) : state_map{};
}

void update_state(const std::function<void(state_map&)>& change) {
  const std::string dir = desktop_directory();
  if (dir.empty()) {
    auto& d = local();
    std::lock_guard<std::mutex> lock(d.mutex);
    change(d.state);
    return;
  }
  const state_lock lock(dir, /*exclusive=*/true);
  if (!lock.ok()) return;
  state_map state = parse(read_file(dir + "/state"));
  change(state);
  replace_file(dir + "/state", serialize(state));
}

std::string value_or(const state_map& state, const std::string& key, const std::string& fallback) {
  auto it = state.find(key);
  return it == state.end() ? fallback : it->second;
}

unsigned long long number_or(const state_map& state, const std::string& key, unsigned long long fallback) {
  auto it = state.find(key);
  if (it == state.end()) return fallback;
  try {
    return std::stoull(it->second);
  } catch (const std::exception&) {
    return fallback;
  }
}

unsigned long long now_ms() {
  return static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

unsigned long long now_us() {
  return static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void journal(const std::string& text) { journal_as(static_cast<int>(::getpid()), text); }

void journal_as(int pid, const std::string& text) {
  const std::string line = std::to_string(now_us()) + " " + std::to_string(pid) + " " + text + "\n";
  const std::string dir = desktop_directory();
  if (dir.empty()) {
    auto& d = local();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.journal.push_back(line);
    d.journal_grew.notify_all();
    return;
  }
  // One write on an O_APPEND descriptor: lines of concurrent processes never mix.
  int fd = ::open((dir + "/journal").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;
  ::close(fd);
}

namespace {

std::string open_windows_file(const std::string& dir, int pid) { return dir + "/windows." + std::to_string(pid); }

}  // namespace

void publish_open_windows(const std::vector<std::string>& classes) {
  const std::string dir = desktop_directory();
  if (dir.empty()) return;  // a desktop of its own: nobody else sees the windows
  const std::string path = open_windows_file(dir, static_cast<int>(::getpid()));
  if (classes.empty()) {
    ::unlink(path.c_str());
    return;
  }
  std::string content;
  for (const auto& name : classes) content += name + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = ::write(fd, content.data(), content.size());
  (void)written;
  ::close(fd);
}

void end_windows_of(int pid) {
  const std::string dir = machine_directory();
  if (dir.empty()) return;
  const std::string path = open_windows_file(dir + "/desktop", pid);
  std::ifstream file(path);
  if (!file.is_open()) return;
  std::string name;
  while (std::getline(file, name)) {
    if (!name.empty()) journal_as(pid, "window_destroyed class=" + name + " by=process_end");
  }
  ::unlink(path.c_str());
}

bool should_fail(const char* function, DWORD* error) {
  return detail::should_fail(function, error) || machine_should_fail(function, error);
}

bool machine_should_fail(const char* function, DWORD* error) {
  const std::string key = std::string(fail_prefix) + function;
  if (read_state().count(key) == 0) return false;
  bool fail = false;
  update_state([&](state_map& state) {
    auto it = state.find(key);
    if (it == state.end()) return;
    unsigned long code = 0;
    long remaining = -1;
    if (std::sscanf(it->second.c_str(), "%lu,%ld", &code, &remaining) != 2) return;
    fail = true;
    *error = static_cast<DWORD>(code);
    if (remaining > 0) {
      if (--remaining == 0) {
        state.erase(it);
      } else {
        it->second = std::to_string(code) + "," + std::to_string(remaining);
      }
    }
  });
  return fail;
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

}  // namespace winsim::detail::desktop

namespace winsim::machine {

namespace desktop = winsim::detail::desktop;

namespace {

void set_value(const std::string& key, const std::string& value) {
  desktop::update_state([&](desktop::state_map& state) { state[key] = value; });
}

bool flag(const char* key, bool fallback) {
  return desktop::number_or(desktop::read_state(), key, fallback ? 1 : 0) != 0;
}

bool process_running(int pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  // A child that has ended but was not yet reaped still answers kill().
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat.is_open()) return true;
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto paren = content.rfind(')');
  if (paren == std::string::npos || paren + 2 >= content.size()) return true;
  const char state = content[paren + 2];
  return state != 'Z' && state != 'X';
}

}  // namespace

void set_session_locked(bool locked) { set_value(desktop::key_locked, locked ? "1" : "0"); }
bool session_locked() { return flag(desktop::key_locked, false); }
void set_remote_session(bool remote) { set_value(desktop::key_remote, remote ? "1" : "0"); }
bool remote_session() { return flag(desktop::key_remote, false); }

void set_console_session_id(DWORD session_id) {
  set_value(desktop::key_console_session, std::to_string(session_id));
}
DWORD console_session_id() {
  return static_cast<DWORD>(desktop::number_or(desktop::read_state(), desktop::key_console_session, 1));
}

void set_physical_monitors(const std::vector<DWORD>& per_display_monitor) {
  std::string list;
  for (DWORD count : per_display_monitor) {
    if (!list.empty()) list += ",";
    list += std::to_string(count);
  }
  set_value(desktop::key_monitors, list);
}

std::vector<DWORD> physical_monitors() {
  const std::string list = desktop::value_or(desktop::read_state(), desktop::key_monitors, "1");
  std::vector<DWORD> counts;
  std::istringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    if (!item.empty()) counts.push_back(static_cast<DWORD>(std::stoul(item)));
  }
  return counts;
}

void set_lcd_brightness(int ac, int dc) {
  desktop::update_state([&](desktop::state_map& state) {
    state[desktop::key_lcd] = "1";
    state[desktop::key_lcd_ac] = std::to_string(ac);
    state[desktop::key_lcd_dc] = std::to_string(dc);
  });
}

void remove_lcd() { set_value(desktop::key_lcd, "0"); }
bool lcd_present() { return flag(desktop::key_lcd, true); }

lcd_brightness lcd() {
  const auto state = desktop::read_state();
  return {static_cast<int>(desktop::number_or(state, desktop::key_lcd_ac, 100)),
          static_cast<int>(desktop::number_or(state, desktop::key_lcd_dc, 100))};
}

void simulate_input() {
  desktop::update_state([](desktop::state_map& state) {
    // Strictly later than the previous input, so that every input is seen.
    unsigned long long now = desktop::now_ms();
    const auto previous = desktop::number_or(state, desktop::key_last_input, 0);
    if (now <= previous) now = previous + 1;
    state[desktop::key_last_input] = std::to_string(now);
    state[desktop::key_display] = "1";
  });
}

unsigned long last_input_queries() {
  return static_cast<unsigned long>(desktop::number_or(desktop::read_state(), desktop::key_input_queries, 0));
}

void set_display_on(bool on) { set_value(desktop::key_display, on ? "1" : "0"); }
bool display_on() { return flag(desktop::key_display, true); }

void fail_desktop_call(const std::string& function, DWORD error, int times) {
  desktop::update_state([&](desktop::state_map& state) {
    const std::string key = desktop::fail_prefix + function;
    if (times == 0) {
      state.erase(key);
    } else {
      state[key] = std::to_string(error) + "," + std::to_string(times);
    }
  });
}

namespace {

std::optional<desktop_entry> parse_entry(const std::string& line) {
  unsigned long long time_us = 0;
  int pid = 0;
  int consumed = 0;
  if (std::sscanf(line.c_str(), "%llu %d %n", &time_us, &pid, &consumed) != 2) return std::nullopt;
  desktop_entry entry;
  entry.time_us = time_us;
  entry.time_ms = time_us / 1000;
  entry.pid = pid;
  entry.text = line.substr(static_cast<size_t>(consumed));
  while (!entry.text.empty() && entry.text.back() == '\n') entry.text.pop_back();
  return entry;
}

std::string journal_path(const std::string& machine) { return machine + "/desktop/journal"; }

// The entries from `*offset` on (bytes of the journal file, or lines of a
// desktop of this process's own); moves the offset past them. A line still
// being written stays for the next read.
std::vector<desktop_entry> journal_from(unsigned long long* offset) {
  std::vector<std::string> lines;
  const std::string machine = detail::machine_directory();
  if (machine.empty()) {
    auto& d = desktop::local();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (size_t i = static_cast<size_t>(*offset); i < d.journal.size(); ++i) lines.push_back(d.journal[i]);
    *offset = d.journal.size();
  } else {
    const int fd = ::open(journal_path(machine).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      std::string content;
      char buffer[8192];
      off_t at = static_cast<off_t>(*offset);
      for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
        at += n;
      }
      ::close(fd);
      size_t begin = 0;
      for (size_t end = content.find('\n'); end != std::string::npos; end = content.find('\n', begin)) {
        lines.push_back(content.substr(begin, end + 1 - begin));
        begin = end + 1;
      }
      *offset += begin;
    }
  }
  std::vector<desktop_entry> entries;
  for (const auto& line : lines) {
    if (auto entry = parse_entry(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace

std::vector<desktop_entry> desktop_journal() {
  unsigned long long from_start = 0;
  return journal_from(&from_start);
}

desktop_journal_reader::desktop_journal_reader() {
  const std::string dir = desktop::desktop_directory();
  if (dir.empty()) return;
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && ::inotify_add_watch(watch_, dir.c_str(), IN_MODIFY | IN_CREATE) < 0) {
    ::close(watch_);
    watch_ = -1;
  }
}

desktop_journal_reader::~desktop_journal_reader() {
  if (watch_ >= 0) ::close(watch_);
}

std::vector<desktop_entry> desktop_journal_reader::take() { return journal_from(&offset_); }

bool desktop_journal_reader::has_news() const {
  const std::string machine = detail::machine_directory();
  if (machine.empty()) {
    auto& d = desktop::local();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.journal.size() > offset_;
  }
  struct stat st {};
  return ::stat(journal_path(machine).c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_size) > offset_;
}

bool desktop_journal_reader::wait(DWORD timeout_ms) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  if (detail::machine_directory().empty()) {
    auto& d = desktop::local();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.journal_grew.wait_until(lock, deadline, [&] { return d.journal.size() > offset_; });
  }
  for (;;) {
    // Changes after this look wake the poll below: the watch is older than it.
    if (has_news()) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) return false;
    if (watch_ < 0) {
      // No way to be told; look again a little later.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 5)));
      continue;
    }
    pollfd watched{watch_, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(std::min<long long>(left, 60000))) > 0) {
      char events[4096];
      while (::read(watch_, events, sizeof events) > 0) {
      }
    }
  }
}

std::vector<std::string> desktop_journal_texts() {
  std::vector<std::string> texts;
  for (auto& entry : desktop_journal()) texts.push_back(std::move(entry.text));
  return texts;
}

size_t open_window_count() {
  std::map<int, long> open_by_process;
  for (const auto& entry : desktop_journal()) {
    if (entry.text.rfind("window_created ", 0) == 0) ++open_by_process[entry.pid];
    if (entry.text.rfind("window_destroyed ", 0) == 0) --open_by_process[entry.pid];
  }
  size_t open = 0;
  for (const auto& [pid, count] : open_by_process) {
    if (count > 0 && process_running(pid)) open += static_cast<size_t>(count);
  }
  return open;
}

}  // namespace winsim::machine
