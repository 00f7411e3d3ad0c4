// Anonymous pipes: CreatePipe over a host pipe, inheritance flags,
// PeekNamedPipe, ReadFile and WriteFile with Windows results (a pipe whose
// writers are all gone reports ERROR_BROKEN_PIPE once it is empty; one whose
// readers are gone refuses writes with ERROR_NO_DATA).
#include "process/process_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

using winsim::detail::pipe_end;

// A pipe made with size 0 gets the system's default buffer, 4 KiB as on
// Windows, so that a child writing more blocks as it would there.
constexpr int default_pipe_size = 4096;

bool fail_if_injected(const char* function) {
  DWORD error = 0;
  if (!winsim::detail::should_fail(function, &error)) return false;
  SetLastError(error);
  return true;
}

// Bytes waiting in the host pipe right now.
DWORD host_available(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<DWORD>(n);
}

// True when no writer is left and nothing more can come.
bool writers_gone(int fd) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0 && host_available(fd) == 0;
}

// A write to a pipe without readers fails with EPIPE instead of raising
// SIGPIPE, which would end the process.
ssize_t write_without_signal(int fd, const void* data, size_t size) {
  sigset_t pipe_signal;
  sigset_t previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  if (n < 0 && error == EPIPE) {
    const timespec no_wait{0, 0};
    ::sigtimedwait(&pipe_signal, nullptr, &no_wait);  // take the signal this write raised
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return n;
}

std::shared_ptr<pipe_end> read_end(HANDLE handle) {
  auto end = winsim::detail::lookup_handle_as<pipe_end>(handle);
  if (!end) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!end->read_side()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return end;
}

}  // namespace

BOOL WINAPI CreatePipe(PHANDLE read_pipe, PHANDLE write_pipe, LPSECURITY_ATTRIBUTES attributes, DWORD size) {
  if (fail_if_injected("CreatePipe")) return FALSE;
  if (read_pipe == nullptr || write_pipe == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const int wanted = size == 0 ? default_pipe_size : static_cast<int>(std::min<DWORD>(size, 1u << 20));
  ::fcntl(fds[1], F_SETPIPE_SZ, std::max(wanted, default_pipe_size));
  const bool inherit = attributes != nullptr && attributes->bInheritHandle != FALSE;
  *read_pipe = winsim::detail::insert_handle(std::make_shared<pipe_end>(fds[0], true, inherit));
  *write_pipe = winsim::detail::insert_handle(std::make_shared<pipe_end>(fds[1], false, inherit));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE object, DWORD mask, DWORD flags) {
  if (fail_if_injected("SetHandleInformation")) return FALSE;
  auto o = winsim::detail::lookup_handle(object);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Only pipe ends are ever handed to a child; for other objects the flag
  // has nothing to act on.
  if (auto end = std::dynamic_pointer_cast<pipe_end>(o); end && (mask & HANDLE_FLAG_INHERIT)) {
    end->set_inheritable((flags & HANDLE_FLAG_INHERIT) != 0);
  }
  return TRUE;
}

BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                          LPDWORD total_bytes_available, LPDWORD bytes_left_this_message) {
  if (fail_if_injected("PeekNamedPipe")) return FALSE;
  auto end = read_end(pipe);
  if (!end) return FALSE;
  std::lock_guard<std::mutex> lock(end->mutex);
  DWORD in_host = host_available(end->fd());
  if (end->peeked.empty() && in_host == 0 && writers_gone(end->fd())) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  if (buffer != nullptr && buffer_size > end->peeked.size() && in_host > 0) {
    // Host pipes cannot be peeked: move what is there aside for ReadFile.
    std::string chunk(in_host, '\0');
    const ssize_t n = ::read(end->fd(), chunk.data(), chunk.size());
    if (n > 0) end->peeked.append(chunk.data(), static_cast<size_t>(n));
    in_host = host_available(end->fd());
  }
  const DWORD copied = buffer != nullptr ? std::min<DWORD>(buffer_size, static_cast<DWORD>(end->peeked.size())) : 0;
  if (copied > 0) std::memcpy(buffer, end->peeked.data(), copied);
  if (bytes_read != nullptr) *bytes_read = copied;
  if (total_bytes_available != nullptr) *total_bytes_available = static_cast<DWORD>(end->peeked.size()) + in_host;
  if (bytes_left_this_message != nullptr) *bytes_left_this_message = 0;  // byte-mode pipe
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read, LPOVERLAPPED) {
  if (bytes_read != nullptr) *bytes_read = 0;
  if (fail_if_injected("ReadFile")) return FALSE;
  auto end = read_end(file);
  if (!end) return FALSE;
  if (bytes_to_read == 0) return TRUE;
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(end->mutex);
    if (!end->peeked.empty()) {
      const DWORD n = std::min<DWORD>(bytes_to_read, static_cast<DWORD>(end->peeked.size()));
      std::memcpy(buffer, end->peeked.data(), n);
      end->peeked.erase(0, n);
      if (bytes_read != nullptr) *bytes_read = n;
      return TRUE;
    }
  }
  // A byte-mode pipe read returns what is there, waiting only while it is empty.
  ssize_t n;
  do {
    n = ::read(end->fd(), buffer, bytes_to_read);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (n == 0) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written, LPOVERLAPPED) {
  // Zero before any work or error checking, as documented.
  if (bytes_written != nullptr) *bytes_written = 0;
  if (fail_if_injected("WriteFile")) return FALSE;
  auto end = winsim::detail::lookup_handle_as<pipe_end>(file);
  if (!end) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (end->read_side()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (bytes_to_write == 0) return TRUE;
  if (buffer == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  // A blocking pipe write returns when everything is in the pipe.
  const auto* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < bytes_to_write) {
    const ssize_t n = write_without_signal(end->fd(), bytes + done, bytes_to_write - done);
    if (n < 0) {
      SetLastError(errno == EPIPE ? ERROR_NO_DATA : ERROR_INVALID_HANDLE);
      return FALSE;
    }
    done += static_cast<DWORD>(n);
    if (bytes_written != nullptr) *bytes_written = done;
  }
  return TRUE;
}
