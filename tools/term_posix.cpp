// POSIX side of term.h: isatty, the window size, termios for the password
// prompt and a SIGINT handler.
#include "term.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kqcli {

namespace {

volatile std::sig_atomic_t g_interrupts = 0;

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

extern "C" void on_sigint(int) {
  if (g_interrupts >= 1) {
    write_all(2, "\nkerquill: stopped at once (second Ctrl-C)\n");
    ::_exit(130);
  }
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
  sa.sa_handler = on_sigint;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
}

int term_interrupts() { return g_interrupts; }

}  // namespace kqcli
