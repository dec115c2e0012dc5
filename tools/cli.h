// Shared pieces of the kerquill command-line tool: parsed arguments, the two
// kinds of failure and the calls each subcommand file provides.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kqcli {

// Exit status 2: the command line was wrong.
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Exit status 1: the work failed; the text says why.
struct failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Exit status 75: another run holds the archive directory; nothing was
// touched, and the same command may simply be run again later.
struct archive_in_use : failure {
  using failure::failure;
};
// True when a library error says another run holds the archive.
bool is_archive_in_use(const char *library_error);
// Exit status 2: the configuration file is wrong; the text names file, line
// and key.
struct config_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Exit statuses beyond 0, 1 and 2.
constexpr int k_exit_damage = 3;  // verify found missing or changed files
// --all-accounts: some accounts failed, others went through.
constexpr int k_exit_some_accounts = 4;
// Another run holds the archive (EX_TEMPFAIL: try again later).
constexpr int k_exit_in_use = 75;

// -v (1) and -vv (2): what the tool does, and with 2 the IMAP conversation.
extern int g_verbosity;
// Prints "kerquill: " + text on stderr when the verbosity is at least level.
void say(int level, const std::string &text);
// An environment variable's value, "" when unset.
std::string env(const char *name);
// Overwrites a secret before its memory is given back.
void wipe(std::string &s);

struct args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;  // flags hold ""
  // export without DIR, of a folder the account's archive holds no archive
  // of yet: that archive, in which the library names the folder's
  // subdirectory as export-all would.
  std::string archive_root;

  bool has(const std::string &name) const { return options.count(name) != 0; }
  // Last value given, or def.
  std::string value(const std::string &name, const std::string &def = "") const;
  const std::vector<std::string> &values(const std::string &name) const;
  // Whole non-negative number of an option; usage_error when malformed.
  long long number(const std::string &name, long long def) const;
  // Sets an option unless the command line gave it.
  void fill(const std::string &name, const std::string &value);
  void fill(const std::string &name, const std::vector<std::string> &list);
};

// Throws failure with what + ": " + the library's error text.
[[noreturn]] void lib_fail(const std::string &what);

// Which server a set of connection options names: the source (--host,
// KQ_HOST, ...) or copy's target (--to-host, KQ_TO_HOST, ...).
struct side {
  const char *option;  // before each option's name: "" or "to-"
  const char *env;     // before each variable's name: "KQ_" or "KQ_TO_"

  // "--" + option + name, as the user writes it.
  std::string option_name(const char *name) const;
  std::string env_name(const char *name) const;
  // This side's options under their plain names (host, user, ...).
  args own_options(const args &a) const;
};
inline constexpr side source_side{"", "KQ_"};
inline constexpr side target_side{"to-", "KQ_TO_"};

// The server, login and transport a side's options and environment name.
struct endpoint {
  std::string host, user;
  long long port = 993, timeout = 30;
  bool plain = false, starttls = false;
};
// usage_error, naming the side's option, when one is missing or wrong. Asks
// for no secret, so a run can check a later connection before its first.
endpoint check_endpoint(const args &a, const side &sd = source_side);

// Whether the side's password would come from a prompt (no file, command,
// token or variable gives a secret).
bool password_from_prompt(const args &a, const side &sd);
// Asks for the side's password on the terminal now; usage_error without one.
std::string password_now(const args &a, const side &sd);

// Connects with a side's connection options and the environment; disconnects
// when it goes out of scope. asked: the password password_now read, if any,
// instead of a prompt.
class session {
 public:
  explicit session(const args &a, const side &sd = source_side, const std::string &asked = "");
  ~session();
  session(const session &) = delete;
  session &operator=(const session &) = delete;
};

// Search criteria JSON from the search options; "{}" when none is given.
std::string criteria_json(const args &a);
// Runs the search for FOLDER with the search options; returns the row count.
int run_search(const std::string &folder, const args &a);
// Row number argument: a whole number below the row count of the search.
int row_argument(const std::string &text, int rows);

struct archive {
  std::string path;   // handed to the library
  std::string label;  // shown to the user
};
// The directory itself when it holds a manifest.jsonl, else its subdirectories
// that do (nested: an export-all directory). With neither, the directory
// itself, for the library to report on.
std::vector<archive> find_archives(const std::string &dir, bool &nested);

// The subdirectory of ROOT whose resume.json names the folder (by its server
// or its UTF-8 name): the archive the library made of it; "" when none does.
std::string archive_of_folder(const std::string &root, const std::string &name, const std::string &display);

// Subcommands; each returns the exit status.
int cmd_folders(const args &a);
int cmd_probe(const args &a);
int cmd_search(const args &a);
int cmd_show(const args &a);
int cmd_save_attachment(const args &a);
int cmd_export(const args &a);
int cmd_export_all(const args &a);
int cmd_restore(const args &a);
int cmd_restore_all(const args &a);
int cmd_copy(const args &a);
int cmd_verify(const args &a);
int cmd_stats(const args &a);

}  // namespace kqcli
