// Real child processes: CreateProcessA / CreateProcessAsUserA start a host
// program, process handles are signalled when it exits, GetExitCodeProcess
// and TerminateProcess behave as on Windows. A reaper thread per child waits
// for its exit; the reapers are joined when they are done and at machine
// reset, which also ends any child still running (the machine it ran on is
// gone).
#include "process/process_internal.h"
#include "desktop/desktop_state.h"
#include "kernel/simulation_threads.h"
#include "terminal/token.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace winsim::detail {
namespace {

constexpr DWORD error_directory = 267;  // ERROR_DIRECTORY: the directory name is invalid

struct child {
  pid_t pid = 0;
  // Guarded by wait_mutex().
  bool exited = false;
  DWORD exit_code = STILL_ACTIVE;
  bool terminate_requested = false;
  DWORD terminate_code = 0;
  // Guarded by the registry's mutex.
  std::shared_ptr<machine::process_record> record;
  std::thread reaper;
  std::atomic<bool> reaper_done{false};
  std::atomic<int> open_handles{0};  // process and thread handle objects
};

void release_child(const std::shared_ptr<child>& c);

class process_object : public kernel_object {
 public:
  process_object(std::shared_ptr<child> c, bool is_thread) : child_(std::move(c)), is_thread_(is_thread) {
    ++child_->open_handles;
  }
  ~process_object() override {
    if (--child_->open_handles == 0) release_child(child_);
  }
  const char* type_name() const override { return is_thread_ ? "Thread" : "Process"; }
  bool waitable() const override { return true; }
  bool signaled() const override { return child_->exited; }
  bool is_thread() const { return is_thread_; }
  child& target() { return *child_; }

 private:
  std::shared_ptr<child> child_;
  const bool is_thread_;
};

struct registry {
  std::mutex mutex;  // may be taken while wait_mutex() is held, never the other way round
  std::condition_variable changed;
  std::vector<std::shared_ptr<machine::process_record>> journal;
  std::vector<std::shared_ptr<child>> live;  // reapers not joined yet
  uint64_t order = 0;
};

void end_all_children();

registry& processes() {
  static registry* r = [] {
    auto* created = new registry;
    on_reset(end_all_children);
    return created;
  }();
  return *r;
}

// Windows exit codes for deaths that did not come from TerminateProcess.
DWORD exit_code_for_signal(int signal) {
  switch (signal) {
    case SIGABRT:
      return 3;  // what abort() leaves on Windows
    case SIGSEGV:
    case SIGBUS:
      return 0xC0000005;  // STATUS_ACCESS_VIOLATION
    case SIGILL:
      return 0xC000001D;  // STATUS_ILLEGAL_INSTRUCTION
    case SIGFPE:
      return 0xC0000094;  // STATUS_INTEGER_DIVIDE_BY_ZERO
    case SIGINT:
      return 0xC000013A;  // STATUS_CONTROL_C_EXIT
    default:
      return 1;
  }
}

void reap(child* c) {
  const simulation_thread the_kernel;
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_PID, static_cast<id_t>(c->pid), &info, WEXITED | WNOWAIT);
  } while (r != 0 && errno == EINTR);
  // Windows destroys the windows of a process that ends before its
  // handle is signalled.
  desktop::end_windows_of(static_cast<int>(c->pid));
  DWORD code = 1;
  bool killed_on_request = false;
  {
    std::lock_guard<std::mutex> lock(wait_mutex());
    if (r == 0 && info.si_code == CLD_EXITED) {
      code = static_cast<DWORD>(info.si_status);
    } else if (r == 0) {
      killed_on_request = c->terminate_requested;
      code = killed_on_request ? c->terminate_code : exit_code_for_signal(info.si_status);
    }
    c->exit_code = code;
    c->exited = true;
    // The zombie is reaped only now, under the lock TerminateProcess checks,
    // so a signal never reaches a reused process id.
    ::waitpid(c->pid, nullptr, WNOHANG);
    // The journal says so before any waiter wakes (lock order: wait, then registry).
    auto& reg = processes();
    {
      std::lock_guard<std::mutex> registry_lock(reg.mutex);
      c->record->running = false;
      c->record->ended_at = std::chrono::steady_clock::now();
      c->record->exit_code = code;
      c->record->terminated = killed_on_request;
      reg.changed.notify_all();
    }
    notify_waiters();
  }
  c->reaper_done = true;
}

