// kerquill: the command-line host of the library. CLI11 parses the command
// line from the tables below, which also write the help; the configuration
// file's account fills what the command line left open; failures map to the
// exit statuses (0 done, 1 failed, 2 usage, 3 damage found by verify).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "config.h"
#include "events.h"
#include "kerquill.h"
#include "oauth.h"
#include "term.h"

#ifndef KQ_TOOL_VERSION
#define KQ_TOOL_VERSION "0.0.0"
#endif

namespace kqcli {

int g_verbosity = 0;

void say(int level, const std::string &text) {
  if (g_verbosity >= level) std::fprintf(stderr, "kerquill: %s\n", text.c_str());
}

namespace {

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
};

struct option_def {
  const char *name;
  const char *arg;  // null for a flag
  unsigned grp;
  bool repeat;
  const char *help;
};

const option_def k_options[] = {
    {"host", "NAME", g_conn, false, "IMAP server (or KQ_HOST)"},
    {"port", "N", g_conn, false, "port (or KQ_PORT; default 993, 143 with --plain or --starttls)"},
    {"plain", nullptr, g_conn, false, "plain IMAP without TLS (only for trusted networks)"},
    {"starttls", nullptr, g_conn, false, "plain connection upgraded with STARTTLS (required), port 143"},
    {"user", "NAME", g_conn, false, "login name (or KQ_USER)"},
    {"password-file", "FILE", g_conn, false,
     "read the password from the first line of FILE; else KQ_PASSWORD, else a prompt"},
    {"password-command", "CMD", g_conn, false,
     "run CMD (with sh -c) for each connection; its first output line is the password"},
    {"oauth-token-file", "FILE", g_conn, false, "log in with the OAuth2 token in FILE (XOAUTH2)"},
    {"oauth-token-command", "CMD", g_conn, false,
     "run CMD for each connection; its first output line is the OAuth2 token"},
    {"ca-file", "FILE", g_conn, false, "trust the CA certificate(s) in FILE (or KQ_CA_FILE)"},
    {"insecure", nullptr, g_conn, false, "do not check the server certificate (warns)"},
    {"timeout", "SECONDS", g_conn, false, "network time-out (default 30)"},
    {"json", nullptr, g_json, false, "print JSON for programs instead of a table"},
    {"since", "YYYY-MM-DD", g_search, false, "messages received on or after this day (UTC)"},
    {"before", "YYYY-MM-DD", g_search, false, "messages received before this day (UTC)"},
    {"from", "TEXT", g_search, false, "From contains TEXT (any case)"},
    {"to", "TEXT", g_search, false, "To contains TEXT (any case)"},
    {"subject", "TEXT", g_search, false, "Subject contains TEXT (any case)"},
    {"min-bytes", "N", g_search, false, "messages of at least N bytes"},
    {"has-attachments", "0|1", g_search, false, "messages with (1) or without (0) attachments, as their structure tells"},
    {"uid-min", "N", g_search, false, "first UID to look at"},
    {"uid-max", "N", g_search, false, "last UID to look at"},
    {"uid", "N", g_show, false, "address the message by UID instead of ROW"},
    {"save-eml", "FILE", g_show, false, "also write the raw message to FILE"},
    {"full-header", nullptr, g_show, false, "print the whole header block"},
    {"mbox", nullptr, g_export, false, "also write all.mbox"},
    {"format", "eml|maildir", g_export, false,
     "eml: one .eml file per message (the default); maildir: each folder's\n"
     "                                 archive is a Maildir (cur/, new/, tmp/), flags in the file names"},
    {"folder", "NAME", g_batch, true, "export only this folder (repeatable; default: all)"},
    {"include", "PATTERN", g_batch, true,
     "export only folders matching PATTERN (repeatable; * any text, % any text but the\n"
     "                                 server's hierarchy delimiter); patterns match the UTF-8 names"},
    {"exclude", "PATTERN", g_batch, true, "leave out folders matching PATTERN (repeatable)"},
    {"since", "YYYY-MM-DD", g_batch, false,
     "only messages received on or after this day (UTC)"},
    {"dry-run", nullptr, g_batch, false,
     "per folder: messages on the server, already archived, to fetch; nothing is written"},
    {"to", "FOLDER", g_restore, false, "restore: the folder to restore into (created when missing)"},
    {"prefix", "P", g_restore, false, "restore-all: put P before every folder name (e.g. Restored/)"},
    {"no-create", nullptr, g_restore, false, "fail when the target folder is missing instead of creating it"},
    {"no-flags", nullptr, g_restore, false, "restore the messages without their flags"},
    {"dated", nullptr, g_jobopts, false, "store messages in YYYY-MM subdirectories (export-all's default)"},
    {"flat", nullptr, g_jobopts, false, "no YYYY-MM subdirectories (export's default)"},
    {"no-resume", nullptr, g_jobopts, false, "start over instead of skipping stored messages"},
    {"no-manifest", nullptr, g_jobopts, false, "do not write manifest.jsonl (verify needs it)"},
    {"quiet", nullptr, g_progress, false, "print nothing on success (errors still go to stderr)"},
    {"log-format", "text|json", g_progress, false,
     "json: one JSON object per line on stdout for each event (folder started, done,\n"
     "                                 failed, totals, errors) instead of the tables"},
    {"progress-interval", "SECONDS", g_progress, false,
     "seconds between progress lines when not on a terminal (default 5)"},
};

struct command_def {
  const char *name;
  const char *params;
  int min_pos, max_pos;
  unsigned groups;
  int (*run)(const args &);
  const char *summary;
  const char *details;
};

const command_def k_commands[] = {
    {"folders", "", 0, 0, g_conn | g_json, cmd_folders, "list the folders with message counts",
     "Lists every folder of the mailbox with its number of messages and UID range."},
    {"probe", "FOLDER", 1, 1, g_conn | g_json, cmd_probe,
     "estimate a folder's size and share of attachments",
     "Samples up to 30 messages of FOLDER to estimate its total size and how\n"
     "many messages carry attachments, without downloading bodies."},
    {"search", "FOLDER", 1, 1, g_conn | g_json | g_search, cmd_search,
     "find messages by date, sender, recipient, subject, size",
     "Scans FOLDER and prints the matching messages with their ROW numbers.\n"
     "All filters combine (AND). Text filters are case-insensitive substrings\n"
     "of the raw header line; dates are the server's received date in UTC."},
    {"show", "FOLDER ROW", 1, 2, g_conn | g_json | g_search | g_show, cmd_show,
     "print one message: header, text, attachments",
     "Fetches row ROW of the search (run again with the same search options)\n"
     "or the message --uid N, and prints its main header lines, its readable\n"
     "text and its attachments."},
    {"save-attachment", "FOLDER ROW N DIR", 3, 4, g_conn | g_search | g_show, cmd_save_attachment,
     "save attachment N of a message into DIR",
     "Fetches the message like 'show' and writes its attachment number N (as\n"
     "listed by 'show', from 0), decoded, into DIR (created when missing).\n"
     "With --uid the ROW argument is left out: save-attachment FOLDER N DIR --uid U."},
    {"export", "FOLDER DIR", 1, 2, g_conn | g_search | g_export | g_jobopts | g_progress, cmd_export,
     "archive the found messages of a folder into DIR",
     "Stores every message the search finds as DIR/uid-N.eml with a\n"
     "manifest.jsonl of SHA-256 digests. Running it again resumes: stored\n"
     "messages are skipped. With --format maildir, DIR is a Maildir instead\n"
     "(DIR/cur/<unique>:2,<flags>). Without DIR, the account's archive directory is\n"
     "used (ARCHIVE/FOLDER, as export-all names it). Ctrl-C, SIGTERM and SIGHUP\n"
     "stop cleanly after the current message (a second one stops at once)."},
    {"export-all", "DIR", 0, 1, g_conn | g_batch | g_export | g_jobopts | g_progress, cmd_export_all,
     "archive every folder into DIR/FOLDER",
     "Exports each folder (or each --folder, or those --include and --exclude\n"
     "choose), INBOX first and then the folders in name order, into a\n"
     "subdirectory of DIR named after the folder ('/' becomes '_'), messages in\n"
     "YYYY-MM subdirectories unless --flat. Without DIR, the account's archive\n"
     "directory is used. Running it again resumes every folder and says how\n"
     "many messages were new. --since exports only messages from that day on;\n"
     "--dry-run only counts what a run would fetch."},
    {"restore", "DIR", 1, 1, g_conn | g_restore | g_progress, cmd_restore,
     "put an archive folder back on the server",
     "Uploads every message of the archive folder DIR (one export's directory)\n"
     "into the folder --to FOLDER with its received date and flags, checking each\n"
     "file against its SHA-256 first. What went up is recorded in\n"
     "DIR/restore.jsonl: running it again sends nothing twice, and messages the\n"
     "folder already holds are recognised and skipped. Ctrl-C, SIGTERM and SIGHUP\n"
     "stop cleanly; a missing or changed file is reported (exit status 1)."},
    {"restore-all", "DIR", 1, 1, g_conn | g_restore | g_progress, cmd_restore_all,
     "put an export-all tree back into folders of the same names",
     "Restores each subdirectory of DIR that holds a manifest into the folder its\n"
     "manifest names (with --prefix P before the name), as 'restore' does."},
    {"verify", "DIR", 0, 1, g_json, cmd_verify, "check an archive against its manifest",
     "Re-hashes every message file the manifest lists and reports missing and\n"
     "changed files. DIR may be one export or an export-all directory (default:\n"
     "the account's archive). Exits with 3 when anything is missing or corrupt."},
    {"stats", "DIR", 0, 1, g_json, cmd_stats, "summarise an archive from its manifest",
     "Counts the messages and bytes of an archive and its date range.\n"
     "DIR may be one export or an export-all directory (default: the account's\n"
     "archive)."},
    {"auth", "ACCOUNT", 0, 1, 0, cmd_auth, "sign an OAuth account in (device flow)",
     "Signs ACCOUNT (or --account NAME) in with the OAuth 2.0 device authorization\n"
     "grant (RFC 8628): it prints an address and a short user code; open the\n"
     "address in a browser on any device, enter the code and allow the access.\n"
     "Meanwhile the tool polls the issuer's token endpoint at the pace it asks\n"
     "for, then stores the refresh token, readable by you only, in\n"
     "$XDG_STATE_HOME/kerquill/oauth/ACCOUNT.json (default ~/.local/state;\n"
     "%LOCALAPPDATA%\\kerquill on Windows). Every later command of the account\n"
     "gets a fresh access token with it before it connects (XOAUTH2).\n"
     "The account needs oauth_client_id and oauth_provider (\"google\" or\n"
     "\"microsoft\") or oauth_device_url and oauth_token_url; oauth_client_secret,\n"
     "oauth_scope and oauth_ca_file are optional. Exits with 77 when a command\n"
     "finds the sign-in missing, expired or revoked: run 'kerquill auth ACCOUNT'."},
};

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

const command_def *find_command(const std::string &name) {
  for (const auto &c : k_commands)
    if (name == c.name) return &c;
  return nullptr;
}

std::string main_help() {
  std::ostringstream o;
  o << "kerquill - read, search and archive an IMAP mailbox\n\n"
       "Usage: kerquill [--account NAME] COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n";
  char line[160];
  for (const auto &c : k_commands) {
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

std::string command_help(const command_def &c, bool with_global = true) {
  std::ostringstream o;
  o << "Usage: kerquill " << c.name << (*c.params ? " " : "") << c.params << " [OPTIONS]\n\n"
    << c.details << "\n";
  struct {
    unsigned grp;
    const char *title;
  } const sections[] = {
      {g_search, "Search options"}, {g_show, "Message options"},    {g_export, "Export options"},
      {g_batch, "Folder options"},  {g_jobopts, "Archive options"}, {g_restore, "Restore options"},
      {g_progress, "Progress"},
      {g_json, "Output"},           {g_conn, "Connection"},
  };
  char line[256];
  for (const auto &s : sections) {
    if (!(c.groups & s.grp)) continue;
    o << "\n" << s.title << ":\n";
    for (const auto &opt : k_options) {
      if (opt.grp != s.grp) continue;
      std::string left = std::string("--") + opt.name + (opt.arg ? std::string(" ") + opt.arg : "");
      std::snprintf(line, sizeof line, "  %-30s %s\n", left.c_str(), opt.help);
      o << line;
    }
  }
  if (with_global) o << "\n" << k_global_help;
  return o.str();
}

// Every command's help after the tool's: the text the man page is made of.
std::string all_help() {
  std::string out = main_help() + "\nCommands in detail:\n";
  for (const auto &c : k_commands) out += "\n" + command_help(c, false);
  return out;
}

// Help comes from the tables above, so it reads the same whichever way it is
// asked for (--help, -h, 'help COMMAND').
class help_formatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override {
    if (app->get_parent())
      if (const command_def *c = find_command(app->get_name())) return command_help(*c);
    return main_help();
  }
};

struct parsed_command {
  const command_def *def = nullptr;
  CLI::App *app = nullptr;
  std::vector<std::string> positional;
  std::vector<std::pair<const option_def *, CLI::Option *>> options;
  CLI::Option *password = nullptr;
};

// The command's ARCHIVE default: export-all's and verify's DIR, export's
// ARCHIVE/FOLDER.
void default_dir(const account *acc, args &a) {
  const std::string cmd = a.command;
  if (cmd == "export") {
    if (a.positional.size() == 1 && acc && acc->archive) {
      // The archive the library made of the folder on an earlier run, else
      // the subdirectory export-all would give it.
      std::string found = archive_of_folder(*acc->archive, a.positional[0], a.positional[0]);
      a.positional.push_back(!found.empty() ? found : *acc->archive + "/" + folder_dir_name(a.positional[0]));
    }
    if (a.positional.size() < 2)
      throw usage_error("'export' takes FOLDER DIR (DIR may be left out when the account sets archive)");
  } else if (cmd == "export-all" || cmd == "verify" || cmd == "stats") {
    if (a.positional.empty() && acc && acc->archive) a.positional.push_back(*acc->archive);
    if (a.positional.empty())
      throw usage_error("'" + cmd + "' takes DIR (it may be left out when the account sets archive)");
  }
}

// --help-all and 'help COMMAND', answered before the parser is built; -1 for
// any other command line.
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

// The options of the whole tool.
struct global_options {
  std::string config_path, account_name;
  bool all_accounts = false;
};

// Builds the parser from the tables: one subcommand per command with its
// option groups.
void build_parser(CLI::App &app, global_options &g, std::vector<parsed_command> &commands) {
  app.formatter(std::make_shared<help_formatter>());
  app.set_help_flag("-h,--help", "this text");
  app.set_version_flag("--version", std::string("kerquill ") + KQ_TOOL_VERSION, "print the version and exit");
  app.add_option("--config", g.config_path, "accounts file")->option_text("FILE");
  app.add_option("--account", g.account_name, "account to use")->option_text("NAME");
  app.add_flag("--all-accounts", g.all_accounts, "every account in turn");
  app.add_flag("-v,--verbose", g_verbosity, "more output; twice: the IMAP conversation");
  // Options of the whole tool are also taken after the command's name.
  app.fallthrough();
  app.require_subcommand(1, 1);

  commands.reserve(std::size(k_commands));
  for (const auto &c : k_commands) {
    parsed_command pc;
    pc.def = &c;
    pc.app = app.add_subcommand(c.name, c.summary);
    commands.push_back(std::move(pc));
  }
  for (auto &pc : commands) {
    pc.app->add_option("args", pc.positional)->group("");
    for (const auto &o : k_options) {
      if (!(pc.def->groups & o.grp)) continue;
      CLI::Option *opt;
      if (o.arg) {
        opt = pc.app->add_option(std::string("--") + o.name, o.help)->option_text(o.arg)->type_size(1);
        opt->allow_extra_args(false);
        opt->multi_option_policy(o.repeat ? CLI::MultiOptionPolicy::TakeAll : CLI::MultiOptionPolicy::TakeLast);
      } else {
        opt = pc.app->add_flag(std::string("--") + o.name, o.help);
      }
      pc.options.emplace_back(&o, opt);
    }
    if (pc.def->groups & g_conn)
      pc.password = pc.app->add_option("--password")->group("")->expected(0, 1);
  }
}

// Parses the command line; the chosen command, or null with the exit status
// (help, version, a parse error) in status.
parsed_command *parse_command_line(CLI::App &app, std::vector<parsed_command> &commands, int argc, char **argv,
                                   int &status) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    std::fputs(app.help().c_str(), stdout);
    status = 0;
    return nullptr;
  } catch (const CLI::CallForAllHelp &) {
    std::fputs(app.help().c_str(), stdout);
    status = 0;
    return nullptr;
  } catch (const CLI::CallForVersion &e) {
    std::printf("%s\n", e.what());
    status = 0;
    return nullptr;
  } catch (const CLI::ParseError &e) {
    const char *name = nullptr;
    for (auto &pc : commands)
      if (pc.app->parsed()) name = pc.def->name;
    std::string what = e.what();
    if (!name && what.find("subcommand") != std::string::npos)
      what = "no command given, or unknown command '" + std::string(argv[1]) + "'";
    std::fprintf(stderr, "kerquill%s%s: %s\nRun 'kerquill%s%s --help' for usage.\n", name ? " " : "",
                 name ? name : "", what.c_str(), name ? " " : "", name ? name : "");
    status = 2;
    return nullptr;
  }
  for (auto &pc : commands)
    if (pc.app->parsed()) return &pc;
  status = 2;
  return nullptr;
}

