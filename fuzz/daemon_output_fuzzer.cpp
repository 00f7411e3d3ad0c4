// Any output text and exit code of the daemon and of the fan tool into the
// device interface's queries that read them: GET_BRIGHTNESS hands back the
// daemon's output (its text up to the first zero byte), GET_FAN_SPEED the
// tool's exit code. Both programs are a scripted stand-in that writes what
// the input says; the runs go through the real session process runner and
// pipe.
//
// Input: one byte choosing the query, one byte exit code, then the output.
#include "device/device_interface_windows.h"
#include "events/event_queue.h"

#include <winsim/machine.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

std::unique_ptr<winsim::machine::scoped_machine> machine;
std::unique_ptr<demo_helpers_leave_windows> device;

fs::path scripts() { return fs::path(machine->path()) / "fake_daemon"; }

// The stand-in, built beside this program as the daemon, also serves as the
// demo fan tool.
void install_fan_tool() {
  const fs::path own = fs::read_symlink("/proc/self/exe").parent_path();
  const fs::path tools = fs::path(machine->path()) / "drive_c/Program Files (x86)/Ostrel/Ostrel Demo";
  fs::create_directories(tools);
  fs::copy_file(own / "ostrel_service_daemon", tools / "fancontrol_cli.exe", fs::copy_options::overwrite_existing);
}

// The stand-in answers a run by the files named after its first argument.
void script(const std::string& argument, uint8_t exit_code, const std::string& output) {
  std::ofstream(scripts() / (argument + ".exit")) << static_cast<int>(exit_code);
  std::ofstream(scripts() / (argument + ".out"), std::ios::binary) << output;
}

bool ask(ostrel::input_signal signal, std::any value) {
  return device->register_callback(ostrel::input_signal_package{signal, {}, {}, std::move(value), {}});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine = std::make_unique<winsim::machine::scoped_machine>();
  fs::create_directories(scripts());
  install_fan_tool();
  device = std::make_unique<demo_helpers_leave_windows>();
  device->set_event_queue(std::make_shared<ostrel::event_queue>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool brightness = (data[0] & 1) == 0;
  const uint8_t exit_code = data[1];
  const std::string output(reinterpret_cast<const char*>(data) + 2, size - 2);

  if (brightness) {
    script("get_brightness", exit_code, output);
    std::string text = "unchanged";
    if (!ask(ostrel::input_signal::GET_BRIGHTNESS, &text)) __builtin_trap();
    if (text != output.substr(0, output.find('\0'))) __builtin_trap();
  } else {
    script("get", exit_code, output);
    uint32_t speed = 0xDEADBEEF;
    if (!ask(ostrel::input_signal::GET_FAN_SPEED, &speed)) __builtin_trap();
    if (speed != exit_code) __builtin_trap();
  }
  // The simulation keeps a record of every child; forgetting them here gives
  // back what this input took, so the leak check has nothing to look into.
  winsim::machine::reset();
  return 0;
}
