// Search and export against the loopback Dovecot, directly and through a
// relay that delays each direction, each beside its ceiling measured in the
// same run over the same path: one ranged command on a plain connection
// fetching the same data (for export also writing each message to its own
// file and hashing it, the work an export cannot avoid).
//
//   kq_pipeline_bench [--delay-ms 5] [--dir PARENT] [--large N] [--runs 3]
//
// --delay-ms is the one-way delay (5 gives a 10 ms round trip). --large N
// adds a folder of N messages for the cost per message and the peak RSS at
// that size (100000 takes a few minutes to fill). Prints figures; asserts
// nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/imap.h"
#include "export/export_one.h"
#include "kerquill.h"
#include "support/delay_proxy.h"
#include "support/dovecot_server.h"
#include "support/platform/memory_use.h"
#include "support/raw_imap.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char *const k_search_items =
    "(UID RFC822.SIZE INTERNALDATE BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)])";

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string message(int i, std::mt19937 &rnd) {
  std::size_t size = 2000 + rnd() % 2001;
  std::string m = "From: Sender " + std::to_string(i % 50) + " <s" + std::to_string(i % 50) +
                  "@example.org>\r\nTo: team@example.com\r\nSubject: bench message " +
                  std::to_string(i) + "\r\nDate: Mon, 1 Jul 2024 10:00:00 +0000\r\nMessage-ID: <p" +
                  std::to_string(i) + "@example.org>\r\nContent-Type: " +
                  (i % 5 == 0 ? "multipart/mixed; boundary=b" : "text/plain") + "\r\n\r\n";
  while (m.size() + 2 < size) {
    std::size_t line_end = std::min(size - 2, m.size() + 60);
    while (m.size() < line_end) m += static_cast<char>('a' + rnd() % 26);
    m += "\r\n";
  }
  return m;
}

bool fill(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n) {
  if (!dv.create_folder(user, folder)) return false;
  std::mt19937 rnd(777);
  for (int start = 0; start < n; start += 1000) {
    std::vector<kqtest::DovecotServer::Message> batch;
    for (int i = start; i < n && i < start + 1000; ++i)
      batch.push_back({message(i, rnd), 1600000000 + i * 600LL, ""});
    if (dv.append_many(user, folder, batch).size() != batch.size()) return false;
  }
  return true;
}

struct figure {
  double s = 0;
  unsigned long long commands = 0;
  std::size_t in_flight = 0;
  long rss_kb = 0;   // peak during the step
  long grew_kb = 0;  // that peak above what the process held before
  int rows = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string fresh_dir(const std::string &parent) {
  static std::mt19937 rnd(std::random_device{}());
  return parent + "/kq-pipeline-bench-" + std::to_string(rnd());
}

// kq_search, timed, with its commands.
figure search_run(const std::string &folder) {
  figure f;
  kq::main_session().reset_counters();
  kqtest::platform::reset_peak_rss();
  long before = kqtest::platform::current_rss_kb();
  auto t0 = clock_type::now();
  int rc = kq_search(folder.c_str(), nullptr);
  f.s = seconds_since(t0);
  f.rss_kb = kqtest::platform::peak_rss_kb();
  f.grew_kb = f.rss_kb - before;
  f.commands = kq::main_session().sent_total();
  f.in_flight = kq::main_session().most_in_flight();
  f.rows = rc == 0 ? kq_search_count() : -1;
  return f;
}

// What the CLI does for an export: search the folder, then run the job.
figure export_run(const std::string &folder, const std::string &dir, int resume, bool remove_after = true) {
  figure f;
  kq::main_session().reset_counters();
  kqtest::platform::reset_peak_rss();
  long before = kqtest::platform::current_rss_kb();
  auto t0 = clock_type::now();
  std::string cfg = "{\"dir\":\"" + dir + "\",\"format\":\"eml\",\"resume\":" + std::to_string(resume) + "}";
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_export_start(cfg.c_str()) != 0) {
    std::printf("export %s: %s\n", folder.c_str(), kq_last_error());
    return f;
  }
  while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  f.s = seconds_since(t0);
  f.rss_kb = kqtest::platform::peak_rss_kb();
  f.grew_kb = f.rss_kb - before;
  f.commands = kq::main_session().sent_total();
  f.in_flight = kq::main_session().most_in_flight();
  f.rows = kq_search_count();
  if (kq_export_status() != 2) std::printf("export %s ended in state %d: %s\n", folder.c_str(), kq_export_status(), kq_last_error());
  if (remove_after) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return f;
}