// The command's options as the subcommands read them.
args collect_args(const parsed_command &chosen) {
  if (chosen.password && chosen.password->count() > 0)
    throw usage_error(
        "a password is never given on the command line (it would show in the process list "
        "and the shell history): set KQ_PASSWORD, use --password-file FILE or "
        "--password-command CMD, or answer the prompt");
  args a;
  a.command = chosen.def->name;
  a.positional = chosen.positional;
  for (const auto &[def, opt] : chosen.options) {
    if (opt->count() == 0) continue;
    auto &slot = a.options[def->name];
    if (def->arg) {
      for (const auto &v : opt->results()) slot.push_back(v);
      if (!def->repeat && slot.size() > 1) slot.erase(slot.begin(), slot.end() - 1);
    } else {
      slot.push_back("");
    }
  }
  return a;
}

std::string account_names(const config_file &cfg) {
  std::string known;
  for (const auto &n : cfg.order) known += (known.empty() ? "" : ", ") + n;
  return known;
}

// Whether the command would take settings from an account: a server to talk
// to that the command line does not name, or an archive it leaves out.
bool wants_account(const command_def &cmd, const args &a) {
  if (cmd.groups & g_conn) return !a.has("host") && !std::getenv("KQ_HOST");
  return a.positional.empty();
}

