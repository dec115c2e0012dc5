// A child process that a test can kill abruptly (SIGKILL), to check what
// survives a crash.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kqtest::platform {

class child_process {
 public:
  child_process() = default;
  ~child_process();  // kills and reaps a child still running
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;

  // fork + execv of argv with these variables added to the environment;
  // stdout and stderr go to log_path. False when it could not start.
  bool start(const std::vector<std::string> &argv,
             const std::vector<std::pair<std::string, std::string>> &env,
             const std::string &log_path);
  // True while the child has not exited (reaps it once it has).
  bool running();
  // SIGKILL to the child we started, then reaps it.
  void kill_now();
  // Waits up to timeout_ms for the exit; the exit code, or -1 on time-out
  // or when killed by a signal.
  int wait_exit(int timeout_ms);

 private:
  long pid_ = -1;
  int status_ = -1;
};

// Path of the running executable, to start another copy of it.
std::string self_executable();

}  // namespace kqtest::platform
