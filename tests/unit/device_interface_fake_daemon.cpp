// Stands in for ostrel_service_daemon in the device interface's unit tests.
// Each run appends "<pid> <arguments>" to <machine>/fake_daemon/runs, then
// answers as the test scripted it for its first option (name without
// dashes) in <machine>/fake_daemon/: <option>.exit (exit code, default 0),
// <option>.out (written to standard output), <option>.sleep (ms before
// exiting). --monitor_activity waits until the test creates
// <machine>/fake_daemon/activity, takes it away and exits, or exits at once
// when its exit code is scripted; --dim_screen N shows its "overlay" for N ms.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string directory() {
  const char* machine = std::getenv("WINSIM_MACHINE");
  return std::string(machine ? machine : ".") + "/fake_daemon";
}

std::string read_file(const std::string& path, bool* found = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (found) *found = in.is_open();
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void append_run(int argc, char** argv) {
  std::string line = std::to_string(::getpid());
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  line += "\n";
  const int fd = ::open((directory() + "/runs").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  if (::write(fd, line.data(), line.size()) < 0) {
    // Nothing to do: the run simply goes unrecorded.
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

void sleep_ms(unsigned long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  append_run(argc, argv);
  std::string key = argc > 1 ? argv[1] : "";
  while (!key.empty() && key[0] == '-') key.erase(0, 1);
  const std::string base = directory() + "/" + key;

  bool exit_scripted = false;
  const std::string code = read_file(base + ".exit", &exit_scripted);
  if (key == "monitor_activity" && !exit_scripted) {
    const std::string trigger = directory() + "/activity";
    while (::unlink(trigger.c_str()) != 0) sleep_ms(2);
    std::fputs("Got activity", stdout);
  } else if (key == "dim_screen" && argc > 2) {
    sleep_ms(std::strtoul(argv[2], nullptr, 10));
  }
  bool scripted = false;
  const std::string out = read_file(base + ".out", &scripted);
  if (scripted) std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  const std::string pause = read_file(base + ".sleep", &scripted);
  if (scripted) sleep_ms(std::strtoul(pause.c_str(), nullptr, 10));
  return exit_scripted ? static_cast<int>(std::strtol(code.c_str(), nullptr, 10)) : 0;
}