// The account --account names; with none, the file's only account, unless
// the command line names a server of its own.
const account *choose_account(const config_file &cfg, const std::string &path, const global_options &g,
                              const command_def &cmd, const args &a) {
  // 'auth ACCOUNT' names its account like --account.
  std::string name = g.account_name;
  if (cmd.run == cmd_auth && name.empty() && !a.positional.empty()) name = a.positional[0];
  if (!name.empty()) {
    if (path.empty())
      throw config_error("--account " + name +
                         ": no configuration file (looked for $XDG_CONFIG_HOME/kerquill/config.toml "
                         "and ~/.config/kerquill/config.toml; or give --config FILE)");
    auto it = cfg.accounts.find(name);
    if (it == cfg.accounts.end()) {
      std::string known = account_names(cfg);
      throw config_error(path + ": no account '" + name + "'" +
                         (known.empty() ? " (it defines none)" : " (it has: " + known + ")"));
    }
    return &it->second;
  }
  if (cfg.accounts.size() == 1 && !a.has("host") && !std::getenv("KQ_HOST")) return &cfg.accounts.begin()->second;
  if (cfg.accounts.size() > 1 && wants_account(cmd, a))
    throw config_error("several accounts in " + path + ": choose one with --account (" + account_names(cfg) +
                       ") or use --all-accounts");
  return nullptr;
}

