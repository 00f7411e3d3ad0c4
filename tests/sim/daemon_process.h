// Runs the built daemon as a real child process, the way the service does,
// and keeps its standard output and standard error apart so that tests can
// check each exactly.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ostrel::test {

class daemon_process {
 public:
  using clock = std::chrono::steady_clock;

  // `extra_environment` entries ("NAME=value") are added to this process's.
  explicit daemon_process(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& extra_environment = {}) {
    std::vector<std::string> words{DAEMON_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment(extra_environment);
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const int spawned = ::posix_spawn(&pid_, words[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + words[0]);
    }
    started_ = clock::now();
  }

  ~daemon_process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  daemon_process(const daemon_process&) = delete;
  daemon_process& operator=(const daemon_process&) = delete;

  // Waits for the child to end by itself; false when it is still running.
  bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = clock::now() + timeout;
    while (!exited_) {
      drain();
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        ended_ = clock::now();
        exited_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        break;
      }
      if (clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    drain();
    return true;
  }

  // Waits until standard output holds `text`; false at the time-out.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
      drain();
      if (out_text_.find(text) != std::string::npos) return true;
      if (clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  bool running() {
    if (exited_) return false;
    return !wait(std::chrono::milliseconds(0));
  }

  // Ends the child the way the service's runner does.
  void terminate() {
    if (exited_) return;
    ::kill(pid_, SIGKILL);
    wait();
  }

  int pid() const { return pid_; }
  int exit_code() const { return exit_code_; }
  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }
  clock::time_point started() const { return started_; }
  clock::time_point ended() const { return ended_; }

 private:
  void drain() {
    read_available(out_, out_text_);
    read_available(err_, err_text_);
  }

  static void read_available(int fd, std::string& text) {
    for (;;) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 0) <= 0 || !(ready.revents & (POLLIN | POLLHUP))) return;
      char buffer[4096];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return;
      text.append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
  std::string out_text_;
  std::string err_text_;
  clock::time_point started_{};
  clock::time_point ended_{};
};

struct daemon_result {
  int exit_code;
  std::string out;
  std::string err;
};

inline bool operator==(const daemon_result& a, const daemon_result& b) {
  return a.exit_code == b.exit_code && a.out == b.out && a.err == b.err;
}

inline void PrintTo(const daemon_result& r, std::ostream* os) {
  *os << "{exit code " << r.exit_code << ", out \"" << r.out << "\", err \"" << r.err << "\"}";
}

// Runs the daemon to its end.
inline daemon_result run_daemon(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& extra_environment = {}) {
  daemon_process daemon(arguments, extra_environment);
  if (!daemon.wait()) return {-1, daemon.out(), daemon.err() + "<still running>"};
  return {daemon.exit_code(), daemon.out(), daemon.err()};
}

}  // namespace ostrel::test
