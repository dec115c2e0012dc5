// The command line, parsed by CLI11 from the tables: the chosen command and
// its options.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"

#ifndef KQ_TOOL_VERSION
#define KQ_TOOL_VERSION "0.0.0"
#endif

namespace kqcli {

void build_parser(CLI::App &app, global_options &g, std::vector<parsed_command> &commands) {
  app.formatter(help_formatter());
  app.set_help_flag("-h,--help", "this text");
  app.set_version_flag("--version", std::string("kerquill ") + KQ_TOOL_VERSION, "print the version and exit");
  app.add_option("--config", g.config_path, "accounts file")->option_text("FILE");
  app.add_option("--account", g.account_name, "account to use")->option_text("NAME");
  app.add_flag("--all-accounts", g.all_accounts, "every account in turn");
  app.add_flag("-v,--verbose", g_verbosity, "more output; twice: the IMAP conversation");
  // Options of the whole tool are also taken after the command's name.
  app.fallthrough();
  app.require_subcommand(1, 1);

  commands.reserve(tool_commands().size());
  for (const auto &c : tool_commands()) {
    parsed_command pc;
    pc.def = &c;
    pc.app = app.add_subcommand(c.name, c.summary);
    commands.push_back(std::move(pc));
  }
  for (auto &pc : commands) {
    pc.app->add_option("args", pc.positional)->group("");
    for (const auto &o : tool_options()) {
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
    if (pc.def->groups & g_target)
      pc.to_password = pc.app->add_option("--to-password")->group("")->expected(0, 1);
  }
}

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

args collect_args(const parsed_command &chosen) {
  if (chosen.password && chosen.password->count() > 0)
    throw usage_error(
        "a password is never given on the command line (it would show in the process list "
        "and the shell history): set KQ_PASSWORD, use --password-file FILE or "
        "--password-command CMD, or answer the prompt");
  if (chosen.to_password && chosen.to_password->count() > 0)
    throw usage_error(
        "a password is never given on the command line (it would show in the process list "
        "and the shell history): set KQ_TO_PASSWORD, use --to-password-file FILE or "
        "--to-password-command CMD, or answer the prompt");
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

}  // namespace kqcli