// Runs f and maps what it throws to the exit status, saying why on stderr
// (and as an event with --log-format json).
template <class F>
int guarded(const command_def &cmd, F &&f) {
  auto fail = [&](int status, const std::string &text, bool usage) {
    json_object ev;
    ev.str("command", cmd.name).str("message", text).num("exit", status);
    log_event("error", ev);
    if (usage)
      std::fprintf(stderr, "kerquill %s: %s\nRun 'kerquill %s --help' for usage.\n", cmd.name, text.c_str(),
                   cmd.name);
    else if (status == 2)
      std::fprintf(stderr, "kerquill: %s\n", text.c_str());
    else
      std::fprintf(stderr, "kerquill %s: %s\n", cmd.name, text.c_str());
    return status;
  };
  try {
    return f();
  } catch (const usage_error &e) {
    return fail(2, e.what(), true);
  } catch (const config_error &e) {
    return fail(2, e.what(), false);
  } catch (const archive_in_use &e) {
    return fail(k_exit_in_use, e.what(), false);
  } catch (const sign_in_needed &e) {
    return fail(k_exit_sign_in, e.what(), false);
  } catch (const failure &e) {
    return fail(1, e.what(), false);
  } catch (const std::exception &e) {
    return fail(1, e.what(), false);
  }
}

