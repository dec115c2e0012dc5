#include "support/platform/os.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

namespace kqtest::platform {
namespace {

// Closes every descriptor from 3 up. Runs between fork() and exec(), so only
// async-signal-safe calls; it keeps descriptors that other code opened
// without O_CLOEXEC (sockets under test, say) out of our children.
void close_from_3() {
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (close_range(3, ~0U, 0) == 0) return;
#endif
  for (int fd = 3; fd < 65536; ++fd) ::close(fd);
}

bool make_pipe(int fds[2]) {
#if defined(__linux__)
  return pipe2(fds, O_CLOEXEC) == 0;
#else
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

void set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// write() to a pipe whose reader is gone raises SIGPIPE, which would kill the
// whole test binary. Block it for this thread only and swallow a signal we
// caused, leaving the process-wide disposition (the library's business)
// untouched.
ssize_t write_nosigpipe(int fd, const char *data, size_t len) {
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t n = ::write(fd, data, len);
  int saved = errno;
  if (n < 0 && saved == EPIPE && !was_pending) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = saved;
  return n;
}

std::vector<char *> to_argv(std::vector<std::string> &args) {
  std::vector<char *> v;
  for (auto &a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

// Exit code in shell convention: status, or 128 + signal.
int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string find_program(const std::string &name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos)
    return access(name.c_str(), X_OK) == 0 ? name : "";
  std::string path;
  if (const char *p = getenv("PATH")) path = p;
  path += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (!dir.empty()) {
      std::string cand = dir + "/" + name;
      struct stat st;
      if (stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(cand.c_str(), X_OK) == 0)
        return cand;
    }
    start = end + 1;
  }
  return "";
}

RunResult run(const std::vector<std::string> &argv_in, const std::string &input,
              int timeout_ms) {
  RunResult r;
  if (argv_in.empty()) {
    r.error = "empty command";
    return r;
  }
  std::vector<std::string> args = argv_in;
  std::string exe = find_program(args[0]);
  if (exe.empty()) {
    r.error = "program not found: " + args[0];
    return r;
  }
  int in[2], out[2], err[2];
  if (!make_pipe(in)) {
    r.error = std::string("pipe: ") + strerror(errno);
    return r;
  }
  if (!make_pipe(out)) {
    r.error = std::string("pipe: ") + strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return r;
  }
  if (!make_pipe(err)) {
    r.error = std::string("pipe: ") + strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return r;
  }
  std::vector<char *> cargv = to_argv(args);
  const char *cexe = exe.c_str();

  pid_t pid = fork();
  if (pid < 0) {
    r.error = std::string("fork: ") + strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    return r;
  }
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close_from_3();
    execv(cexe, cargv.data());
    _exit(127);
  }
  r.started = true;
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  int fd_in = in[1], fd_out = out[0], fd_err = err[0];
  set_nonblocking(fd_in);
  set_nonblocking(fd_out);
  set_nonblocking(fd_err);

  size_t written = 0;
  if (input.empty()) {
    ::close(fd_in);
    fd_in = -1;
  }
  const long long deadline = now_ms() + timeout_ms;
  char buf[65536];
  while (fd_out >= 0 || fd_err >= 0) {
    long long left = deadline - now_ms();
    if (left <= 0) {
      r.timed_out = true;
      break;
    }
    struct pollfd pfd[3];
    int n = 0;
    int idx_in = -1, idx_out = -1, idx_err = -1;
    if (fd_in >= 0) {
      pfd[n] = {fd_in, POLLOUT, 0};
      idx_in = n++;
    }
    if (fd_out >= 0) {
      pfd[n] = {fd_out, POLLIN, 0};
      idx_out = n++;
    }
    if (fd_err >= 0) {
      pfd[n] = {fd_err, POLLIN, 0};
      idx_err = n++;
    }
    int pr = poll(pfd, n, static_cast<int>(left < 100 ? left : 100));
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0) continue;
    if (idx_in >= 0 && pfd[idx_in].revents) {
      ssize_t w = write_nosigpipe(fd_in, input.data() + written,
                                  input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) ||
          written == input.size()) {
        ::close(fd_in);
        fd_in = -1;
      }
    }
    for (int which = 0; which < 2; ++which) {
      int idx = which == 0 ? idx_out : idx_err;
      int &fd = which == 0 ? fd_out : fd_err;
      std::string &dst = which == 0 ? r.out : r.err;
      if (idx < 0 || !pfd[idx].revents) continue;
      ssize_t got = ::read(fd, buf, sizeof buf);
      if (got > 0) {
        dst.append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  for (int fd : {fd_in, fd_out, fd_err})
    if (fd >= 0) ::close(fd);

  // Output is closed; give the process the rest of its time to exit.
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      r.exit_code = decode_status(status);
      break;
    }
    if (w < 0 && errno != EINTR) break;
    if (r.timed_out || now_ms() >= deadline) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      r.exit_code = decode_status(status);
      break;
    }
    sleep_ms(2);
  }
  return r;
}

