// The child of the process conformance tests. Plain Win32 and the C
// runtime, so it behaves alike on Windows, under Wine and against winsim.
// Does what its arguments say, in order; unknown words are skipped.
//   exit N     exit with N now
//   out TEXT   write TEXT to standard output
//   err TEXT   write TEXT to standard error
//   args       write every argument, argv[0] too, one a line between [ and ]
//   module     write its own module file name
//   sleep MS   sleep MS milliseconds
//   write H    write "x" through handle H (hex), if it is valid here
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void put(FILE* stream, const char* text) {
  std::fputs(text, stream);
  std::fflush(stream);
}

void write_through(const char* hex_handle) {
  const auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::strtoull(hex_handle, nullptr, 16)));
  DWORD written = 0;
  WriteFile(handle, "x", 1, &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (std::strcmp(word, "exit") == 0) return std::atoi(value);
    if (std::strcmp(word, "args") == 0) {
      for (int k = 0; k < argc; ++k) std::printf("[%s]\n", argv[k]);
      std::fflush(stdout);
      continue;
    }
    if (std::strcmp(word, "module") == 0) {
      char name[MAX_PATH * 4];
      const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
      std::fwrite(name, 1, length, stdout);
      std::fflush(stdout);
      continue;
    }
    if (std::strcmp(word, "out") == 0) {
      put(stdout, value);
    } else if (std::strcmp(word, "err") == 0) {
      put(stderr, value);
    } else if (std::strcmp(word, "sleep") == 0) {
      Sleep(static_cast<DWORD>(std::strtoul(value, nullptr, 10)));
    } else if (std::strcmp(word, "write") == 0) {
      write_through(value);
    } else {
      continue;
    }
    ++i;
  }
  return 0;
}
