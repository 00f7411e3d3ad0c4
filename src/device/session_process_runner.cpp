#include "device/session_process_runner.h"

#include "logging/trace_line.h"
#include "system_error_text.h"

#include <wtsapi32.h>

#include <cstddef>
#include <vector>

namespace ostrel {
namespace {

using logging::log_level;
using logging::scope_trace;
using logging::trace_line;

constexpr const char* tag = "runner";
constexpr DWORD no_console_session = 0xFFFFFFFF;

const char* token_text(bool with_token) { return with_token ? "with user token\n" : "without user token\n"; }

// A process attribute list naming the only handles a child may inherit.
// `handles` must outlive it. Empty (get() null) when it could not be built.
class inherit_only {
 public:
  inherit_only(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    // Fails by design: this call only tells the size.
    ::InitializeProcThreadAttributeList(/*lpAttributeList=*/nullptr, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size);
    if (size == 0) return;
    buffer_.resize((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!::InitializeProcThreadAttributeList(list, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size)) return;
    initialized_ = list;
    if (::UpdateProcThreadAttribute(list, /*dwFlags=*/0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                    count * sizeof(HANDLE), /*lpPreviousValue=*/nullptr, /*lpReturnSize=*/nullptr)) {
      list_ = list;
    }
  }
  ~inherit_only() {
    if (initialized_ != nullptr) ::DeleteProcThreadAttributeList(initialized_);
  }
  inherit_only(const inherit_only&) = delete;
  inherit_only& operator=(const inherit_only&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<std::max_align_t> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST initialized_ = nullptr;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

winprocess::winprocess(HANDLE cancel_event) : cancel_event_(cancel_event) {
  startup_info_.StartupInfo.cb = sizeof(STARTUPINFOEXA);
  // The interactive window station and desktop of the console session.
  static char desktop[] = "winsta0\\default";
  startup_info_.StartupInfo.lpDesktop = desktop;
  pipe_security_.nLength = sizeof(SECURITY_ATTRIBUTES);
  pipe_security_.lpSecurityDescriptor = nullptr;
  pipe_security_.bInheritHandle = TRUE;

  const DWORD session_id = ::WTSGetActiveConsoleSessionId();
  if (session_id == no_console_session) {
    trace_line(log_level::info, tag) << "Failed to get active console session id\n";
    return;
  }
  unique_handle token;
  if (::WTSQueryUserToken(session_id, token.put())) user_token_.emplace(std::move(token));
}

winprocess::~winprocess() {
  read_end_.reset();
  write_end_.reset();
  user_token_.reset();
  process_.reset();
  thread_.reset();
}

void winprocess::make_output_pipe() {
  if (!::CreatePipe(read_end_.put(), write_end_.put(), &pipe_security_, /*nSize=*/0)) {
    trace_line(log_level::error, tag) << "Failed to create pipe for sub process\n";
  } else if (!::SetHandleInformation(read_end_.get(), HANDLE_FLAG_INHERIT, /*dwFlags=*/0)) {
    // The child would hold the parent's end open; run without capture instead.
    trace_line(log_level::error, tag) << "Failed to set handle information for sub process\n";
  } else {
    startup_info_.StartupInfo.hStdOutput = write_end_.get();
    startup_info_.StartupInfo.hStdError = write_end_.get();
    startup_info_.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
  }
}

// Other threads start children at the same time, each with an inheritable
// pipe end of its own; the handle list keeps this child to its own end, so
// no long-lived child holds (or writes into) another run's output.
BOOL winprocess::start_child(std::string& command, PROCESS_INFORMATION* info) {
  HANDLE own_end[] = {write_end_.get()};
  inherit_only list(own_end, 1);
  STARTUPINFOA& startup = startup_info_.StartupInfo;
  DWORD flags = CREATE_NO_WINDOW;
  BOOL inherit = FALSE;
  if ((startup.dwFlags & STARTF_USESTDHANDLES) != 0) {
    if (list.get() != nullptr) {
      startup_info_.lpAttributeList = list.get();
      flags |= EXTENDED_STARTUPINFO_PRESENT;
      inherit = TRUE;
    } else {
      // Inheriting without the list would hand the child every run's pipe.
      trace_line(log_level::error, tag) << "Failed to limit the handles of sub process\n";
      startup.dwFlags &= ~static_cast<DWORD>(STARTF_USESTDHANDLES);
      startup.hStdOutput = startup.hStdError = nullptr;
    }
  }
  BOOL started;
  if (user_token_) {
    started = ::CreateProcessAsUserA(user_token_->get(), /*lpApplicationName=*/nullptr, command.data(),
                                     /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr, inherit, flags,
                                     /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, info);
  } else {
    started = ::CreateProcessA(/*lpApplicationName=*/nullptr, command.data(), /*lpProcessAttributes=*/nullptr,
                               /*lpThreadAttributes=*/nullptr, inherit, flags, /*lpEnvironment=*/nullptr,
                               /*lpCurrentDirectory=*/nullptr, &startup, info);
  }
  startup_info_.lpAttributeList = nullptr;  // the list ends with this call
  return started;
}

bool winprocess::exec(std::string command, std::string* output) {
  scope_trace trace(log_level::info, tag, "exec");
  make_output_pipe();

  const bool with_token = user_token_.has_value();
  trace_line(log_level::info, tag) << "Executing [" << command << "] " << token_text(with_token);
  PROCESS_INFORMATION info{};
  // A child can run before the start call returns, so its time counts from the call.
  const auto start_call = std::chrono::steady_clock::now();
  const BOOL started = start_child(command, &info);
  if (!started) {
    trace_line(log_level::error, tag) << "Failed to create process [" << command << "] " << token_text(with_token);
    return false;
  }
  process_.reset(info.hProcess);
  thread_.reset(info.hThread);

  trace_line(log_level::info, tag) << "Waiting for process to exit\n";
  const bool ended_by_itself = wait_for_process();
  run_time_ = std::chrono::steady_clock::now() - start_call;
  if (ended_by_itself) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process_.get(), &code)) {
      exit_code_ = code;
      has_exit_code_ = true;
    }
    trace_line(log_level::info, tag) << "Process exited with code " << exit_code_ << "\n";
    trace_line(log_level::info, tag) << "Closing handles\n";
    if (output != nullptr) {
      trace_line(log_level::info, tag) << "Getting output\n";
      *output = read_output();
    }
    return true;
  }

