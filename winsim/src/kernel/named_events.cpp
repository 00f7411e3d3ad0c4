// Named events shared between processes. Each event is a file in
// <machine>/events/ holding "<manual><state>" ("m1", "a0", ...) on its first
// line and the ids of the processes holding handles to it on the second,
// one id per open handle. The file is changed only under an exclusive flock,
// so an auto-reset event is taken by exactly one waiter in any process.
//
// As on Windows, the event exists only while some handle to it is open: a
// file whose holders have all closed their handles or died counts as absent
// and is made anew by the next CreateEventA.
#include "kernel/event_objects.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace winsim::detail {
namespace {

struct event_record {
  char kind = 'a';  // 'm' manual reset, 'a' auto reset
  bool signaled = false;
  std::vector<long> holders;

  bool exists() const { return !holders.empty(); }
};

bool process_alive(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

class locked_event_file {
 public:
  locked_event_file(const std::string& path, bool create) {
    fd_ = ::open(path.c_str(), O_RDWR | (create ? O_CREAT : 0), 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~locked_event_file() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  locked_event_file(const locked_event_file&) = delete;
  locked_event_file& operator=(const locked_event_file&) = delete;

  bool ok() const { return fd_ >= 0; }

  // The record with holders that have died dropped.
  event_record read() const {
    event_record r;
    std::string text;
    char buffer[512];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(fd_, buffer, sizeof(buffer), offset)) > 0) {
      text.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    std::istringstream in(text);
    std::string state;
    if (!(in >> state) || state.size() != 2) return r;
    r.kind = state[0];
    r.signaled = state[1] == '1';
    long pid;
    while (in >> pid) {
      if (process_alive(pid)) r.holders.push_back(pid);
    }
    return r;
  }

  void write(const event_record& r) const {
    std::string text{r.kind, r.signaled ? '1' : '0', '\n'};
    for (long pid : r.holders) text += std::to_string(pid) + ' ';
    text += '\n';
    if (::ftruncate(fd_, 0) != 0) return;
    if (::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return;
  }

 private:
  int fd_ = -1;
};

// One handle's view of a named event; the handle's hold on the event ends
// with this object.
class named_event : public event_base {
 public:
  explicit named_event(std::string path) : path_(std::move(path)) {}
  ~named_event() override {
    locked_event_file f(path_, false);
    if (!f.ok()) return;
    event_record r = f.read();
    const long self = static_cast<long>(::getpid());
    for (auto it = r.holders.begin(); it != r.holders.end(); ++it) {
      if (*it == self) {
        r.holders.erase(it);
        break;
      }
    }
    f.write(r);
  }

  bool needs_polling() const override { return true; }
  bool signaled() const override {
    locked_event_file f(path_, false);
    return f.ok() && f.read().signaled;
  }
  bool try_acquire() override {
    locked_event_file f(path_, false);
    if (!f.ok()) return false;
    event_record r = f.read();
    if (!r.signaled) return false;
    if (r.kind == 'a') {
      r.signaled = false;
      f.write(r);
    }
    return true;
  }
  void on_wait_satisfied() override {
    locked_event_file f(path_, false);
    if (!f.ok()) return;
    event_record r = f.read();
    if (r.kind == 'a' && r.signaled) {
      r.signaled = false;
      f.write(r);
    }
  }
  void set(bool state) override {
    {
      locked_event_file f(path_, false);
      if (!f.ok()) return;
      event_record r = f.read();
      r.signaled = state;
      f.write(r);
    }
    std::lock_guard<std::mutex> lock(wait_mutex());
    notify_waiters();
  }

 private:
  std::string path_;
};

}  // namespace

std::shared_ptr<event_base> open_named_event(const char* name, bool manual_reset, bool initial, bool create,
                                             bool* existed) {
  std::string dir = machine_directory();
  if (dir.empty()) {
    // A program run outside any simulated machine still has one object
    // namespace, shared by the user's processes.
    const char* tmp = std::getenv("TMPDIR");
    dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/winsim-objects-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
  }
  std::string events = dir + "/events";
  ::mkdir(events.c_str(), 0755);
  std::string file_name;
  for (const char* p = name; *p; ++p) file_name += (*p == '/' || *p == '\\') ? '_' : *p;
  const std::string path = events + "/" + file_name;

  locked_event_file f(path, create);
  if (!f.ok()) return nullptr;
  event_record r = f.read();
  *existed = r.exists();
  if (!*existed) {
    if (!create) return nullptr;
    r.kind = manual_reset ? 'm' : 'a';
    r.signaled = initial;
  }
  r.holders.push_back(static_cast<long>(::getpid()));
  f.write(r);
  return std::make_shared<named_event>(path);
}

}  // namespace winsim::detail
