// Restore of an exported folder of 1,000 and of 5,000 messages through a
// relay that delays each direction (10 ms round trips by default), beside
// the ceiling measured in the same run over the same path: the same messages
// with their dates in one MULTIAPPEND of non-synchronizing literals on a
// plain connection, with no reading of files and no bookkeeping.
//
//   kq_restore_bench [--delay-ms 5] [--dir PARENT]
//
// Prints seconds, the ratio to the ceiling (goal <= 1.5) and the peak RSS;
// asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kerquill.h"
#include "support/delay_proxy.h"
#include "support/dovecot_server.h"
#include "support/platform/memory_use.h"
#include "support/raw_imap.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string message(int i, std::mt19937 &rnd) {
  std::size_t size = 2000 + rnd() % 2001;
  std::string m = "From: Sender " + std::to_string(i % 50) + " <s" + std::to_string(i % 50) +
                  "@example.org>\r\nTo: team@example.com\r\nSubject: restore bench " + std::to_string(i) +
                  "\r\nMessage-ID: <r" + std::to_string(i) + "@example.org>\r\n\r\n";
  while (m.size() + 2 < size) {
    std::size_t line_end = std::min(size - 2, m.size() + 60);
    while (m.size() < line_end) m += static_cast<char>('a' + rnd() % 26);
    m += "\r\n";
  }
  return m;
}

bool connect_to(const std::string &user, int port) {
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"ssl\":0,\"user\":\"" + user +
                    "\",\"pass\":\"pw\"}";
  if (kq_connect(cfg.c_str()) == 0) return true;
  std::printf("connect: %s\n", kq_last_error());
  return false;
}

// Fills `folder` with n messages and exports it into dir, directly.
bool prepare(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n,
             const std::string &dir, int port, std::vector<std::string> &bodies) {
  if (!dv.create_folder(user, folder)) return false;
  std::mt19937 rnd(4242 + n);
  for (int start = 0; start < n; start += 1000) {
    std::vector<kqtest::DovecotServer::Message> batch;
    for (int i = start; i < n && i < start + 1000; ++i) {
      bodies.push_back(message(i, rnd));
      batch.push_back({bodies.back(), 1600000000 + i * 600LL, i % 3 ? "\\Seen" : ""});
    }
    if (dv.append_many(user, folder, batch).size() != batch.size()) return false;
  }
  if (!connect_to(user, port)) return false;
  std::string cfg = "{\"dir\":\"" + dir + "\"}";
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_export_start(cfg.c_str()) != 0) return false;
  while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  bool ok = kq_export_status() == 2;
  kq_disconnect();
  return ok;
}

struct figure {
  double s = 0;
  long rss_kb = 0;
  int state = 0;
};

figure restore_run(const std::string &dir, const std::string &target) {
  figure f;
  kqtest::platform::reset_peak_rss();
  auto t0 = clock_type::now();
  std::string cfg = "{\"dir\":\"" + dir + "\",\"folder\":\"" + target + "\"}";
  if (kq_restore_start(cfg.c_str()) != 0) {
    std::printf("restore: %s\n", kq_last_error());
    return f;
  }
  while (kq_restore_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  f.s = seconds_since(t0);
  f.rss_kb = kqtest::platform::peak_rss_kb();
  f.state = kq_restore_status();
  return f;
}

// The ceiling: every message in one MULTIAPPEND, literals not waited for.
double raw_append(int port, const std::string &user, const std::string &folder,
                  const std::vector<std::string> &bodies) {
  kqbench::raw_imap c;
  std::string err;
  if (!c.open(port, user, "pw", &err)) return -1;
  c.run("CREATE \"" + folder + "\"");
  auto t0 = clock_type::now();
  std::string cmd = "APPEND \"" + folder + "\"";
  for (std::size_t i = 0; i < bodies.size(); ++i)
    cmd += " (\\Seen) \"01-Jan-2021 10:00:00 +0000\" {" + std::to_string(bodies[i].size()) + "+}\r\n" + bodies[i];
  if (!c.run(cmd)) return -1;
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char **argv) {
  int delay_ms = 5;
  std::string parent = fs::temp_directory_path().string();
  if (fs::is_directory("/dev/shm")) parent = "/dev/shm";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--delay-ms") delay_ms = std::atoi(argv[i + 1]);
    else if (k == "--dir") parent = argv[i + 1];
  }
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("restore-bench");
  dv.add_user(user, "pw");
  kqbench::delay_proxy proxy;
  std::string err;
  if (!proxy.start(dv.plain_port(), delay_ms, 0, &err)) {
    std::printf("proxy: %s\n", err.c_str());
    return 1;
  }
  std::printf("| %-34s | %-9s | %-9s | %-7s | %-8s | %-12s |\n", "work", "kerquill", "ceiling", "ratio", "goal",
              "peak RSS");
  for (int n : {1000, 5000}) {
    std::string folder = "B" + std::to_string(n);
    std::string dir = parent + "/kq-restore-bench-" + std::to_string(n) + "-" + std::to_string(std::random_device{}());
    std::vector<std::string> bodies;
    if (!prepare(dv, user, folder, n, dir, dv.plain_port(), bodies)) {
      std::printf("could not prepare %d messages: %s %s\n", n, dv.last_error().c_str(), kq_last_error());
      return 1;
    }
    if (!connect_to(user, proxy.port())) return 1;
    figure f = restore_run(dir, "R" + folder);
    kq_disconnect();
    double ceiling = raw_append(proxy.port(), user, "C" + folder, bodies);
    char work[64];
    std::snprintf(work, sizeof work, "restore %d msgs, %d ms RTT", n, 2 * delay_ms);
    std::printf("| %-34s | %7.2f s | %7.2f s | %6.2fx | %-8s | %9ld KiB |%s\n", work, f.s, ceiling,
                ceiling > 0 ? f.s / ceiling : 0.0, "<= 1.5x", f.rss_kb, f.state == 2 ? "" : " (did not end done)");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return 0;
}
