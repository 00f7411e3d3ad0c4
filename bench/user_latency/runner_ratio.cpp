#include "runner_ratio.h"

#include "device/session_commands.h"
#include "samples.h"

#include <winsim/machine.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace user_latency {
namespace {

using clock_type = std::chrono::steady_clock;

const char* const query = "--has_external_display";

// Started with its output on a pipe, like the runner's child, and waited for.
bool bare_run(const std::string& program, double* took_ms) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  std::string name = program;
  std::string option = query;
  char* argv[] = {name.data(), option.data(), nullptr};
  const auto start = clock_type::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  int status = 0;
  const bool ended = spawned == 0 && ::waitpid(pid, &status, 0) == pid;
  *took_ms = milliseconds_between(start, clock_type::now());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  return ended && WIFEXITED(status);
}

}  // namespace

runner_round_trips measure_runner_round_trips(int runs) {
  runner_round_trips r;
  std::string program;  // the file the runner's search found
  for (int i = 0; i < runs; ++i) {
    const auto start = clock_type::now();
    ostrel::has_external_display through_runner;
    const bool ran = through_runner.execute();
    r.runner_ms.push_back(milliseconds_between(start, clock_type::now()));
    if (!ran || !through_runner.has_exit_code()) {
      r.failure = "the runner's query did not end by itself";
      return r;
    }
    if (program.empty()) {
      for (const auto& p : winsim::machine::processes()) {
        if (p.command_line.find(query) != std::string::npos) program = p.program;
      }
    }
    double bare = 0;
    if (!bare_run(program, &bare)) {
      r.failure = "the daemon could not be started directly: " + program;
      return r;
    }
    r.bare_ms.push_back(bare);
  }
  winsim::machine::forget_ended_processes();
  return r;
}

}  // namespace user_latency
