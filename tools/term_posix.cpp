// POSIX side of term.h: isatty, the window size, termios for the password
// prompt, the stop-signal handlers and running a secret helper command.
#include "term.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace kqcli {

namespace {

volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_first_signal = 0;

// Saved while the prompt has echo off, so a Ctrl-C there can restore it.
int g_prompt_fd = -1;
struct termios g_prompt_saved;

void write_all(int fd, const char *text) {
  std::size_t len = std::strlen(text);
  while (len > 0) {
    ssize_t n = ::write(fd, text, len);
    if (n <= 0) return;
    text += n;
    len -= static_cast<std::size_t>(n);
  }
}

extern "C" void on_stop_signal(int sig) {
  if (g_interrupts >= 1) {
    write_all(2, sig == SIGINT ? "\nkerquill: stopped at once (second Ctrl-C)\n"
                               : "\nkerquill: stopped at once (second stop signal)\n");
    ::_exit(128 + sig);
  }
  g_first_signal = sig;
  g_interrupts = g_interrupts + 1;
}

extern "C" void on_sigint_in_prompt(int) {
  if (g_prompt_fd >= 0) ::tcsetattr(g_prompt_fd, TCSAFLUSH, &g_prompt_saved);
  write_all(2, "\n");
  ::_exit(130);
}

int fd_of(stream s) {
  switch (s) {
    case stream::in: return 0;
    case stream::out: return 1;
    default: return 2;
  }
}

}  // namespace

bool term_is_tty(stream s) { return ::isatty(fd_of(s)) == 1; }

int term_width() {
  for (int fd : {2, 1}) {
    struct winsize ws;
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  }
  return 80;
}

bool term_read_secret(const char *prompt, std::string &out) {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  bool own = fd >= 0;
  if (!own) {
    if (!::isatty(0)) return false;
    fd = 0;
  }
  struct termios saved;
  if (::tcgetattr(fd, &saved) != 0) {
    if (own) ::close(fd);
    return false;
  }
  write_all(own ? fd : 2, prompt);

  g_prompt_saved = saved;
  g_prompt_fd = fd;
  struct sigaction sa {}, old {};
  sa.sa_handler = on_sigint_in_prompt;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, &old);

  struct termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;
  ::tcsetattr(fd, TCSAFLUSH, &quiet);

  out.clear();
  bool got_line = false;
  char c;
  for (;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n <= 0) break;
    if (c == '\n' || c == '\r') {
      got_line = true;
      break;
    }
    out.push_back(c);
  }
  ::tcsetattr(fd, TCSAFLUSH, &saved);
  ::sigaction(SIGINT, &old, nullptr);
  g_prompt_fd = -1;
  if (own) ::close(fd);
  return got_line || !out.empty();
}

void term_catch_interrupts() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

int term_interrupts() { return g_interrupts; }

int term_first_signal() { return g_first_signal; }

bool term_stopped_by_ctrl_c() { return g_first_signal == SIGINT; }

bool run_for_output(const std::string &command, std::string &out, std::string &why) {
  out.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return false;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    why = std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // The helper may ask on the terminal itself (gpg's pinentry); it gets no
    // standard input from us.
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::dup2(fds[1], 1);
    // Default dispositions, so a Ctrl-C also reaches the helper normally.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  char buf[512];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > (1u << 20)) break;  // no secret is that long
  }
  for (auto &c : buf) *const_cast<volatile char *>(&c) = 0;
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  why = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                          : "ended by signal " + std::to_string(WTERMSIG(status));
  return false;
}

void set_env(const char *name, const char *value) { ::setenv(name, value, 1); }

}  // namespace kqcli
