// What a re-run costs when nothing is new, and what memory an export of a
// very large message takes. Prints figures and ratios; asserts nothing.
//
//   kq_rerun_bench [--delay-ms 5] [--small 5000] [--large 50000] [--big-mb 200] [--runs 3] [--dir D]
//
// Re-runs: a folder of --small messages behind the delay relay (a round
// trip of twice --delay-ms) and one of --large messages on loopback, each
// archived once and then exported again with nothing new, three ways:
// kq_export_all_folders, kq_export_start naming the folder, and
// kq_search + kq_export_start (what a host does with a search result).
// Memory: a folder holding one --big-mb message and 1,000 small ones is
// exported (eml+mbox) by a child process of this program, whose peak
// resident set (getrusage's ru_maxrss) is what the export took.
//
// Only the C interface is used, so the same file builds against an older
// library for a figure to compare with.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "kerquill.h"
#include "support/delay_proxy.h"
#include "support/dovecot_server.h"
#include "support/platform/memory_use.h"
#include "support/platform/os.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string message(int i, std::size_t size, std::mt19937 &rnd) {
  std::string m = "From: Sender " + std::to_string(i % 50) + " <s" + std::to_string(i % 50) +
                  "@example.org>\r\nTo: team@example.com\r\nSubject: rerun bench " + std::to_string(i) +
                  "\r\nMessage-ID: <r" + std::to_string(i) + "@example.org>\r\n\r\n";
  while (m.size() + 2 < size) {
    std::size_t line_end = std::min(size - 2, m.size() + 70);
    if (rnd() % 9 == 0) m += "From ";
    while (m.size() < line_end) m += static_cast<char>('a' + rnd() % 26);
    m += "\r\n";
  }
  return m;
}

// n messages of 2-4 KB, dated over the months of several years.
bool fill(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n) {
  if (!dv.create_folder(user, folder)) return false;
  std::mt19937 rnd(4242);
  for (int start = 0; start < n; start += 1000) {
    std::vector<kqtest::DovecotServer::Message> batch;
    for (int i = start; i < n && i < start + 1000; ++i)
      batch.push_back({message(i, 2000 + rnd() % 2001, rnd), 1500000000 + i * 6000LL, ""});
    if (dv.append_many(user, folder, batch).size() != batch.size()) return false;
  }
  return true;
}

std::string fresh_dir(const std::string &parent) {
  static std::mt19937 rnd(std::random_device{}());
  return parent + "/kq-rerun-bench-" + std::to_string(rnd());
}

bool connect_to(const std::string &user, int port) {
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
                    ",\"ssl\":0,\"user\":" + kqtest::json_quote(user) + ",\"pass\":\"pw\",\"tls_verify\":0}";
  if (kq_connect(cfg.c_str()) == 0) return true;
  std::printf("connect: %s\n", kq_last_error());
  return false;
}

int wait_job() {
  while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return kq_export_status();
}

