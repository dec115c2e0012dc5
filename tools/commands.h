// The tool's command line as tables: the options (grouped), the commands
// (each with the option groups it takes) and what is built from them: the
// help texts, the parser, and the run of a command for an account.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "config.h"

namespace kqcli {

enum group : unsigned {
  g_conn = 1,
  g_json = 2,
  g_search = 4,
  g_show = 8,
  g_export = 16,
  g_batch = 32,
  g_progress = 64,
  g_jobopts = 128,  // shared by export and export-all
  g_restore = 256,
  g_target = 512,  // copy: the server the mail goes to
};

struct option_def {
  const char *name;
  const char *arg;  // null for a flag
  unsigned grp;
  bool repeat;
  const char *help;
};

// Every option, in the order the help lists them (options.cpp).
std::span<const option_def> tool_options();

struct command_def {
  const char *name;
  const char *params;
  int min_pos, max_pos;
  unsigned groups;
  int (*run)(const args &);
  const char *summary;
  const char *details;
};

// Every command, in the order the help lists them (main.cpp).
std::span<const command_def> tool_commands();
// The command of this name, or nullptr.
const command_def *find_command(const std::string &name);

// Help (help.cpp). The tool's help: usage, the commands, the options of
// every command.
std::string main_help();
// A command's help; with_global adds the options of every command.
std::string command_help(const command_def &c, bool with_global = true);
// --help-all and 'help COMMAND', answered before the parser is built; -1 for
// any other command line.
int answer_help(int argc, char **argv);
// The formatter that makes CLI11 print the help above.
std::shared_ptr<CLI::FormatterBase> help_formatter();

// Parsing (parse.cpp).
struct parsed_command {
  const command_def *def = nullptr;
  CLI::App *app = nullptr;
  std::vector<std::string> positional;
  std::vector<std::pair<const option_def *, CLI::Option *>> options;
  CLI::Option *password = nullptr, *to_password = nullptr;
};

// The options of the whole tool.
struct global_options {
  std::string config_path, account_name;
  bool all_accounts = false;
};

// Builds the parser from the tables: one subcommand per command with its
// option groups.
void build_parser(CLI::App &app, global_options &g, std::vector<parsed_command> &commands);
// Parses the command line; the chosen command, or null with the exit status
// (help, version, a parse error) in status.
parsed_command *parse_command_line(CLI::App &app, std::vector<parsed_command> &commands, int argc, char **argv,
                                   int &status);
// The command's options as the subcommands read them.
args collect_args(const parsed_command &chosen);

// copy's --to-account (cmd_copy.cpp): the account's connection settings
// fill the --to- options the command line left open.
void apply_target_account(const config_file &cfg, const std::string &path, args &a);

// Running (run_command.cpp). Runs f and maps what it throws to the exit
// status, saying why on stderr (and as an event with --log-format json).
int guarded(const command_def &cmd, const std::function<int()> &f);
// The account --account names; with none, the file's only account, unless
// the command line names a server of its own.
const account *choose_account(const config_file &cfg, const std::string &path, const global_options &g,
                              const command_def &cmd, const args &a);
// One run of the command with an account's settings (or none).
int run_with_account(const command_def &cmd, args a, const account *acc);
// --all-accounts: each account of the file in turn; a failing one does not
// stop the rest, a stop signal does. The closing line names the failures.
int run_all_accounts(const command_def &cmd, const args &a, const config_file &cfg, const std::string &path);

}  // namespace kqcli