// Joins the reapers that have finished, outside the registry lock.
void join_finished_reapers() {
  auto& reg = processes();
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (auto it = reg.live.begin(); it != reg.live.end();) {
      if ((*it)->reaper_done) {
        finished.push_back(std::move((*it)->reaper));
        it = reg.live.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : finished) t.join();
}

// The last handle to a child is gone: an ended (or terminated, so ending)
// child's reaper is joined now rather than at the next start or reset, so a
// program leaves no finished thread behind.
void release_child(const std::shared_ptr<child>& c) {
  bool ending;
  {
    std::lock_guard<std::mutex> lock(wait_mutex());
    ending = c->exited || c->terminate_requested;
  }
  if (!ending) return;
  std::thread reaper;
  auto& reg = processes();
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (auto it = reg.live.begin(); it != reg.live.end(); ++it) {
      if (it->get() == c.get()) {
        reaper = std::move(c->reaper);
        reg.live.erase(it);
        break;
      }
    }
  }
  if (reaper.joinable()) reaper.join();
}

void end_all_children() {
  auto& reg = processes();
  std::vector<std::shared_ptr<child>> all;
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    all.swap(reg.live);
    reg.journal.clear();
  }
  for (auto& c : all) {
    std::lock_guard<std::mutex> lock(wait_mutex());
    if (!c->exited) ::kill(c->pid, SIGKILL);
  }
  for (auto& c : all) c->reaper.join();
}

DWORD error_for_spawn(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case E2BIG:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// The child's environment: the given ANSI block or ours, always with the
// machine directory so the child runs on the same simulated laptop, and with
// the handles it inherited (and no others).
std::vector<std::string> child_environment(LPVOID block, const std::string& inherited) {
  std::vector<std::string> env;
  if (block != nullptr) {
    for (const char* p = static_cast<const char*>(block); *p != '\0'; p += std::strlen(p) + 1) env.emplace_back(p);
  } else {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  }
  const auto set = [&env](const std::string& name, const std::string& value) {
    const std::string prefix = name + "=";
    env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }),
              env.end());
    if (!value.empty()) env.push_back(prefix + value);
  };
  const std::string machine = machine_directory();
  if (!machine.empty()) set("WINSIM_MACHINE", machine);
  set(inherited_handles_variable, inherited);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// A pipe end the child inherits, under its handle value.
struct inherited_end {
  HANDLE value;
  std::shared_ptr<pipe_end> end;
};

// The handle list of an extended startup information; false (with *error)
// when the record is too short to hold one.
bool extended_handle_list(DWORD creation_flags, LPSTARTUPINFOA startup_info, bool* has_list,
                          std::vector<HANDLE>* listed, DWORD* error) {
  *has_list = false;
  if ((creation_flags & EXTENDED_STARTUPINFO_PRESENT) == 0) return true;
  if (startup_info->cb < sizeof(STARTUPINFOEXA)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  *has_list = attribute_handle_list(reinterpret_cast<LPSTARTUPINFOEXA>(startup_info)->lpAttributeList, listed);
  return true;
}

// The handles a child inherits, chosen as Windows does: none without
// bInheritHandles; with it, exactly the listed ones when there is a handle
// list (each open and inheritable), otherwise every inheritable handle of
// this process, whichever thread made it. Only pipe ends can cross into a
// host process; other objects stay behind.
bool choose_inherited(BOOL inherit_handles, bool has_list, const std::vector<HANDLE>& listed,
                      std::vector<inherited_end>* chosen, DWORD* error) {
  if (!inherit_handles) return true;
  if (!has_list) {
    for (const auto& [value, object] : open_handles()) {
      auto end = std::dynamic_pointer_cast<pipe_end>(object);
      if (end && end->inheritable()) chosen->push_back({value, end});
    }
    return true;
  }
  for (HANDLE value : listed) {
    auto object = lookup_handle(value);
    if (!object) {
      *error = ERROR_INVALID_HANDLE;
      return false;
    }
    auto end = std::dynamic_pointer_cast<pipe_end>(object);
    if (end && !end->inheritable()) {
      *error = ERROR_INVALID_PARAMETER;  // listed handles must be inheritable
      return false;
    }
    const bool seen = std::any_of(chosen->begin(), chosen->end(), [&](const inherited_end& c) { return c.value == value; });
    if (end && !seen) chosen->push_back({value, end});
  }
  return true;
}

// Where a standard handle points among the inherited ones, or -1: a handle
// the child did not inherit is not valid in the child.
int std_index(HANDLE handle, const std::vector<inherited_end>& chosen) {
  for (size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i].value == handle) return static_cast<int>(i);
  }
  return -1;
}

