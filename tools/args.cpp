// The parsed command line as the subcommands read it.
#include <string>
#include <vector>

#include "cli.h"

namespace kqcli {

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

void args::fill(const std::string &name, const std::string &value) {
  if (!has(name)) options[name] = {value};
}

void args::fill(const std::string &name, const std::vector<std::string> &list) {
  if (!has(name)) options[name] = list;
}

}  // namespace kqcli