// One run of the command with an account's settings (or none).
int run_with_account(const command_def &cmd, args a, const account *acc) {
  if (acc) apply_account(*acc, a);
  default_dir(acc, a);
  int n = static_cast<int>(a.positional.size());
  // With --uid the ROW argument of show and save-attachment is left out.
  int min_pos = cmd.min_pos, max_pos = cmd.max_pos;
  if (cmd.groups & g_show) {
    if (a.has("uid")) --max_pos;
    else min_pos = max_pos;
  }
  if (n < min_pos || n > max_pos)
    throw usage_error(std::string("'") + cmd.name + "' takes " + cmd.params +
                      (a.has("uid") ? " (without ROW when --uid is given)" : ""));
  return cmd.run(a);
}

// --all-accounts: each account of the file in turn; a failing one does not
// stop the rest, a stop signal does. The closing line names the failures.
int run_all_accounts(const command_def &cmd, const args &a, const config_file &cfg, const std::string &path) {
  if (path.empty())
    throw config_error("--all-accounts: no configuration file (looked for $XDG_CONFIG_HOME/kerquill/config.toml "
                       "and ~/.config/kerquill/config.toml; or give --config FILE)");
  if (cfg.order.empty()) throw config_error(path + ": --all-accounts, but the file defines no account");
  std::vector<std::string> failed;
  int last = 0;
  for (const auto &name : cfg.order) {
    const account &acc = cfg.accounts.at(name);
    g_log_account = name;
    say(1, "account " + name);
    if (!a.has("quiet") && !g_json_log) {
      std::printf("== account %s ==\n", name.c_str());
      std::fflush(stdout);
    }
    last = guarded(cmd, [&] { return run_with_account(cmd, a, &acc); });
    if (last != 0) failed.push_back(name);
    // A stop signal stops the whole run, with the status the command gave.
    if (term_interrupts() > 0) return last;
  }
  g_log_account.clear();
  json_object ev;
  std::string names;
  for (const auto &f : failed) names += (names.empty() ? "" : ", ") + f;
  ev.num("accounts", static_cast<long long>(cfg.order.size()))
      .num("failed", static_cast<long long>(failed.size()))
      .str("failed_accounts", names);
  log_event("accounts_done", ev);
  if (failed.empty()) return 0;
  std::fprintf(stderr, "kerquill: %zu of %zu accounts failed: %s\n", failed.size(), cfg.order.size(), names.c_str());
  return k_exit_some_accounts;
}

}  // namespace

