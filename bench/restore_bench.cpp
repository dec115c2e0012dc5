// Restore of an exported folder of 1,000 and of 5,000 messages through a
// relay that delays each direction (10 ms round trips by default), beside
// the ceiling measured in the same run over the same path: the same bytes
// with the same flags and dates in one MULTIAPPEND of non-synchronizing
// literals on a plain connection, with no reading of files and no
// bookkeeping. Each is run --runs times (3 by default), restore and ceiling
// taking turns, each into a folder of its own, and the medians compared.
// Last, the peak memory of restoring one very large message, beside the
// process's resident size before it.
//
//   kq_restore_bench [--delay-ms 5] [--dir PARENT] [--runs 3] [--big-mb 50]
//                    [--settings B/A/M,...] [--counts 1000,5000] [--compress 0]
//
// The restore's connection is uncompressed, as the ceiling's is; with
// --compress 1 it asks for COMPRESS=DEFLATE as the library does by default,
// which costs CPU on both ends of a link that is not short of bandwidth.
//
// --settings compares ways of pacing the restore in the same run: each
// B/A/M is the messages of a batch, the batches in flight at once and the
// messages of one MULTIAPPEND (0 keeps the default; "0/0/0", the
// defaults, is the only one unless given).
//
// Prints the commands each side sent, seconds, the ratio to the ceiling
// (goal <= 1.5) and the peak RSS of this process, which does the restore;
// asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/imap.h"
#include "kerquill.h"
#include "restore/restore_job.h"
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

int g_compress = 0;

bool connect_to(const std::string &user, int port) {
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"ssl\":0,\"user\":\"" + user +
                    "\",\"pass\":\"pw\",\"compress\":" + std::to_string(g_compress) + "}";
  if (kq_connect(cfg.c_str()) == 0) return true;
  std::printf("connect: %s\n", kq_last_error());
  return false;
}

