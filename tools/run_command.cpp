// Running the chosen command: with an account's settings (or none), for
// every account in turn, and the exit status each failure maps to.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "events.h"
#include "kerquill.h"
#include "oauth.h"
#include "term.h"

namespace kqcli {

namespace {

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

}  // namespace

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

namespace {

// The command's ARCHIVE default: export-all's and verify's DIR, export's
// ARCHIVE/FOLDER.
void default_dir(const account *acc, args &a) {
  const std::string cmd = a.command;
  if (cmd == "export") {
    if (a.positional.size() == 1 && acc && acc->archive) {
      // The archive the library made of the folder on an earlier run, else
      // the subdirectory export-all would give it, which the library names.
      std::string found = archive_of_folder(*acc->archive, a.positional[0], a.positional[0]);
      if (!found.empty()) a.positional.push_back(found);
      else a.archive_root = *acc->archive;
    }
    if (a.positional.size() < 2 && a.archive_root.empty())
      throw usage_error("'export' takes FOLDER DIR (DIR may be left out when the account sets archive)");
  } else if (cmd == "export-all" || cmd == "verify" || cmd == "stats") {
    if (a.positional.empty() && acc && acc->archive) a.positional.push_back(*acc->archive);
    if (a.positional.empty())
      throw usage_error("'" + cmd + "' takes DIR (it may be left out when the account sets archive)");
  }
}

}  // namespace

int guarded(const command_def &cmd, const std::function<int()> &f) {
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


bool is_archive_in_use(const char *library_error) {
  return library_error && std::strstr(library_error, " is in use by another run") != nullptr;
}

[[noreturn]] void lib_fail(const std::string &what) {
  const char *why = kq_last_error();
  // The library's text already names the archive and the holder's pid.
  if (is_archive_in_use(why)) throw archive_in_use(why);
  throw failure(what + ": " + (why && *why ? why : "unknown error"));
}

}  // namespace kqcli