bool spawn_background(const std::vector<std::string> &argv_in,
                      const std::string &log_path,
                      const std::string &cleanup_dir, Background *out,
                      std::string *err) {
  auto fail = [&](const std::string &msg) {
    if (err) *err = msg;
    return false;
  };
  if (argv_in.empty()) return fail("empty command");
  std::vector<std::string> args = argv_in;
  std::string exe = find_program(args[0]);
  if (exe.empty()) return fail("program not found: " + args[0]);
  int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                    0644);
  if (log_fd < 0) return fail("open " + log_path + ": " + strerror(errno));
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    ::close(log_fd);
    return fail(std::string("open /dev/null: ") + strerror(errno));
  }
  int life[2];
  if (!make_pipe(life)) {
    ::close(log_fd);
    ::close(null_fd);
    return fail(std::string("pipe: ") + strerror(errno));
  }
  std::vector<char *> cargv = to_argv(args);
  const char *cexe = exe.c_str();
  // Everything the watchdog may exec is prepared now: after fork() in a
  // threaded process only async-signal-safe calls are allowed.
  std::string rm = find_program("rm");
  std::vector<std::string> rm_args = {rm, "-rf", "--", cleanup_dir};
  std::vector<char *> rm_argv = to_argv(rm_args);
  const bool cleanup = !rm.empty() && !cleanup_dir.empty() && cleanup_dir != "/";

  pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {log_fd, null_fd, life[0], life[1]}) ::close(fd);
    return fail(std::string("fork: ") + strerror(errno));
  }
  if (pid == 0) {
    dup2(null_fd, 0);
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    close_from_3();
    execv(cexe, cargv.data());
    _exit(127);
  }

  pid_t dog = fork();
  if (dog == 0) {
    // Watchdog: wait for a word from us. 'q' means all is well; EOF means
    // the test process died, so the daemon must not outlive it.
    // Park the pipe out of the way, point 0-2 at /dev/null (so it holds no
    // output pipe of ours open), then keep only the pipe, as fd 3.
    int high = fcntl(life[0], F_DUPFD, 10);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    dup2(high, 3);
    const int keep = 3;
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (close_range(4, ~0U, 0) != 0)
#endif
      for (int fd = 4; fd < 65536; ++fd) ::close(fd);
    char c = 0;
    ssize_t n;
    do {
      n = ::read(keep, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1 && c == 'q') _exit(0);
    if (kill(pid, SIGTERM) == 0) {
      for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) {
        struct timespec ts = {0, 50 * 1000 * 1000};
        nanosleep(&ts, nullptr);
      }
      kill(pid, SIGKILL);
    }
    if (cleanup) {
      struct timespec ts = {0, 200 * 1000 * 1000};
      nanosleep(&ts, nullptr);
      execv(rm_argv[0], rm_argv.data());
    }
    _exit(0);
  }
  ::close(life[0]);
  ::close(log_fd);
  ::close(null_fd);
  out->pid = pid;
  out->watchdog = dog > 0 ? dog : -1;
  out->lifeline = dog > 0 ? life[1] : -1;
  if (dog <= 0) ::close(life[1]);
  return true;
}

