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

// Catches Ctrl-C: the first one only counts (see term_interrupts), a second one
// writes a short note and ends the process at once with status 130.
void term_catch_interrupts();
// Number of Ctrl-C presses seen since term_catch_interrupts.
int term_interrupts();

}  // namespace kqcli