// Seconds, or -1 when the run failed (its reason printed).
double batch_run(const std::string &folder, const std::string &dir) {
  std::string cfg = "{\"dir\":" + kqtest::json_quote(dir) + ",\"naming\":\"YYYY\",\"folders\":[" +
                    kqtest::json_quote(folder) + "]}";
  // The last batch's thread may still be letting go just after its status
  // said it finished: that tail is not this run's.
  auto t0 = clock_type::now();
  for (int tries = 0;; ++tries) {
    t0 = clock_type::now();
    if (kq_export_all_folders(cfg.c_str()) == 0) break;
    if (std::string(kq_last_error()) != "batch already running" || tries > 5000) {
      std::printf("  batch: %s\n", kq_last_error());
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string st;
  for (;;) {
    st = kq_export_all_status_json();
    if (st.find("\"state\":1,") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double s = seconds_since(t0);
  if (st.find("\"state\":2,") == std::string::npos) {
    std::printf("  batch: %s\n", st.c_str());
    return -1;
  }
  return s;
}

double folder_run(const std::string &folder, const std::string &dir) {
  std::string cfg = "{\"dir\":" + kqtest::json_quote(dir) + ",\"naming\":\"YYYY\",\"folder\":" +
                    kqtest::json_quote(folder) + "}";
  auto t0 = clock_type::now();
  if (kq_export_start(cfg.c_str()) != 0) {
    std::printf("  kq_export_start with \"folder\": %s\n", kq_last_error());
    return -1;
  }
  int st = wait_job();
  double s = seconds_since(t0);
  if (st != 2) {
    std::printf("  kq_export_start with \"folder\" ended in state %d: %s\n", st, kq_export_stats_json());
    return -1;
  }
  return s;
}

double search_run(const std::string &folder, const std::string &dir) {
  std::string cfg = "{\"dir\":" + kqtest::json_quote(dir) + ",\"naming\":\"YYYY\"}";
  auto t0 = clock_type::now();
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_export_start(cfg.c_str()) != 0) {
    std::printf("  search + kq_export_start: %s\n", kq_last_error());
    return -1;
  }
  int st = wait_job();
  double s = seconds_since(t0);
  if (st != 2) {
    std::printf("  search + kq_export_start ended in state %d: %s\n", st, kq_export_stats_json());
    return -1;
  }
  return s;
}

// The first run fills the archive; the median of `runs` re-runs is printed
// against the target.
template <class Run>
void rerun_row(const char *what, const std::string &parent, int runs, double target, Run run) {
  std::string dir = fresh_dir(parent);
  double first = run(dir);
  std::vector<double> again;
  for (int i = 0; i < runs && first >= 0; ++i) {
    double s = run(dir);
    if (s < 0) break;
    again.push_back(s);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (again.empty()) {
    std::printf("| %-56s | %9s | %9s | %7s | %-9s |\n", what, "-", "-", "-", "n/a");
    return;
  }
  std::sort(again.begin(), again.end());
  double med = again[again.size() / 2];
  std::printf("| %-56s | %8.2fs | %8.3fs | %6.2fx | <= %.2f s %s |\n", what, first, med, med / target, target,
              med <= target ? "met" : "OVER");
}

void rerun_rows(const std::string &user, int port, const std::string &folder, const std::string &where,
                const std::string &parent, int runs, double target) {
  if (!connect_to(user, port)) return;
  rerun_row(("export-all re-run, " + where).c_str(), parent, runs, target,
            [&](const std::string &dir) { return batch_run(folder, dir); });
  rerun_row(("kq_export_start \"folder\" re-run, " + where).c_str(), parent, runs, target,
            [&](const std::string &dir) { return folder_run(folder, dir); });
  rerun_row(("kq_search + kq_export_start re-run, " + where).c_str(), parent, runs, target,
            [&](const std::string &dir) { return search_run(folder, dir); });
  kq_disconnect();
}

long own_peak_rss_kb() {
#ifndef _WIN32
  struct rusage ru {};
  if (getrusage(RUSAGE_SELF, &ru) == 0) return ru.ru_maxrss;  // KiB on Linux
#endif
  return kqtest::platform::peak_rss_kb();
}

// The child's side of the memory figure: export the folder, print its own
// peak resident set.
int rss_child(int port, const std::string &user, const std::string &folder, const std::string &dir) {
  if (!connect_to(user, port)) return 1;
  long before = own_peak_rss_kb();
  std::string cfg = "{\"dir\":" + kqtest::json_quote(dir) + ",\"format\":\"eml+mbox\"}";
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_export_start(cfg.c_str()) != 0) {
    std::printf("error %s\n", kq_last_error());
    return 1;
  }
  int st = wait_job();
  std::printf("state %d peak_kb %ld connected_kb %ld\n", st, own_peak_rss_kb(), before);
  kq_disconnect();
  return st == 2 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 6 && std::string(argv[1]) == "--rss-child")
    return rss_child(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
  int delay_ms = 5, small = 5000, large = 50000, big_mb = 200, runs = 3;
  std::string parent = fs::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--delay-ms") delay_ms = std::atoi(argv[i + 1]);
    else if (k == "--small") small = std::atoi(argv[i + 1]);
    else if (k == "--large") large = std::atoi(argv[i + 1]);
    else if (k == "--big-mb") big_mb = std::atoi(argv[i + 1]);
    else if (k == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (k == "--dir") parent = argv[i + 1];
  }
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("rerun-bench");
  dv.add_user(user, "pw");
  std::printf("| %-56s | %9s | %9s | %7s | %-13s |\n", "work", "first run", "re-run", "/target", "target");

  if (small > 0) {
    if (!fill(dv, user, "Small", small)) {
      std::printf("could not fill: %s\n", dv.last_error().c_str());
      return 1;
    }
    kqbench::delay_proxy proxy;
    std::string err;
    if (!proxy.start(dv.plain_port(), delay_ms, 0, &err)) {
      std::printf("proxy: %s\n", err.c_str());
      return 1;
    }
    rerun_rows(user, proxy.port(), "Small",
               std::to_string(small) + " msgs, " + std::to_string(2 * delay_ms) + " ms RTT", parent, runs, 0.25);
    proxy.stop();
  }
  if (large > 0) {
    if (!fill(dv, user, "Large", large)) {
      std::printf("could not fill: %s\n", dv.last_error().c_str());
      return 1;
    }
    rerun_rows(user, dv.plain_port(), "Large", std::to_string(large) + " msgs, loopback", parent, runs, 0.6);
  }
  if (big_mb > 0) {
    if (!fill(dv, user, "Big", 1000)) {
      std::printf("could not fill: %s\n", dv.last_error().c_str());
      return 1;
    }
    std::mt19937 rnd(99);
    std::vector<kqtest::DovecotServer::Message> one;
    one.push_back({message(-1, static_cast<std::size_t>(big_mb) << 20, rnd), 1700000000, ""});
    if (dv.append_many(user, "Big", one).size() != 1) {
      std::printf("could not append the large message: %s\n", dv.last_error().c_str());
      return 1;
    }
    one.clear();
    one.shrink_to_fit();
    std::string dir = fresh_dir(parent);
    auto t0 = clock_type::now();
    kqtest::platform::RunResult r =
        kqtest::platform::run({argv[0], "--rss-child", std::to_string(dv.plain_port()), user, "Big", dir}, "", 1800000);
    double s = seconds_since(t0);
    long peak = -1, connected = -1;
    int st = -1;
    if (std::sscanf(r.out.c_str(), "state %d peak_kb %ld connected_kb %ld", &st, &peak, &connected) != 3)
      std::printf("child: %s %s\n", r.out.c_str(), r.err.c_str());
    std::printf("| %-56s | %8.2fs | %6.1f MB peak RSS (%.1f MB connected) | %5.2fx | <= 32 MB %s |\n",
                ("export of 1 x " + std::to_string(big_mb) + " MB + 1,000 msgs, eml+mbox, child").c_str(), s,
                peak / 1024.0, connected / 1024.0, peak / 1024.0 / 32, st == 2 && peak >= 0 && peak <= 32 * 1024 ? "met" : "OVER");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return 0;
}
