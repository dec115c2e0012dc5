#include "support/platform/child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kqtest::platform {

child_process::~child_process() {
  if (running()) kill_now();
}

bool child_process::start(const std::vector<std::string> &argv,
                          const std::vector<std::pair<std::string, std::string>> &env,
                          const std::string &log_path) {
  // Everything the child needs is built before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<std::string> env_text;
  for (char **e = environ; *e; ++e) env_text.emplace_back(*e);
  for (const auto &kv : env) env_text.push_back(kv.first + "=" + kv.second);
  std::vector<char *> envp, args;
  for (auto &s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto &s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);
  int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(log);
    return false;
  }
  if (pid == 0) {
    ::dup2(log, 1);
    ::dup2(log, 2);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(log);
  pid_ = pid;
  status_ = -1;
  return true;
}

bool child_process::running() {
  if (pid_ <= 0) return false;
  int st = 0;
  pid_t r = ::waitpid(static_cast<pid_t>(pid_), &st, WNOHANG);
  if (r == 0) return true;
  if (r == static_cast<pid_t>(pid_)) status_ = st;
  pid_ = -1;
  return false;
}

void child_process::kill_now() {
  if (pid_ <= 0) return;
  ::kill(static_cast<pid_t>(pid_), SIGKILL);
  int st = 0;
  while (::waitpid(static_cast<pid_t>(pid_), &st, 0) < 0 && errno == EINTR) {
  }
  status_ = st;
  pid_ = -1;
}

int child_process::wait_exit(int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (running()) {
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string self_executable() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return buf;
}

}  // namespace kqtest::platform
