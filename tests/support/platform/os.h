// The tests' own thin OS layer: processes, files and accounts.
//
// Only files in this folder may include POSIX headers; everything the rest of
// the test code needs from the OS goes through these declarations, which use
// nothing but standard types.
#pragma once

#include <string>
#include <vector>

namespace kqtest::platform {

// Outcome of run().
struct RunResult {
  bool started = false;    // false: could not even fork/exec (see error)
  bool timed_out = false;  // killed because it overran its time limit
  int exit_code = -1;      // exit status, or 128 + signal number
  std::string out;         // everything it wrote to stdout
  std::string err;         // everything it wrote to stderr
  std::string error;       // why it did not start, if it did not
};

// Runs a program to completion, feeding `input` on its stdin (then EOF) and
// collecting stdout/stderr. argv[0] is a path or a name looked up in PATH
// (and the sbin directories). Killed with SIGKILL past timeout_ms.
RunResult run(const std::vector<std::string> &argv, const std::string &input,
              int timeout_ms);

// A long-running child: stdin from /dev/null, stdout and stderr appended to
// log_path. A small watchdog process terminates it if this process dies
// without calling stop_background() (crash, abort, unhandled signal), so a
// failed test binary leaves no daemon behind; the watchdog then also removes
// cleanup_dir, if one is given.
struct Background {
  long pid = -1;       // the program itself
  long watchdog = -1;  // its watchdog
  int lifeline = -1;   // our end of the watchdog's pipe
};
bool spawn_background(const std::vector<std::string> &argv,
                      const std::string &log_path,
                      const std::string &cleanup_dir, Background *out,
                      std::string *err);

// True while the background child has not exited (reaps it if it has).
bool background_running(Background &bg);

// SIGTERM, wait up to grace_ms, then SIGKILL; reaps the child and dismisses
// the watchdog. Signals only the PID we started, and only while it is still
// our unreaped child.
void stop_background(Background &bg, int grace_ms);

// Locates an executable by name in PATH plus /usr/sbin and /sbin.
std::string find_program(const std::string &name);

long current_pid();
bool is_superuser();

// Numeric ids of a system account (its primary group).
bool account_ids(const std::string &name, long *uid, long *gid);

// mkdtemp(prefix + "XXXXXX"); returns "" on failure.
std::string make_temp_dir(const std::string &prefix);
// Removes a directory made by make_temp_dir and everything in it (a
// server's sockets included); false when something is left.
bool remove_tree(const std::string &path);

bool set_mode(const std::string &path, int mode);
bool set_owner(const std::string &path, long uid, long gid);
// Sets both access and modification time, in whole seconds since the epoch.
bool set_mtime(const std::string &path, long long unix_seconds);
// Modification time in whole seconds, or -1.
long long get_mtime(const std::string &path);

// Writes a file in one go (creating or truncating it) with the given mode.
bool write_file(const std::string &path, const std::string &data, int mode);

// The files of a Linux daemon (a Dovecot's maildirs and user files). Under
// Wine these calls run on the Linux side, like write_file(): a maildir is
// named after its folder, and a folder name may hold a quote or a backslash,
// which no Windows file name can.
bool is_directory(const std::string &path);
// Makes one directory; true when it is there afterwards (made or found).
bool make_directory(const std::string &path);
// Renames a file or directory, replacing a file at `to`; *why says why not.
bool rename_path(const std::string &from, const std::string &to, std::string *why);
// The names in a directory (no "." or ".."), in no set order; empty when it
// cannot be read.
std::vector<std::string> list_directory(const std::string &path);
// The whole file; false when it cannot be read.
bool read_file(const std::string &path, std::string *data);

// Makes link a symbolic link to target (to a directory when dir). False,
// with *why set, when this system cannot make one.
bool make_symlink(const std::string &target, const std::string &link, bool dir, std::string *why);
// Makes a FIFO at path. False, with *why set, where there is none to make
// (the Windows file system has no FIFOs).
bool make_fifo(const std::string &path, std::string *why);
// True when the program runs under Wine rather than on Windows itself.
bool under_wine();

void sleep_ms(int ms);
// Milliseconds on a monotonic clock.
long long now_ms();

}  // namespace kqtest::platform