class spawn_setup {
 public:
  spawn_setup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  ~spawn_setup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// The child's descriptors: its standard handles on 0 to 2 (/dev/null where
// it has none), each inherited handle on 3 and up, nothing else. The
// inherited descriptors are first parked above all of them, so that placing
// one never overwrites another not yet placed.
void plan_descriptors(posix_spawn_file_actions_t& actions, const std::vector<inherited_end>& chosen,
                      const std::array<int, 3>& std_indices, bool console, std::vector<inherited_handle>* passed) {
  int highest = 2;
  for (const auto& c : chosen) highest = std::max(highest, c.end->fd());
  const auto parked = [highest](size_t i) { return highest + 1 + static_cast<int>(i); };
  for (size_t i = 0; i < chosen.size(); ++i) {
    ::posix_spawn_file_actions_adddup2(&actions, chosen[i].end->fd(), parked(i));
  }
  for (int fd = 0; fd <= 2; ++fd) {
    const int index = std_indices[static_cast<size_t>(fd)];
    if (index >= 0) {
      ::posix_spawn_file_actions_adddup2(&actions, parked(static_cast<size_t>(index)), fd);
    } else if (fd == 0) {
      ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    } else if (!console) {
      ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    }
  }
  for (size_t i = 0; i < chosen.size(); ++i) {
    const int fd = 3 + static_cast<int>(i);
    ::posix_spawn_file_actions_adddup2(&actions, parked(i), fd);
    passed->push_back({chosen[i].value, fd, chosen[i].end->read_side()});
  }
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3 + static_cast<int>(chosen.size()));
}

