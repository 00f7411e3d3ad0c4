// Named events shared between processes: one file per event in
// <machine>/events/, holding "<manual><state>" ("m1", "a0", ...), updated
// under an exclusive flock so that an auto-reset event is taken by exactly
// one waiter in any process.
#include "kernel/events.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winsim::detail {
namespace {

class locked_file {
 public:
  locked_file(const std::string& path, bool create) {
    fd_ = ::open(path.c_str(), O_RDWR | (create ? O_CREAT : 0), 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~locked_file() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  bool ok() const { return fd_ >= 0; }
  std::string read() const {
    char buf[4] = {};
    ssize_t n = ::pread(fd_, buf, 2, 0);
    return n == 2 ? std::string(buf, 2) : std::string();
  }
  void write(const std::string& s) const {
    if (::pwrite(fd_, s.data(), s.size(), 0) != static_cast<ssize_t>(s.size())) return;
  }

 private:
  int fd_ = -1;
};

class named_event : public event_base {
 public:
  explicit named_event(std::string path) : path_(std::move(path)) {}
  bool needs_polling() const override { return true; }
  bool signaled() const override {
    locked_file f(path_, false);
    return f.ok() && f.read().size() == 2 && f.read()[1] == '1';
  }
  bool try_acquire() override {
    locked_file f(path_, false);
    if (!f.ok()) return false;
    std::string s = f.read();
    if (s.size() != 2 || s[1] != '1') return false;
    if (s[0] == 'a') f.write("a0");
    return true;
  }
  void on_wait_satisfied() override {
    locked_file f(path_, false);
    std::string s = f.read();
    if (s.size() == 2 && s[0] == 'a') f.write("a0");
  }
  void set(bool state) override {
    {
      locked_file f(path_, false);
      std::string s = f.read();
      if (s.size() == 2) f.write(std::string(1, s[0]) + (state ? '1' : '0'));
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
  if (dir.empty()) return nullptr;
  std::string events = dir + "/events";
  ::mkdir(events.c_str(), 0755);
  std::string file_name;
  for (const char* p = name; *p; ++p) file_name += (*p == '/' || *p == '\\') ? '_' : *p;
  std::string path = events + "/" + file_name;
  locked_file f(path, create);
  if (!f.ok()) return nullptr;
  std::string s = f.read();
  *existed = s.size() == 2;
  if (!*existed) f.write(std::string(1, manual_reset ? 'm' : 'a') + (initial ? '1' : '0'));
  return std::make_shared<named_event>(path);
}

}  // namespace winsim::detail
