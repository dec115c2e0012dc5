// kerquill: the command-line host of the library. Parses the command line,
// prints help and maps failures to exit statuses (0 ok, 1 failed, 2 usage).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "kerquill.h"

namespace kqcli {

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
    {"port", "N", g_conn, false, "port (or KQ_PORT; default 993, 143 with --plain)"},
    {"plain", nullptr, g_conn, false, "plain IMAP without TLS (only for trusted networks)"},
    {"user", "NAME", g_conn, false, "login name (or KQ_USER)"},
    {"password-file", "FILE", g_conn, false,
     "read the password from the first line of FILE; else KQ_PASSWORD, else a prompt"},
    {"oauth-token-file", "FILE", g_conn, false, "log in with the OAuth2 token in FILE (XOAUTH2)"},
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
    {"has-attachments", "0|1", g_search, false, "messages with (1) or without (0) attachments, as far as the header tells"},
    {"uid-min", "N", g_search, false, "first UID to look at"},
    {"uid-max", "N", g_search, false, "last UID to look at"},
    {"uid", "N", g_show, false, "address the message by UID instead of ROW"},
    {"save-eml", "FILE", g_show, false, "also write the raw message to FILE"},
    {"full-header", nullptr, g_show, false, "print the whole header block"},
    {"mbox", nullptr, g_export, false, "also write all.mbox"},
    {"dated", nullptr, g_export, false, "store messages in YYYY-MM subdirectories"},
    {"folder", "NAME", g_batch, true, "export only this folder (repeatable; default: all)"},
    {"flat", nullptr, g_batch, false, "no YYYY-MM subdirectories inside each folder"},
    {"no-resume", nullptr, g_jobopts, false, "start over instead of skipping stored messages"},
    {"no-manifest", nullptr, g_jobopts, false, "do not write manifest.jsonl (verify needs it)"},
    {"quiet", nullptr, g_progress, false, "no progress output"},
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
    {"export", "FOLDER DIR", 2, 2, g_conn | g_search | g_export | g_jobopts | g_progress, cmd_export,
     "archive the found messages of a folder into DIR",
     "Stores every message the search finds as DIR/uid-N.eml with a\n"
     "manifest.jsonl of SHA-256 digests. Running it again resumes: stored\n"
     "messages are skipped. Ctrl-C stops cleanly after the current message\n"
     "(a second Ctrl-C stops at once)."},
    {"export-all", "DIR", 1, 1, g_conn | g_batch | g_jobopts | g_progress, cmd_export_all,
     "archive every folder into DIR/FOLDER",
     "Exports each folder (or each --folder) into a subdirectory of DIR named\n"
     "after the folder ('/' becomes '_'), messages in YYYY-MM subdirectories\n"
     "unless --flat. Running it again resumes every folder."},
    {"verify", "DIR", 1, 1, g_json, cmd_verify, "check an archive against its manifest",
     "Re-hashes every message file the manifest lists and reports missing and\n"
     "changed files. DIR may be one export or an export-all directory.\n"
     "Exits with 1 when anything is missing or corrupt."},
    {"stats", "DIR", 1, 1, g_json, cmd_stats, "summarise an archive from its manifest",
     "Counts the messages and bytes of an archive and its date range.\n"
     "DIR may be one export or an export-all directory."},
};

const command_def *find_command(const std::string &name) {
  for (const auto &c : k_commands)
    if (name == c.name) return &c;
  return nullptr;
}

const option_def *find_option(const std::string &name) {
  for (const auto &o : k_options)
    if (name == o.name) return &o;
  return nullptr;
}

void print_main_help(std::FILE *f) {
  std::fprintf(f,
               "kerquill - read, search and archive an IMAP mailbox\n\n"
               "Usage: kerquill COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n");
  for (const auto &c : k_commands) std::fprintf(f, "  %-16s %s\n", c.name, c.summary);
  std::fprintf(f,
               "\nConnection (every command that talks to the server):\n"
               "  kerquill folders --host imap.example.org --user me\n"
               "The password comes from KQ_PASSWORD, --password-file FILE or a prompt;\n"
               "it is never given on the command line.\n\n"
               "Run 'kerquill COMMAND --help' for a command's arguments and options.\n"
               "Exit status: 0 success, 1 failure (reason on stderr), 2 usage error.\n");
}