namespace {

void dismiss_watchdog(Background &bg) {
  if (bg.lifeline >= 0) {
    char q = 'q';
    write_nosigpipe(bg.lifeline, &q, 1);
    ::close(bg.lifeline);
    bg.lifeline = -1;
  }
  if (bg.watchdog > 0) {
    int status;
    while (waitpid(static_cast<pid_t>(bg.watchdog), &status, 0) < 0 &&
           errno == EINTR) {
    }
    bg.watchdog = -1;
  }
}

// Has the child exited? Looks without reaping, so its PID cannot be reused
// while the watchdog might still act on it.
bool exited_unreaped(long pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int rc = waitid(P_PID, static_cast<id_t>(pid), &info,
                  WEXITED | WNOHANG | WNOWAIT);
  if (rc < 0) return errno == ECHILD;
  return info.si_pid == static_cast<pid_t>(pid);
}

void reap(long pid) {
  int status;
  while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool background_running(Background &bg) {
  if (bg.pid <= 0) return false;
  if (!exited_unreaped(bg.pid)) return true;
  dismiss_watchdog(bg);
  reap(bg.pid);
  bg.pid = -1;
  return false;
}

void stop_background(Background &bg, int grace_ms) {
  if (bg.pid <= 0) {
    dismiss_watchdog(bg);
    return;
  }
  if (!exited_unreaped(bg.pid)) {
    kill(static_cast<pid_t>(bg.pid), SIGTERM);
    const long long deadline = now_ms() + grace_ms;
    while (!exited_unreaped(bg.pid) && now_ms() < deadline) sleep_ms(5);
    if (!exited_unreaped(bg.pid)) kill(static_cast<pid_t>(bg.pid), SIGKILL);
  }
  // Dismiss the watchdog before reaping: once reaped, the PID is free for
  // reuse and nobody may signal it any more.
  dismiss_watchdog(bg);
  reap(bg.pid);
  bg.pid = -1;
}

long current_pid() { return static_cast<long>(getpid()); }

bool is_superuser() { return geteuid() == 0; }

bool account_ids(const std::string &name, long *uid, long *gid) {
  struct passwd pw, *res = nullptr;
  std::vector<char> buf(16384);
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 ||
      res == nullptr)
    return false;
  *uid = static_cast<long>(pw.pw_uid);
  *gid = static_cast<long>(pw.pw_gid);
  return true;
}

std::string make_temp_dir(const std::string &prefix) {
  std::string tmpl = prefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return std::string(buf.data());
}

bool set_mode(const std::string &path, int mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool set_owner(const std::string &path, long uid, long gid) {
  return chown(path.c_str(), static_cast<uid_t>(uid),
               static_cast<gid_t>(gid)) == 0;
}

bool set_mtime(const std::string &path, long long unix_seconds) {
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(unix_seconds);
  ts[0].tv_nsec = 0;
  ts[1] = ts[0];
  return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

long long get_mtime(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtime);
}

bool write_file(const std::string &path, const std::string &data, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                static_cast<mode_t>(mode));
  if (fd < 0) return false;
  size_t off = 0;
  bool ok = true;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    off += static_cast<size_t>(n);
  }
  if (fchmod(fd, static_cast<mode_t>(mode)) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool remove_tree(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return !ec;
}

bool is_directory(const std::string &path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool make_directory(const std::string &path) {
  std::error_code ec;
  std::filesystem::create_directory(path, ec);
  return !ec && is_directory(path);
}

bool rename_path(const std::string &from, const std::string &to, std::string *why) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (why) *why = std::strerror(errno);
  return false;
}

std::vector<std::string> list_directory(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

bool read_file(const std::string &path, std::string *data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  data->clear();
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    data->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

bool make_symlink(const std::string &target, const std::string &link, bool, std::string *why) {
  if (::symlink(target.c_str(), link.c_str()) == 0) return true;
  *why = "symlink " + link + ": " + std::strerror(errno);
  return false;
}

bool make_fifo(const std::string &path, std::string *why) {
  if (::mkfifo(path.c_str(), 0600) == 0) return true;
  *why = "mkfifo " + path + ": " + std::strerror(errno);
  return false;
}

bool under_wine() { return false; }

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace kqtest::platform
