// kerquill: the command-line host of the library. CLI11 parses the command
// line from the tables (the options in options.cpp, the commands below),
// which also write the help; the configuration file's account fills what the
// command line left open; failures map to the exit statuses (0 done, 1
// failed, 2 usage, 3 damage found by verify). A new command is a row below
// and its cmd_ function (cli.h).
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "commands.h"
#include "config.h"
#include "events.h"
#include "oauth.h"

namespace kqcli {

int g_verbosity = 0;

void say(int level, const std::string &text) {
  if (g_verbosity >= level) std::fprintf(stderr, "kerquill: %s\n", text.c_str());
}

namespace {

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
    {"copy", "DIR", 1, 1, g_conn | g_target | g_batch | g_progress, cmd_copy,
     "copy every folder (or the chosen ones) to another account",
     "Copies the mail of the account the connection options name (the source)\n"
     "to the one the --to- options name (the target): first as export-all of the\n"
     "chosen folders into DIR, then, connected to the target, as restore-all of\n"
     "them into folders of the same names (with --prefix P before them), with\n"
     "their received dates and flags. DIR stays: it is an archive of the source.\n"
     "Running the same command again goes on where a run stopped and copies\n"
     "nothing twice. A folder the export could not complete is not sent (the\n"
     "others are) and the run exits with status 1, naming it. Folders with no\n"
     "messages are not created on the target. --dry-run only counts what the\n"
     "export would fetch, without contacting the target."},
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

}  // namespace

std::span<const command_def> tool_commands() { return k_commands; }

const command_def *find_command(const std::string &name) {
  for (const auto &c : k_commands)
    if (name == c.name) return &c;
  return nullptr;
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
    if (g.all_accounts && (cmd.groups & g_target))
      throw usage_error("--all-accounts does not go with '" + std::string(cmd.name) +
                        "': it copies one account to another (name the source with --account)");
    // The account file: --config, else the XDG place when it exists.
    path = g.config_path.empty() ? default_config_path() : g.config_path;
    if (!path.empty()) cfg = load_config(path);
    if (!g.all_accounts) acc = choose_account(cfg, path, g, cmd, a);
    if ((cmd.groups & g_target) && a.has("to-account")) apply_target_account(cfg, path, a);
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