// Fills `folder` with n messages and exports it into dir, directly.
bool prepare(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n,
             const std::string &dir, int port, std::vector<kqtest::DovecotServer::Message> &msgs) {
  if (!dv.create_folder(user, folder)) return false;
  std::mt19937 rnd(4242 + n);
  for (int start = 0; start < n; start += 1000) {
    std::vector<kqtest::DovecotServer::Message> batch;
    for (int i = start; i < n && i < start + 1000; ++i)
      batch.push_back({message(i, rnd), 1600000000 + i * 600LL, i % 3 ? "\\Seen" : ""});
    if (dv.append_many(user, folder, batch).size() != batch.size()) return false;
    msgs.insert(msgs.end(), batch.begin(), batch.end());
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
  long base_kb = 0;  // resident before the restore started
  int state = 0;
  unsigned long long commands = 0;
};

figure restore_run(const std::string &dir, const std::string &target) {
  figure f;
  kqtest::platform::reset_peak_rss();
  f.base_kb = kqtest::platform::current_rss_kb();
  unsigned long long sent = kq::cmd_sent_total();
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
  f.commands = kq::cmd_sent_total() - sent;
  if (f.state != 2) std::printf("restore into %s ended in state %d: %s\n", target.c_str(), f.state, kq_last_error());
  return f;
}

// "dd-Mon-yyyy hh:mm:ss +0000" of UTC seconds, as APPEND takes a date.
std::string append_date(long long ts) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t t = static_cast<std::time_t>(ts);
  std::tm tm = *std::gmtime(&t);
  char out[40];
  std::snprintf(out, sizeof out, "%02d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, months[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

// The ceiling: every message in one MULTIAPPEND, literals not waited for,
// each with its flags and date as the restore sends them.
double raw_append(int port, const std::string &user, const std::string &folder,
                  const std::vector<kqtest::DovecotServer::Message> &msgs) {
  kqbench::raw_imap c;
  std::string err;
  if (!c.open(port, user, "pw", &err)) return -1;
  c.run("CREATE \"" + folder + "\"");
  auto t0 = clock_type::now();
  std::string cmd = "APPEND \"" + folder + "\"";
  for (const kqtest::DovecotServer::Message &m : msgs) {
    if (!m.flags.empty()) cmd += " (" + m.flags + ")";
    cmd += " \"" + append_date(m.internal_date) + "\" {" + std::to_string(m.bytes.size()) + "+}\r\n" + m.bytes;
  }
  if (!c.run(cmd)) return -1;
  return seconds_since(t0);
}

// A comma-separated list.
std::vector<std::string> list_of(const std::string &list) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at <= list.size();) {
    std::size_t comma = std::min(list.find(',', at), list.size());
    out.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

// "B/A/M" as restore_tuning; false when it does not read so.
bool read_setting(const std::string &text, kq::restore_tuning &t) {
  unsigned long b = 0, a = 0, m = 0;
  if (std::sscanf(text.c_str(), "%lu/%lu/%lu", &b, &a, &m) != 3) return false;
  t.batch_items = b;
  t.batches_ahead = a;
  t.multi_items = m;
  return true;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int delay_ms = 5, runs = 3, big_mb = 50;
  std::vector<std::string> settings = {"0/0/0"};
  std::vector<int> counts = {1000, 5000};
  std::string parent = fs::temp_directory_path().string();
  if (fs::is_directory("/dev/shm")) parent = "/dev/shm";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--delay-ms") delay_ms = std::atoi(argv[i + 1]);
    else if (k == "--dir") parent = argv[i + 1];
    else if (k == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (k == "--big-mb") big_mb = std::max(0, std::atoi(argv[i + 1]));
    else if (k == "--settings") settings = list_of(argv[i + 1]);
    else if (k == "--compress") g_compress = std::atoi(argv[i + 1]);
    else if (k == "--counts") {
      counts.clear();
      for (const std::string &c : list_of(argv[i + 1]))
        if (std::atoi(c.c_str()) > 0) counts.push_back(std::atoi(c.c_str()));
    }
  }
  std::vector<kq::restore_tuning> tunings(settings.size());
  for (std::size_t i = 0; i < settings.size(); ++i)
    if (!read_setting(settings[i], tunings[i])) {
      std::printf("--settings: %s is not B/A/M\n", settings[i].c_str());
      return 2;
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
  std::printf("ceiling: one APPEND \"C...\" of every message, each (flags) \"date\" {size+}, LITERAL+\n");
  std::printf("kerquill: kq_restore_start {\"dir\":...,\"folder\":\"R...\"} into a new folder, batch/ahead/multi as "
              "given (0: default), compress %d\n", g_compress);
  std::printf("%d runs each, taking turns, medians; %d ms round trips through the relay\n\n", runs, 2 * delay_ms);
  std::printf("| %-27s | %-9s | %-9s | %-9s | %-7s | %-8s | %-12s | %-8s |\n", "work", "setting", "kerquill",
              "ceiling", "ratio", "goal", "peak RSS", "commands");
  for (int n : counts) {
    std::string folder = "B" + std::to_string(n);
    std::string dir = parent + "/kq-restore-bench-" + std::to_string(n) + "-" + std::to_string(std::random_device{}());
    std::vector<kqtest::DovecotServer::Message> msgs;
    if (!prepare(dv, user, folder, n, dir, dv.plain_port(), msgs)) {
      std::printf("could not prepare %d messages: %s %s\n", n, dv.last_error().c_str(), kq_last_error());
      return 1;
    }
    std::vector<std::vector<double>> ours(settings.size());
    std::vector<long> rss(settings.size(), 0);
    std::vector<unsigned long long> commands(settings.size(), 0);
    std::vector<bool> all_done(settings.size(), true);
    std::vector<double> ceilings;
    for (int r = 0; r < runs; ++r) {
      for (std::size_t k = 0; k < settings.size(); ++k) {
        std::string tag = folder + "-" + std::to_string(r) + "-" + std::to_string(k);
        kq::restore_set_tuning(tunings[k]);
        if (!connect_to(user, proxy.port())) return 1;
        figure f = restore_run(dir, "R" + tag);
        kq_disconnect();
        ours[k].push_back(f.s);
        rss[k] = std::max(rss[k], f.rss_kb);
        commands[k] = f.commands;
        all_done[k] = all_done[k] && f.state == 2;
      }
      ceilings.push_back(raw_append(proxy.port(), user, "C" + folder + "-" + std::to_string(r), msgs));
    }
    kq::restore_set_tuning({});
    double ceiling = median(ceilings);
    for (std::size_t k = 0; k < settings.size(); ++k) {
      double s = median(ours[k]);
      char work[64];
      std::snprintf(work, sizeof work, "restore %d msgs, %d ms RTT", n, 2 * delay_ms);
      std::printf("| %-27s | %-9s | %7.2f s | %7.2f s | %6.2fx | %-8s | %8ld KiB | %8llu |%s\n", work,
                  settings[k].c_str(), s, ceiling, ceiling > 0 ? s / ceiling : 0.0, "<= 1.5x", rss[k], commands[k],
                  all_done[k] ? "" : " (did not end done)");
    }
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  if (big_mb > 0) {
    // One message of big_mb MiB: what the restore holds of it beyond the
    // process's resident size before it started, without the relay.
    std::string dir = parent + "/kq-restore-bench-big-" + std::to_string(std::random_device{}());
    std::string body = "From: big@example.org\r\nSubject: big\r\nMessage-ID: <big@example.org>\r\n\r\n";
    std::string line(76, 'x');
    line += "\r\n";
    while (body.size() < static_cast<std::size_t>(big_mb) << 20) body += line;
    std::vector<kqtest::DovecotServer::Message> msgs;
    if (!dv.create_folder(user, "Big") || dv.append_many(user, "Big", {{body, 1600000000, ""}}).size() != 1) {
      std::printf("could not prepare the big message: %s\n", dv.last_error().c_str());
      return 1;
    }
    body = std::string();
    if (!connect_to(user, dv.plain_port())) return 1;
    std::string cfg = "{\"dir\":\"" + dir + "\"}";
    if (kq_search("Big", nullptr) != 0 || kq_export_start(cfg.c_str()) != 0) return 1;
    while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kq_disconnect();
    // Straight to the server: the relay in this process would hold what is
    // on its way and count in the peak.
    if (!connect_to(user, dv.plain_port())) return 1;
    figure f = restore_run(dir, "RBig");
    kq_disconnect();
    std::printf("\none %d MiB message: %.2f s, resident before %ld KiB, peak %ld KiB (%ld KiB above)%s\n", big_mb,
                f.s, f.base_kb, f.rss_kb, f.rss_kb - f.base_kb, f.state == 2 ? "" : " (did not end done)");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return 0;
}