  trace_line(log_level::info, tag) << "WARNING: Process did not exit by itself. Terminating\n";
  if (::TerminateProcess(process_.get(), /*uExitCode=*/0)) return true;
  const std::string reason = system_error_text(::GetLastError());
  trace_line(log_level::error, tag) << "WARNING: Failed to terminate process [" << command
                                    << "]. With error: " << reason;
  return false;
}

bool winprocess::wait_for_process() {
  scope_trace trace(log_level::info, tag, "wait_for_process");
  DWORD result;
  if (cancel_event_ != nullptr) {
    trace_line(log_level::info, tag) << "Waiting for process with cancel handle\n";
    const HANDLE handles[] = {process_.get(), cancel_event_};
    result = ::WaitForMultipleObjects(2, handles, /*bWaitAll=*/FALSE, INFINITE);
  } else {
    trace_line(log_level::info, tag) << "Waiting for process without cancel handle\n";
    result = ::WaitForSingleObject(process_.get(), wait_limit_ms);
  }
  trace_line(log_level::info, tag) << "Wait result: " << result << "\n";
  switch (result) {
    case WAIT_FAILED:
      trace_line(log_level::error, tag) << "process: wait failed\n";
      return false;
    case WAIT_TIMEOUT:
      trace_line(log_level::info, tag) << "process: wait timeout\n";
      return false;
    case WAIT_OBJECT_0:
      trace_line(log_level::info, tag) << "process: WAIT_OBJECT_0:";
      return true;
    default:  // the cancel event
      return false;
  }
}

// Only what lies in the pipe once the child has ended, in one read.
std::string winprocess::read_output() {
  if (!read_end_) return {};
  DWORD available = 0;
  if (!::PeekNamedPipe(read_end_.get(), /*lpBuffer=*/nullptr, /*nBufferSize=*/0, /*lpBytesRead=*/nullptr,
                       &available, /*lpBytesLeftThisMessage=*/nullptr) ||
      available == 0) {
    return {};
  }
  std::vector<char> buffer(static_cast<size_t>(available) + 1, '\0');
  DWORD read = 0;
  if (!::ReadFile(read_end_.get(), buffer.data(), available, &read, /*lpOverlapped=*/nullptr)) return {};
  return std::string(buffer.data());
}

}  // namespace ostrel
