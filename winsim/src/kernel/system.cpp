// Last error, time, process and thread ids, memory, fail-fast.
#include "kernel/kernel_object.h"

#include <winsim/machine.h>

#include <unistd.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {
thread_local DWORD last_error = 0;
const auto boot_time = std::chrono::steady_clock::now() - std::chrono::hours(1);

std::atomic<DWORD>& sleep_limit() {
  static std::atomic<DWORD>* limit = [] {
    auto* created = new std::atomic<DWORD>(INFINITE);
    winsim::detail::on_reset([created] { *created = INFINITE; });
    return created;
  }();
  return *limit;
}
}  // namespace

DWORD WINAPI GetLastError() { return last_error; }
void WINAPI SetLastError(DWORD error) { last_error = error; }

ULONGLONG WINAPI GetTickCount64() {
  return static_cast<ULONGLONG>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - boot_time).count());
}

DWORD WINAPI GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void WINAPI Sleep(DWORD milliseconds) {
  const DWORD limit = sleep_limit().load();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds < limit ? milliseconds : limit));
}

void winsim::machine::limit_sleep(DWORD milliseconds) { sleep_limit() = milliseconds; }

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD WINAPI GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

void WINAPI RaiseFailFastException(PEXCEPTION_RECORD, PCONTEXT, DWORD) {
  // Like the real fail-fast: no handlers, no unwinding, no exit code of 0.
  std::abort();
}