void print_command_help(const command_def &c) {
  std::printf("Usage: kerquill %s%s%s [OPTIONS]\n\n%s\n", c.name, *c.params ? " " : "", c.params,
              c.details);
  struct {
    unsigned grp;
    const char *title;
  } const sections[] = {
      {g_search, "Search options"}, {g_show, "Message options"},  {g_export, "Export options"},
      {g_batch, "Folder options"},  {g_jobopts, "Archive options"}, {g_progress, "Progress"},
      {g_json, "Output"},           {g_conn, "Connection"},
  };
  for (const auto &s : sections) {
    if (!(c.groups & s.grp)) continue;
    std::printf("\n%s:\n", s.title);
    for (const auto &o : k_options) {
      if (o.grp != s.grp) continue;
      std::string left = std::string("--") + o.name + (o.arg ? std::string(" ") + o.arg : "");
      std::printf("  %-30s %s\n", left.c_str(), o.help);
    }
  }
  std::printf("\n  %-30s %s\n", "--help", "this text");
}

args parse(int argc, char **argv, const command_def &cmd) {
  args a;
  a.command = cmd.name;
  bool options_done = false;
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    if (options_done || s.size() < 2 || s[0] != '-' || s == "-") {
      a.positional.push_back(s);
      continue;
    }
    if (s == "--") {
      options_done = true;
      continue;
    }
    if (s == "-h" || s == "--help") {
      a.options["help"].push_back("");
      continue;
    }
    if (s.rfind("--", 0) != 0) throw usage_error("unknown option " + s);
    std::string name = s.substr(2), value;
    bool inline_value = false;
    if (std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inline_value = true;
    }
    if (name == "password")
      throw usage_error(
          "a password is never given on the command line (it would show in the process list "
          "and the shell history): set KQ_PASSWORD, use --password-file FILE, or answer the "
          "prompt");
    const option_def *o = find_option(name);
    if (!o) throw usage_error("unknown option --" + name);
    if (!(cmd.groups & o->grp))
      throw usage_error("option --" + name + " does not apply to '" + cmd.name + "'");
    if (o->arg) {
      if (!inline_value) {
        if (i + 1 >= argc) throw usage_error("option --" + name + " needs a value (" + o->arg + ")");
        value = argv[++i];
      }
    } else if (inline_value) {
      throw usage_error("option --" + name + " takes no value");
    }
    auto &slot = a.options[name];
    if (!o->repeat) slot.clear();
    slot.push_back(value);
  }
  return a;
}

}  // namespace

std::string args::value(const std::string &name, const std::string &def) const {
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? def : it->second.back();
}

const std::vector<std::string> &args::values(const std::string &name) const {
  static const std::vector<std::string> none;
  auto it = options.find(name);
  return it == options.end() ? none : it->second;
}

long long args::number(const std::string &name, long long def) const {
  if (!has(name)) return def;
  std::string v = value(name);
  if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos)
    throw usage_error("--" + name + " wants a whole number, not '" + v + "'");
  return std::stoll(v);
}

[[noreturn]] void lib_fail(const std::string &what) {
  const char *why = kq_last_error();
  throw failure(what + ": " + (why && *why ? why : "unknown error"));
}

int run(int argc, char **argv) {
  if (argc < 2) {
    print_main_help(stderr);
    return 2;
  }
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    if (name == "help" && argc > 2) {
      if (const command_def *c = find_command(argv[2])) {
        print_command_help(*c);
        return 0;
      }
    }
    print_main_help(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("kerquill 0.1.0\n");
    return 0;
  }
  const command_def *cmd = find_command(name);
  if (!cmd) {
    std::fprintf(stderr, "kerquill: unknown command '%s'\nRun 'kerquill --help' for the list.\n",
                 name.c_str());
    return 2;
  }
  try {
    args a = parse(argc, argv, *cmd);
    if (a.has("help")) {
      print_command_help(*cmd);
      return 0;
    }
    int n = static_cast<int>(a.positional.size());
    // With --uid the ROW argument of show and save-attachment is left out.
    int min_pos = cmd->min_pos, max_pos = cmd->max_pos;
    if (cmd->groups & g_show) {
      if (a.has("uid")) --max_pos;
      else min_pos = max_pos;
    }
    if (n < min_pos || n > max_pos)
      throw usage_error(std::string("'") + cmd->name + "' takes " + cmd->params +
                        (a.has("uid") ? " (without ROW when --uid is given)" : ""));
    return cmd->run(a);
  } catch (const usage_error &e) {
    std::fprintf(stderr, "kerquill %s: %s\nRun 'kerquill %s --help' for usage.\n", cmd->name, e.what(),
                 cmd->name);
    return 2;
  } catch (const failure &e) {
    std::fprintf(stderr, "kerquill %s: %s\n", cmd->name, e.what());
    return 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "kerquill %s: %s\n", cmd->name, e.what());
    return 1;
  }
}

}  // namespace kqcli

int main(int argc, char **argv) { return kqcli::run(argc, argv); }