BOOL create_process(const char* function, HANDLE token, LPCSTR application_name, LPSTR command_line,
                    BOOL inherit_handles, DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                    LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION process_information) {
  DWORD error = 0;
  if (should_fail(function, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (startup_info == nullptr || process_information == nullptr ||
      (application_name == nullptr && command_line == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool as_user = token != nullptr;
  if (as_user && !lookup_handle_as<token_object>(token)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool has_list = false;
  std::vector<HANDLE> listed;
  std::vector<inherited_end> chosen;
  if (!extended_handle_list(creation_flags, startup_info, &has_list, &listed, &error) ||
      !choose_inherited(inherit_handles, has_list, listed, &chosen, &error)) {
    SetLastError(error);
    return FALSE;
  }
  const std::string line = command_line != nullptr ? std::string(command_line) : std::string(application_name);
  error = ERROR_FILE_NOT_FOUND;
  const std::string program = find_program(application_name, line, &error);
  if (program.empty()) {
    SetLastError(error);
    return FALSE;
  }
  std::string directory;
  if (current_directory != nullptr) {
    directory = machine::host_path(current_directory);
    struct stat st {};
    if (directory.empty() || ::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(error_directory);
      return FALSE;
    }
  }

  std::vector<std::string> arguments = machine::split_command_line(line);
  std::vector<std::string> exec_arguments = arguments;
  std::string executable = program;
  const size_t n = program.size();
  if (n > 4 && (strcasecmp(program.c_str() + n - 4, ".bat") == 0 || strcasecmp(program.c_str() + n - 4, ".cmd") == 0)) {
    // Batch files run in the command interpreter; the host shell stands in.
    exec_arguments.front() = program;
    exec_arguments.insert(exec_arguments.begin(), "/bin/sh");
    executable = "/bin/sh";
  }
  const bool use_std = (startup_info->dwFlags & STARTF_USESTDHANDLES) != 0;
  const int in = use_std ? std_index(startup_info->hStdInput, chosen) : -1;
  const int out = use_std ? std_index(startup_info->hStdOutput, chosen) : -1;
  const int err = use_std ? std_index(startup_info->hStdError, chosen) : -1;
  // Without a console (CREATE_NO_WINDOW, DETACHED_PROCESS) a child whose
  // handles are not redirected writes nowhere.
  const bool console = !use_std && (creation_flags & (CREATE_NO_WINDOW | DETACHED_PROCESS)) == 0;

  spawn_setup setup;
  std::vector<inherited_handle> passed;
  plan_descriptors(setup.actions_, chosen, {in, out, err}, console, &passed);
  std::vector<std::string> env = child_environment(environment, describe_inherited_handles(passed));
  if (!directory.empty()) ::posix_spawn_file_actions_addchdir_np(&setup.actions_, directory.c_str());
  sigset_t signals;
  sigemptyset(&signals);
  ::posix_spawnattr_setsigmask(&setup.attributes_, &signals);
  sigfillset(&signals);
  sigdelset(&signals, SIGKILL);
  sigdelset(&signals, SIGSTOP);
  ::posix_spawnattr_setsigdefault(&setup.attributes_, &signals);
  ::posix_spawnattr_setflags(&setup.attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  join_finished_reapers();
  auto c = std::make_shared<child>();
  auto argv = pointers(exec_arguments);
  auto envp = pointers(env);
  const int spawned = ::posix_spawn(&c->pid, executable.c_str(), &setup.actions_, &setup.attributes_, argv.data(),
                                    envp.data());
  if (spawned != 0) {
    SetLastError(error_for_spawn(spawned));
    return FALSE;
  }

  auto record = std::make_shared<machine::process_record>();
  record->started_at = std::chrono::steady_clock::now();
  record->id = static_cast<DWORD>(c->pid);
  record->command_line = line;
  record->program = program;
  record->arguments = arguments;
  record->with_user_token = as_user;
  record->desktop = startup_info->lpDesktop != nullptr ? startup_info->lpDesktop : "";
  record->creation_flags = creation_flags;
  record->std_handles_redirected = out >= 0 || err >= 0;
  for (const auto& c : chosen) record->inherited_handles.push_back(c.value);
  auto& reg = processes();
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    record->start_order = ++reg.order;
    c->record = record;
    reg.journal.push_back(record);
    c->reaper = std::thread(reap, c.get());
    reg.live.push_back(c);
  }
  process_information->hProcess = insert_handle(std::make_shared<process_object>(c, false));
  process_information->hThread = insert_handle(std::make_shared<process_object>(c, true));
  process_information->dwProcessId = static_cast<DWORD>(c->pid);
  process_information->dwThreadId = static_cast<DWORD>(c->pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::shared_ptr<process_object> process_handle(HANDLE handle) {
  auto p = lookup_handle_as<process_object>(handle);
  if (!p || p->is_thread()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return p;
}

}  // namespace
}  // namespace winsim::detail

using winsim::detail::process_handle;

BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                           LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information) {
  return winsim::detail::create_process("CreateProcessA", nullptr, application_name, command_line, inherit_handles,
                                        creation_flags, environment, current_directory, startup_info,
                                        process_information);
}

BOOL WINAPI CreateProcessAsUserA(HANDLE token, LPCSTR application_name, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                                 LPSECURITY_ATTRIBUTES, BOOL inherit_handles, DWORD creation_flags,
                                 LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                                 LPPROCESS_INFORMATION process_information) {
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return winsim::detail::create_process("CreateProcessAsUserA", token, application_name, command_line,
                                        inherit_handles, creation_flags, environment, current_directory,
                                        startup_info, process_information);
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  DWORD error = 0;
  if (winsim::detail::should_fail("GetExitCodeProcess", &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto p = process_handle(process);
  if (!p) return FALSE;
  if (exit_code == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(winsim::detail::wait_mutex());
  *exit_code = p->target().exited ? p->target().exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code) {
  DWORD error = 0;
  if (winsim::detail::should_fail("TerminateProcess", &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto p = process_handle(process);
  if (!p) return FALSE;
  auto& c = p->target();
  {
    std::lock_guard<std::mutex> lock(winsim::detail::wait_mutex());
    // A process that has already ended cannot be terminated.
    if (c.exited) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (!c.terminate_requested) {
      c.terminate_requested = true;
      c.terminate_code = exit_code;
    }
    ::kill(c.pid, SIGKILL);
  }
  auto& reg = winsim::detail::processes();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (c.record->terminate_order == 0) c.record->terminate_order = ++reg.order;
  return TRUE;
}

namespace winsim::machine {

std::vector<process_record> processes() {
  auto& reg = detail::processes();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::vector<process_record> result;
  for (const auto& r : reg.journal) result.push_back(*r);
  return result;
}

size_t running_process_count() {
  auto& reg = detail::processes();
  std::lock_guard<std::mutex> lock(reg.mutex);
  size_t n = 0;
  for (const auto& r : reg.journal) n += r->running ? 1 : 0;
  return n;
}

void forget_ended_processes() {
  auto& reg = detail::processes();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto& journal = reg.journal;
  journal.erase(std::remove_if(journal.begin(), journal.end(), [](const auto& r) { return !r->running; }),
                journal.end());
}

bool wait_for_no_running_processes(DWORD timeout_ms) {
  auto& reg = detail::processes();
  std::unique_lock<std::mutex> lock(reg.mutex);
  return reg.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const auto& r : reg.journal) {
      if (r->running) return false;
    }
    return true;
  });
}

}  // namespace winsim::machine