bool is_archive_in_use(const char *library_error) {
  return library_error && std::strstr(library_error, " is in use by another run") != nullptr;
}

[[noreturn]] void lib_fail(const std::string &what) {
  const char *why = kq_last_error();
  // The library's text already names the archive and the holder's pid.
  if (is_archive_in_use(why)) throw archive_in_use(why);
  throw failure(what + ": " + (why && *why ? why : "unknown error"));
}

int run(int argc, char **argv) {
  if (int status = answer_help(argc, argv); status >= 0) return status;

  CLI::App app("kerquill - read, search and archive an IMAP mailbox", "kerquill");
  global_options g;
  std::vector<parsed_command> commands;
  build_parser(app, g, commands);
  int status = 2;
  parsed_command *chosen = parse_command_line(app, commands, argc, argv, status);
  if (!chosen) return status;
  const command_def &cmd = *chosen->def;

  args a;
  config_file cfg;
  std::string path;
  const account *acc = nullptr;
  status = guarded(cmd, [&] {
    a = collect_args(*chosen);
    g_json_log = a.value("log-format") == "json";
    if (g.all_accounts && !g.account_name.empty())
      throw usage_error("--all-accounts and --account exclude each other");
    // The account file: --config, else the XDG place when it exists.
    path = g.config_path.empty() ? default_config_path() : g.config_path;
    if (!path.empty()) cfg = load_config(path);
    if (!g.all_accounts) acc = choose_account(cfg, path, g, cmd, a);
    if (!path.empty()) say(1, "configuration " + path + (acc ? ", account " + acc->name : ""));
    return 0;
  });
  if (status != 0) return status;
  if (g.all_accounts) return guarded(cmd, [&] { return run_all_accounts(cmd, a, cfg, path); });
  if (acc) g_log_account = acc->name;
  return guarded(cmd, [&] { return run_with_account(cmd, a, acc); });
}

}  // namespace kqcli

int main(int argc, char **argv) { return kqcli::run(argc, argv); }
