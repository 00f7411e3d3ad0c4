// A child program for the process tests: does what its arguments say, in
// order, then exits. Plain host code, so it behaves the same whatever
// started it.
//   --out TEXT    write TEXT to standard output
//   --err TEXT    write TEXT to standard error
//   --nul         write one zero byte to standard output
//   --bytes N     write N bytes 'x' to standard output
//   --env NAME    write the value of environment variable NAME
//   --args        write every argument, one per line, between [ and ]
//   --sleep MS    sleep
//   --exit N      exit with N now
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

void put(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--out") {
      put(1, value);
      ++i;
    } else if (option == "--err") {
      put(2, value);
      ++i;
    } else if (option == "--nul") {
      put(1, std::string(1, '\0'));
    } else if (option == "--bytes") {
      put(1, std::string(std::strtoul(value, nullptr, 10), 'x'));
      ++i;
    } else if (option == "--env") {
      const char* v = std::getenv(value);
      put(1, v ? v : "");
      ++i;
    } else if (option == "--args") {
      for (int k = 0; k < argc; ++k) put(1, std::string("[") + argv[k] + "]\n");
    } else if (option == "--sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(value, nullptr, 10)));
      ++i;
    } else if (option == "--exit") {
      return static_cast<int>(std::strtol(value, nullptr, 10));
    }
  }
  return 0;
}