// The batch export of one folder (the library runs search and export
// itself; with resume it fetches only what the archive lacks), timed. The
// batch subdirectory is kept for a re-run.
figure batch_run(const std::string &folder, const std::string &dir) {
  figure f;
  kq::main_session().reset_counters();
  kqtest::platform::reset_peak_rss();
  long before = kqtest::platform::current_rss_kb();
  auto t0 = clock_type::now();
  std::string cfg = "{\"dir\":\"" + dir + "\",\"folders\":[\"" + folder + "\"]}";
  if (kq_export_all_folders(cfg.c_str()) != 0) {
    std::printf("batch %s: %s\n", folder.c_str(), kq_last_error());
    return f;
  }
  std::string st;
  for (;;) {
    st = kq_export_all_status_json();
    if (st.find("\"state\":1,") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  f.s = seconds_since(t0);
  f.rss_kb = kqtest::platform::peak_rss_kb();
  f.grew_kb = f.rss_kb - before;
  f.commands = kq::main_session().sent_total();
  f.in_flight = kq::main_session().most_in_flight();
  if (st.find("\"state\":2,") == std::string::npos) std::printf("batch %s: %s %s\n", folder.c_str(), st.c_str(), kq_last_error());
  return f;
}

// The search ceiling: open the folder and fetch every row's items at once.
double search_ceiling(int port, const std::string &user, const std::string &folder) {
  kqbench::raw_imap c;
  std::string err;
  if (!c.open(port, user, "pw", &err)) return -1;
  auto t0 = clock_type::now();
  bool ok = c.run("EXAMINE \"" + folder + "\"") && c.run(std::string("UID FETCH 1:* ") + k_search_items);
  return ok ? seconds_since(t0) : -1;
}

// The export ceiling: every body in one command, each written to its own
// file and hashed as it arrives.
double export_ceiling(int port, const std::string &user, const std::string &folder, const std::string &parent) {
  kqbench::raw_imap c;
  std::string err;
  if (!c.open(port, user, "pw", &err)) return -1;
  std::string dir = fresh_dir(parent);
  fs::create_directories(dir);
  auto t0 = clock_type::now();
  bool ok = c.run("EXAMINE \"" + folder + "\"") &&
            c.run("UID FETCH 1:* (BODY.PEEK[])", [&](const std::string &line, std::string &body) {
              std::string path = dir + "/" + std::to_string(kqbench::fetch_line_uid(line)) + ".eml";
              if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(body.data(), 1, body.size(), f);
                std::fclose(f);
              }
              volatile std::size_t keep = kq::sha256_hex(body.data(), body.size()).size();
              (void)keep;
            });
  double s = seconds_since(t0);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return ok ? s : -1;
}

void row(const char *work, const figure &f, double ceiling, const char *goal) {
  char c[32] = "-", r[32] = "-";
  if (ceiling > 0) {
    std::snprintf(c, sizeof c, "%.3f s", ceiling);
    std::snprintf(r, sizeof r, "%.2fx", f.s / ceiling);
  }
  std::printf("| %-44s | %7.3f s | %5llu cmds, %3zu in flight | %9s | %7s | %-11s | %5.1f MB (+%5.1f) |\n",
              work, f.s, f.commands, f.in_flight, c, r, goal, f.rss_kb / 1024.0, f.grew_kb / 1024.0);
}

// Median of runs by wall time.
figure median_of(int runs, const std::function<figure()> &fn) {
  std::vector<figure> all;
  for (int i = 0; i < runs; ++i) all.push_back(fn());
  std::sort(all.begin(), all.end(), [](const figure &a, const figure &b) { return a.s < b.s; });
  return all[all.size() / 2];
}

double median_ceiling(int runs, const std::function<double()> &fn) {
  std::vector<double> v;
  for (int i = 0; i < runs; ++i) v.push_back(fn());
  return median(v);
}

bool connect_to(const std::string &user, int port) {
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
                    ",\"ssl\":0,\"user\":\"" + user + "\",\"pass\":\"pw\",\"tls_verify\":0}";
  if (kq_connect(cfg.c_str()) == 0) return true;
  std::printf("connect: %s\n", kq_last_error());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  int delay_ms = 5, runs = 3, large = 0;
  std::string parent = fs::temp_directory_path().string();
  if (fs::is_directory("/dev/shm")) parent = "/dev/shm";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--delay-ms") delay_ms = std::atoi(argv[i + 1]);
    else if (k == "--dir") parent = argv[i + 1];
    else if (k == "--large") large = std::atoi(argv[i + 1]);
    else if (k == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("pipeline-bench");
  dv.add_user(user, "pw");
  auto t_fill = clock_type::now();
  if (!fill(dv, user, "F5k", 5000) || !fill(dv, user, "F1k", 1000) || (large > 0 && !fill(dv, user, "Large", large))) {
    std::printf("could not fill the folders: %s\n", dv.last_error().c_str());
    return 1;
  }
  std::printf("folders filled in %.1f s; archives under %s; median of %d runs\n", seconds_since(t_fill),
              parent.c_str(), runs);
  kqbench::delay_proxy proxy;
  std::string err;
  if (!proxy.start(dv.plain_port(), delay_ms, 0, &err)) {
    std::printf("proxy: %s\n", err.c_str());
    return 1;
  }
  const int direct = dv.plain_port(), far = proxy.port();
  char rtt[32];
  std::snprintf(rtt, sizeof rtt, "%d ms RTT", 2 * delay_ms);
  std::printf("| %-44s | %-9s | %-26s | %-9s | %-7s | %-11s | %-18s |\n", "work", "kerquill", "commands",
              "ceiling", "ratio", "goal", "peak RSS (+grew)");

  // Warm the server's caches so no figure pays for Dovecot's first look.
  search_ceiling(direct, user, "F5k");
  search_ceiling(direct, user, "F1k");

  if (!connect_to(user, far)) return 1;
  figure s = median_of(runs, [] { return search_run("F5k"); });
  double sc = median_ceiling(runs, [&] { return search_ceiling(far, user, "F5k"); });
  row((std::string("search 5,000 msgs, ") + rtt).c_str(), s, sc, "<= 1.5x");

  figure e = median_of(runs, [&] { return export_run("F1k", fresh_dir(parent), 1); });
  double ec = median_ceiling(runs, [&] { return export_ceiling(far, user, "F1k", parent); });
  row((std::string("search + export 1,000 msgs, ") + rtt).c_str(), e, ec, "<= 1.5x");

  std::string kept = fresh_dir(parent);
  figure first = export_run("F5k", kept, 1, false);
  double fc = median_ceiling(1, [&] { return export_ceiling(far, user, "F5k", parent); });
  row((std::string("search + export 5,000 msgs, ") + rtt).c_str(), first, fc, "-");
  figure again = median_of(runs, [&] { return export_run("F5k", kept, 1, false); });
  row((std::string("re-run, all archived, 5,000 msgs, ") + rtt).c_str(), again, 0, "<= 0.5 s");
  std::error_code ec_rm;
  fs::remove_all(kept, ec_rm);
  std::string batch_dir = fresh_dir(parent);
  figure bfirst = batch_run("F5k", batch_dir);
  row((std::string("batch export 5,000 msgs, ") + rtt).c_str(), bfirst, fc, "-");
  figure bagain = median_of(runs, [&] { return batch_run("F5k", batch_dir); });
  row((std::string("batch re-run, nothing new, 5,000 msgs, ") + rtt).c_str(), bagain, 0, "<= 0.5 s");
  fs::remove_all(batch_dir, ec_rm);
  kq_disconnect();

  if (!connect_to(user, direct)) return 1;
  figure sl = median_of(runs, [] { return search_run("F5k"); });
  double slc = median_ceiling(runs, [&] { return search_ceiling(direct, user, "F5k"); });
  row("search 5,000 msgs, loopback", sl, slc, "-");
  figure el = median_of(runs, [&] { return export_run("F5k", fresh_dir(parent), 1); });
  double elc = median_ceiling(runs, [&] { return export_ceiling(direct, user, "F5k", parent); });
  row("search + export 5,000 msgs, loopback", el, elc, "<= 1.0 s");
  if (large > 0) {
    search_ceiling(direct, user, "Large");
    figure sb = search_run("Large");
    double sbc = search_ceiling(direct, user, "Large");
    std::string w = "search " + std::to_string(large) + " msgs, loopback";
    row(w.c_str(), sb, sbc, "flat us/msg");
    figure eb = export_run("Large", fresh_dir(parent), 1);
    double ebc = export_ceiling(direct, user, "Large", parent);
    w = "search + export " + std::to_string(large) + " msgs, loopback";
    row(w.c_str(), eb, ebc, "RSS<=64 MB");
    // The server's own cost per message grows with the folder; the ceilings
    // show how much, so flat means the ratio to them stays put.
    std::printf("us per message, 5,000 -> %d: search %.1f -> %.1f (ceiling %.1f -> %.1f), "
                "search + export %.1f -> %.1f (ceiling %.1f -> %.1f)\n",
                large, sl.s / 5000 * 1e6, sb.s / large * 1e6, slc / 5000 * 1e6, sbc / large * 1e6,
                el.s / 5000 * 1e6, eb.s / large * 1e6, elc / 5000 * 1e6, ebc / large * 1e6);
    std::string large_batch = fresh_dir(parent);
    figure lb = batch_run("Large", large_batch);
    w = "batch export " + std::to_string(large) + " msgs, loopback";
    row(w.c_str(), lb, ebc, "RSS<=64 MB");
    figure lr = batch_run("Large", large_batch);
    w = "batch re-run, nothing new, " + std::to_string(large) + " msgs";
    row(w.c_str(), lr, 0, "few cmds");
    fs::remove_all(large_batch, ec_rm);
  }
  kq_disconnect();
  proxy.stop();
  return 0;
}
