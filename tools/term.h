// Terminal and process-signal services the command-line tool needs from the
// operating system. Everything else in tools/ is portable C++.
#pragma once

#include <string>

namespace kqcli {

enum class stream { in, out, err };

// True when the stream is an interactive terminal.
bool term_is_tty(stream s);
// Columns of the terminal behind stderr (or stdout); 80 when unknown.
int term_width();
// Prompts on the terminal and reads one line without echo. False when there
// is no terminal to ask or the input ended. Ctrl-C during the prompt restores
// the echo before the program ends.
bool term_read_secret(const char *prompt, std::string &out);

// Catches Ctrl-C (SIGINT), SIGTERM and SIGHUP: the first one only counts (see
// term_interrupts), a second one writes a short note and ends the process at
// once with status 128 + its signal number (130 for Ctrl-C).
void term_catch_interrupts();
// Number of stop requests (Ctrl-C or the signals above) seen since
// term_catch_interrupts.
int term_interrupts();
// Number of the first stop signal seen (2 SIGINT, 15 SIGTERM, 1 SIGHUP), 0
// when none came.
int term_first_signal();
// Whether the first stop came from Ctrl-C (the user) rather than a service
// manager or a closed session.
bool term_stopped_by_ctrl_c();

// Runs a command line with /bin/sh -c (cmd.exe /c on Windows), its standard
// input closed, and returns what it wrote on standard output (its standard
// error goes to ours). The text never passes through the command line or the
// environment of any process. False, with a reason in why, when it could not run or exited with
// a status other than 0.
bool run_for_output(const std::string &command, std::string &out, std::string &why);

// Sets an environment variable for this process and what it starts.
void set_env(const char *name, const char *value);

}  // namespace kqcli
