// copy: one account's mail into another's. The library holds one connection
// per process, so the copy runs in two halves: export-all of the chosen
// folders from the source into DIR, then, connected to the target instead,
// restore-all of the folders that export completed. DIR stays afterwards: it
// is the user's archive of the source and what makes a second run go on
// where the first stopped. The export skips what DIR already holds and each
// folder's restore.jsonl skips what already went up, so running the same
// command again never puts a message on the target twice.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "events.h"
#include "export_all.h"
#include "export_common.h"
#include "format.h"
#include "oauth.h"
#include "restore_all.h"
#include "term.h"

namespace kqcli {

namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The folders the export completed, with messages to send: a folder the
// export failed on is left for the next run rather than sent in part.
std::vector<fs::path> exported_folders(const export_all_pass &ex) {
  std::vector<fs::path> dirs;
  for (const auto &r : ex.results)
    if (r.word == "done" && r.messages > 0 && !r.dir.empty()) dirs.emplace_back(r.dir);
  return dirs;
}

}  // namespace

void apply_target_account(const config_file &cfg, const std::string &path, args &a) {
  const std::string name = a.value("to-account");
  if (name.empty()) throw usage_error("--to-account wants an account name");
  if (path.empty())
    throw config_error("--to-account " + name +
                       ": no configuration file (looked for $XDG_CONFIG_HOME/kerquill/config.toml "
                       "and ~/.config/kerquill/config.toml; or give --config FILE)");
  auto it = cfg.accounts.find(name);
  if (it == cfg.accounts.end()) {
    std::string known;
    for (const auto &n : cfg.order) known += (known.empty() ? "" : ", ") + n;
    throw config_error(path + ": no account '" + name + "'" +
                       (known.empty() ? " (it defines none)" : " (it has: " + known + ")"));
  }
  // The account fills what the --to- options leave open, as --account does
  // for the source; only its connection settings concern the target.
  args target = target_side.own_options(a);
  apply_account(it->second, target);
  for (const auto &[key, values] : target.options) {
    bool connection = key == "host" || key == "port" || key == "user" || key == "ca-file" || key == "plain" ||
                      key == "starttls" || key == "insecure" || key == "password-command" ||
                      key == "oauth-token-command" || key.rfind("oauth-", 0) == 0;
    if (connection) a.options[target_side.option + key] = values;
  }
}

int cmd_copy(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  progress_view view = make_view(a);
  check_export_all_options(a);
  // Both servers are checked before the first message moves: a mistyped
  // target should not cost a whole export first.
  const endpoint from = check_endpoint(a, source_side);
  const endpoint to = check_endpoint(a, target_side);
  if (lower(from.host) == lower(to.host) && from.port == to.port && from.user == to.user)
    throw usage_error("the target is the source (" + to.user + " at " + to.host + ":" + std::to_string(to.port) +
                      "): copy goes from one mailbox to another");

  // Both passwords that need a prompt are asked for now, the target's not
  // after an export that may take hours; with no terminal to ask on, the run
  // stops before it starts.
  std::string asked_source, asked;
  struct wiper {
    std::string &s;
    ~wiper() { wipe(s); }
  } wipe_source{asked_source}, wipe_target{asked};
  if (password_from_prompt(a, source_side)) asked_source = password_now(a, source_side);
  if (!a.has("dry-run") && password_from_prompt(a, target_side)) asked = password_now(a, target_side);

  term_catch_interrupts();
  g_log_phase = "export";
  export_all_pass ex;
  {
    session source(a, source_side, asked_source);
    ex = run_export_all(a, dir, view);
  }
  if (ex.dry_run_status >= 0) return ex.dry_run_status;
  if (ex.cancelled) {
    log_event("cancelled");
    std::fprintf(stderr, "Copy cancelled during the export; nothing was sent to the target yet.\n");
    resumable_note(true, dir);
    return cancelled_status();
  }
  print_export_summary(a, dir, ex);

  g_log_phase = "restore";
  const std::vector<fs::path> dirs = exported_folders(ex);
  restore_all_pass re;
  if (!dirs.empty()) {
    stop_if_asked("restore");
    std::optional<session> target;
    try {
      target.emplace(a, target_side, asked);
    } catch (const sign_in_needed &) {
      throw;
    } catch (const failure &e) {
      throw failure(std::string(e.what()) + "\nThe source's mail is kept in " + dir +
                    "; run the same command again once the target takes the login: the export then "
                    "fetches only what is new and the copy goes on.");
    }
    re = run_restore_all(a, dirs, view);
  }
  if (re.cancelled) return cancelled_status();
  g_log_phase.clear();

  long long folders_failed = static_cast<long long>(re.errors.size());
  for (const auto &r : ex.results)
    if (r.word != "done" && r.word != "unreadable") ++folders_failed;
  json_object ev;
  ev.num("folders", static_cast<long long>(dirs.size()) - static_cast<long long>(re.errors.size()))
      .num("failed", folders_failed)
      .num("unreadable", ex.unreadable);
  log_event("copy_done", ev);

  if (!ex.failed.empty() || !re.errors.empty()) {
    std::string text = "the copy is not complete:";
    if (!ex.failed.empty()) text += "\n  " + ex.failed + "; not sent to the target";
    for (const auto &e : re.errors) text += "\n  not fully copied: " + e;
    text += "\nThe other folders were copied. The archive stays in " + dir + "; ";
    text += ex.failed.empty() ? std::string("run the same command again to go on (nothing is copied twice).")
                              : ex.advice;
    throw failure(text);
  }
  if (human_output(a))
    std::printf("Copied %s to %s at %s; the archive stays in %s.\n",
                count_text(static_cast<long long>(ex.done), "folder", "folders").c_str(), to.user.c_str(),
                to.host.c_str(), dir.c_str());
  return 0;
}

}  // namespace kqcli
