// Another process for the named-event conformance tests. One action per run:
//   create <name> <manual 0|1> <initial 0|1>  exit code: GetLastError() after
//                                             CreateEventA (0 or 183)
//   set <name>                                exit code: 0, or the error
//   wait <name> <milliseconds>                exit code: 0 signalled, 100 timed
//                                             out, 101 failed, or the error
//                                             of OpenEventA
//   hold <name> <ready event>                 creates <name>, sets <ready>
//                                             and waits on <name> for 10 s
// Exit codes stay below 256: a host process of the native build has no more.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int timed_out = 100;
constexpr int wait_failed = 101;

int wait_result(DWORD result) {
  if (result == WAIT_OBJECT_0) return 0;
  return result == WAIT_TIMEOUT ? timed_out : wait_failed;
}

int create(const char* name, bool manual, bool initial) {
  HANDLE event = CreateEventA(nullptr, manual, initial, name);
  const DWORD error = GetLastError();
  if (event == nullptr) return static_cast<int>(error);
  CloseHandle(event);
  return static_cast<int>(error);
}

int set(const char* name) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) return static_cast<int>(GetLastError());
  const int result = SetEvent(event) ? 0 : static_cast<int>(GetLastError());
  CloseHandle(event);
  return result;
}

int wait(const char* name, DWORD milliseconds) {
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (event == nullptr) return static_cast<int>(GetLastError());
  const int result = wait_result(WaitForSingleObject(event, milliseconds));
  CloseHandle(event);
  return result;
}

int hold(const char* name, const char* ready_name) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
  if (event == nullptr) return static_cast<int>(GetLastError());
  if (set(ready_name) != 0) return static_cast<int>(GetLastError());
  return wait_result(WaitForSingleObject(event, 10000));
}

}  // namespace

int main(int argc, char** argv) {
  const auto is = [&](const char* action, int arguments) {
    return argc == arguments + 2 && std::strcmp(argv[1], action) == 0;
  };
  if (is("create", 3)) return create(argv[2], std::atoi(argv[3]) != 0, std::atoi(argv[4]) != 0);
  if (is("set", 1)) return set(argv[2]);
  if (is("wait", 2)) return wait(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
  if (is("hold", 2)) return hold(argv[2], argv[3]);
  return ERROR_INVALID_PARAMETER;
}
