#include "events.h"

#include <cstdio>
#include <ctime>

namespace kqcli {

bool g_json_log = false;
std::string g_log_account;
std::string g_log_phase;

namespace {

std::string utc_now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

void log_event(const char *name, json_object &fields) {
  if (!g_json_log) return;
  // The fields come first in the object the caller built; the line leads with
  // time, event and account, so they are rebuilt around it.
  std::string body = fields.text();
  std::string line = "{\"time\":";
  json_put_str(line, utc_now());
  line += ",\"event\":";
  json_put_str(line, name);
  if (!g_log_account.empty()) {
    line += ",\"account\":";
    json_put_str(line, g_log_account);
  }
  if (!g_log_phase.empty()) {
    line += ",\"phase\":";
    json_put_str(line, g_log_phase);
  }
  if (body.size() > 2) line += "," + body.substr(1);
  else line += "}";
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

void log_event(const char *name) {
  json_object none;
  log_event(name, none);
}

}  // namespace kqcli
