// The help texts, all made from the option and command tables so they read
// the same whichever way they are asked for (--help, -h, 'help COMMAND',
// --help-all, which the man page is made of).
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "commands.h"

namespace kqcli {

namespace {

const char *k_global_help =
    "Options for every command (before or after it):\n"
    "  --config FILE                  accounts file (default: $XDG_CONFIG_HOME/kerquill/config.toml,\n"
    "                                 ~/.config/kerquill/config.toml, or $XDG_CONFIG_DIRS)\n"
    "  --account NAME                 use the settings of [accounts.NAME]; options given on the\n"
    "                                 command line override them\n"
    "  --all-accounts                 run the command for every account of the file in turn\n"
    "                                 (one failing does not stop the others)\n"
    "  -v, --verbose                  say what is done; -vv also shows the IMAP conversation\n"
    "                                 (passwords and tokens redacted)\n"
    "  -h, --help                     this text\n"
    "  --version                      print the version and exit\n";

const char *k_exit_help =
    "Exit status: 0 done, 1 failure (reason on stderr; also a cancelled export),\n"
    "2 usage or configuration error (also a bad --since day), 3 verify found missing or\n"
    "corrupt files, 4 --all-accounts: at least one account failed (stderr names them),\n"
    "75 another run holds the archive directory (nothing touched; run again later),\n"
    "77 the account's OAuth sign-in is missing, expired or revoked (run kerquill auth),\n"
    "129/143 an export stopped cleanly by SIGHUP/SIGTERM (resumable), 128+N stopped\n"
    "at once by a second signal N (130 for a second Ctrl-C).\n";

}  // namespace

std::string main_help() {
  std::ostringstream o;
  o << "kerquill - read, search and archive an IMAP mailbox\n\n"
       "Usage: kerquill [--account NAME] COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n";
  char line[160];
  for (const auto &c : tool_commands()) {
    std::snprintf(line, sizeof line, "  %-16s %s\n", c.name, c.summary);
    o << line;
  }
  o << "\n" << k_global_help
    << "\nConnection (every command that talks to the server):\n"
       "  kerquill folders --host imap.example.org --user me\n"
       "  kerquill --account work export-all\n"
       "The password comes from --password-file FILE, --password-command CMD (or the\n"
       "account's password_command), KQ_PASSWORD or a prompt; it is never given on\n"
       "the command line.\n\n"
       "Run 'kerquill COMMAND --help' for a command's arguments and options.\n"
    << k_exit_help;
  return o.str();
}

std::string command_help(const command_def &c, bool with_global) {
  std::ostringstream o;
  o << "Usage: kerquill " << c.name << (*c.params ? " " : "") << c.params << " [OPTIONS]\n\n"
    << c.details << "\n";
  struct {
    unsigned grp;
    const char *title;
  } const sections[] = {
      {g_search, "Search options"}, {g_show, "Message options"},    {g_export, "Export options"},
      {g_batch, "Folder options"},  {g_jobopts, "Archive options"}, {g_restore, "Restore options"},
      {g_target, "Target"},         {g_progress, "Progress"},
      {g_json, "Output"},           {g_conn, "Connection"},
  };
  char line[256];
  for (const auto &s : sections) {
    if (!(c.groups & s.grp)) continue;
    o << "\n" << s.title << ":\n";
    for (const auto &opt : tool_options()) {
      if (opt.grp != s.grp) continue;
      std::string left = std::string("--") + opt.name + (opt.arg ? std::string(" ") + opt.arg : "");
      std::snprintf(line, sizeof line, "  %-30s %s\n", left.c_str(), opt.help);
      o << line;
    }
  }
  if (with_global) o << "\n" << k_global_help;
  return o.str();
}

namespace {

// Every command's help after the tool's: the text the man page is made of.
std::string all_help() {
  std::string out = main_help() + "\nCommands in detail:\n";
  for (const auto &c : tool_commands()) out += "\n" + command_help(c, false);
  return out;
}

// CLI11's own help calls print the texts above.
class help_formatter_impl : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override {
    if (app->get_parent())
      if (const command_def *c = find_command(app->get_name())) return command_help(*c);
    return main_help();
  }
};

}  // namespace

std::shared_ptr<CLI::FormatterBase> help_formatter() { return std::make_shared<help_formatter_impl>(); }

int answer_help(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(main_help().c_str(), stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--help-all") == 0) {
    std::fputs(all_help().c_str(), stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "help") == 0) {
    const command_def *c = argc > 2 ? find_command(argv[2]) : nullptr;
    std::fputs(c ? command_help(*c).c_str() : main_help().c_str(), stdout);
    return 0;
  }
  return -1;
}

}  // namespace kqcli
