// The daemon's command line from bytes: the first byte sets up the simulated
// desktop, the rest are the words of argv, separated by zero bytes. They go
// through the option parser and the dispatch as in a run of the daemon, on a
// machine directory of its own.
//
// The actions that wait are kept short: the dim overlay's stop event is held
// signalled (manual reset, so every overlay ends at once), the pauses between
// display off and brightness do not wait, and every activity wait finds new
// input at its first look.
#include "dispatch.h"
#include "unique_handle.h"

#include <winsim/machine.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::unique_ptr<winsim::machine::scoped_machine> machine;
ostrel::unique_event stop_dim;

// What the first byte switches on, bit by bit.
enum setup_bit : uint8_t {
  session_locked = 0x01,
  remote_session = 0x02,
  no_lcd = 0x04,
  external_monitor = 0x08,
  posixly_correct = 0x10,
  input_unreadable = 0x20,
  lock_fails = 0x40,
  post_fails = 0x80,
};

void fail_when(bool fail, const char* function) {
  winsim::machine::fail_desktop_call(function, ERROR_ACCESS_DENIED, fail ? -1 : 0);
}

void set_up_desktop(uint8_t setup) {
  winsim::machine::set_session_locked(setup & session_locked);
  winsim::machine::set_remote_session(setup & remote_session);
  if (setup & no_lcd) {
    winsim::machine::remove_lcd();
  } else {
    winsim::machine::set_lcd_brightness(100, 100);
  }
  winsim::machine::set_physical_monitors(setup & external_monitor ? std::vector<DWORD>{1, 1} : std::vector<DWORD>{1});
  winsim::machine::set_display_on(true);
  fail_when(setup & input_unreadable, "GetLastInputInfo");
  fail_when(setup & lock_fails, "LockWorkStation");
  fail_when(setup & post_fails, "PostMessageA");
  if (setup & posixly_correct) {
    ::setenv("POSIXLY_CORRECT", "1", 1);
  } else {
    ::unsetenv("POSIXLY_CORRECT");
  }
  // New input for every activity wait (the monitor compares with the input
  // it saw first in this process).
  winsim::machine::simulate_input();
  // The journal only grows; nothing reads it here.
  std::error_code ignored;
  std::filesystem::remove(machine->path() + "/desktop/journal", ignored);
}

// The activity monitor remembers the first input it reads for the rest of
// the process; that first reading is taken here, with input following it.
void take_first_input_reading() {
  const unsigned long before = winsim::machine::last_input_queries();
  auto monitor = std::async(std::launch::async, [] {
    char program[] = "ostrel_service_daemon";
    char option[] = "--monitor_activity";
    char* argv[] = {program, option, nullptr};
    return ostrel::daemon::run(2, argv);
  });
  while (winsim::machine::last_input_queries() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  winsim::machine::simulate_input();
  monitor.get();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine = std::make_unique<winsim::machine::scoped_machine>();
  winsim::machine::limit_sleep(0);
  stop_dim.reset(
      CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, "StopDim"));
  if (!stop_dim) return 1;
  take_first_input_reading();
  // Nobody reads what the daemon prints.
  return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  set_up_desktop(data[0]);

  std::vector<std::string> words{"ostrel_service_daemon"};
  std::string word;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 1) words.push_back(word);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  const int exit_code = ostrel::daemon::run(static_cast<int>(words.size()), argv.data());
  if (exit_code != 0 && exit_code != 1) __builtin_trap();  // the daemon answers 0 or 1, nothing else
  return 0;
}
