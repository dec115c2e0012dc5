// Export throughput against the loopback Dovecot, and the cost of keeping
// the manifest as it grows. Prints figures; asserts nothing.
//
//   export_bench [archive-parent-dir]
//
// The archive is written under the given directory (default: the system's
// temporary directory), so file-system cost can be compared; the manifest
// figures use the temporary directory.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "archive/durable.h"
#include "archive/manifest.h"
#include "export/export_job.h"
#include "export/export_one.h"
#include "kerquill.h"
#include "support/dovecot_server.h"
#include "support/platform/memory_use.h"
#include "support/scratch_files.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::string message(int i, std::size_t size, std::mt19937 &rnd) {
  std::string m = "From: Sender " + std::to_string(i) + " <s" + std::to_string(i) +
                  "@example.org>\r\nTo: r@example.org\r\nSubject: bench message " +
                  std::to_string(i) + "\r\nMessage-ID: <b" + std::to_string(i) + "@example.org>\r\n\r\n";
  static const char k_words[][10] = {"alpha ", "bravo ", "From ", "delta ", "echo ", "foxtrot "};
  while (m.size() + 2 < size) {
    std::size_t line_end = m.size() + 40 + rnd() % 40;
    if (rnd() % 7 == 0) m += "From ";
    while (m.size() < line_end && m.size() + 2 < size) m += k_words[rnd() % 6];
    m += "\r\n";
  }
  return m;
}

// Appends n messages of lo..hi bytes in batches (never all in memory),
// then searches the folder as a host would before exporting.
bool fill_folder(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n,
                 std::size_t lo, std::size_t hi, std::size_t *largest) {
  if (!dv.create_folder(user, folder)) return false;
  std::mt19937 rnd(12345);
  *largest = 0;
  for (int start = 0; start < n; start += 500) {
    std::vector<kqtest::DovecotServer::Message> batch;
    for (int i = start; i < n && i < start + 500; ++i) {
      std::size_t size = lo + rnd() % (hi - lo + 1);
      batch.push_back({message(i, size, rnd), 1600000000 + i * 3600LL, ""});
      if (size > *largest) *largest = size;
    }
    if (dv.append_many(user, folder, batch).size() != batch.size()) return false;
  }
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_search_count() != n) {
    std::printf("search: %s (%d rows)\n", kq_last_error(), kq_search_count());
    return false;
  }
  return true;
}

double export_run(const char *label, const std::string &parent, const std::string &format,
                  std::size_t largest, int resume = 0) {
  std::string dir = parent + "/kq-export-bench-" + std::to_string(std::random_device{}());
  long long total_bytes = 0;
  kq::search_result_ptr found = kq::current_result();
  for (const kq::search_hit &h : found->rows()) total_bytes += h.bytes;
  int rows = static_cast<int>(found->size());
  std::string cfg = "{\"dir\":\"" + dir + "\",\"format\":\"" + format + "\",\"resume\":" +
                    std::to_string(resume) + "}";
  kqtest::platform::reset_peak_rss();
  auto t0 = clock_type::now();
  if (kq_export_start(cfg.c_str()) != 0) {
    std::printf("%s: start failed: %s\n", label, kq_last_error());
    return 0;
  }
  while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  double s = seconds_since(t0);
  long rss = kqtest::platform::peak_rss_kb();
  std::printf("%-34s %5d msgs %8.1f MB  %6.2f s  %7.0f msg/s  %6.1f MB/s  peak RSS %5.1f MB"
              " (largest message %.1f KB)  state %d\n",
              label, rows, total_bytes / 1e6, s, rows / s,
              total_bytes / 1e6 / s, rss / 1024.0, largest / 1024.0, kq_export_status());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return s;
}

// What ordering the writes for a power loss costs: resume.json only names
// messages already synced, in groups before each of its rewrites. The same
// export with and without the syncs, alternated so both see the same disk.
void durability_cost(const std::string &parent, std::size_t largest) {
  constexpr double k_ceiling = 1.15;
  double with = 0, without = 0;
  for (int round = 0; round < 2; ++round) {
    kq::set_durable_writes(false);
    without += export_run("2-50 KB, eml+mbox, resume, no sync", parent, "eml+mbox", largest, 1);
    kq::set_durable_writes(true);
    with += export_run("2-50 KB, eml+mbox, resume, synced", parent, "eml+mbox", largest, 1);
  }
  double ratio = without > 0 ? with / without : 0;
  std::printf("durable writes: %.2f s synced vs %.2f s without (2 runs each): ratio %.3f, "
              "ceiling %.2f: %s\n",
              with, without, ratio, k_ceiling, ratio <= k_ceiling ? "within" : "OVER");
}

// The old way of adding a line, for comparison: the whole manifest copied
// into a temporary file that then replaces it.
void copy_and_rename(const std::string &dir, const std::string &line) {
  std::string path = dir + "/manifest.jsonl", tmp = path + ".tmp";
  std::FILE *out = std::fopen(tmp.c_str(), "wb");
  if (std::FILE *in = std::fopen(path.c_str(), "rb")) {
    static char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) std::fwrite(buf, 1, n, out);
    std::fclose(in);
  }
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
  std::fclose(out);
  std::rename(tmp.c_str(), path.c_str());
}

void manifest_cost() {
  std::printf("\nmanifest cost per message (line append under the job lock):\n");
  for (int lines : {1000, 10000, 50000}) {
    kqtest::scratch_dir d;
    kq::export_job job;
    job.opt.dir = d.str();
    kq::search_hit hit{};
    hit.from = "Sender <s@example.org>";
    hit.subject = "a subject of ordinary length for a mail";
    hit.date = "17-Jul-2020 02:44:25 +0000";
    std::string text;
    for (int i = 1; i <= lines; ++i) {
      hit.uid = static_cast<unsigned>(i);
      kq::manifest_line(text, "INBOX", "uid-" + std::to_string(i) + ".eml",
                        std::string(64, 'a').c_str(), 3000, hit);
    }
    kqtest::write_all(d.file("manifest.jsonl"), text);
    const int adds = 2000;
    auto t0 = clock_type::now();
    for (int i = 0; i < adds; ++i) {
      hit.uid = static_cast<unsigned>(lines + i + 1);
      std::string line;
      kq::manifest_line(line, "INBOX", "uid-" + std::to_string(hit.uid) + ".eml",
                        std::string(64, 'a').c_str(), 3000, hit);
      std::lock_guard<kq::plat::exclusive_lock> hold(job.lock);
      kq::manifest_append(job.archive.manifest_file, job.opt.dir.c_str(), line);
    }
    double per = seconds_since(t0) / adds * 1e6;
    job.archive.manifest_file.close();
    const int copies = 50;
    std::string line = text.substr(0, text.find('\n') + 1);
    t0 = clock_type::now();
    for (int i = 0; i < copies; ++i) copy_and_rename(d.str(), line);
    double old = seconds_since(t0) / copies * 1e6;
    std::printf("  %6d lines: %7.2f us per message   (copy-and-rename: %9.1f us)\n", lines, per, old);
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string parent = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("export-bench");
  dv.add_user(user, "pw-bench");
  std::size_t largest = 0;
  if (kq_connect(kqtest::connect_json(user, "pw-bench", false).c_str()) != 0) {
    std::printf("connect: %s\n", kq_last_error());
    return 1;
  }
  std::printf("export of 5000 messages from the loopback Dovecot into %s\n", parent.c_str());
  if (!fill_folder(dv, user, "small", 5000, 2000, 4000, &largest)) {
    std::printf("could not fill folder: %s\n", dv.last_error().c_str());
    return 1;
  }
  export_run("2-4 KB, eml", parent, "eml", largest);
  export_run("2-4 KB, eml", parent, "eml", largest);
  export_run("2-4 KB, eml+mbox", parent, "eml+mbox", largest);
  if (!fill_folder(dv, user, "mixed", 5000, 2000, 50000, &largest)) {
    std::printf("could not fill folder: %s\n", dv.last_error().c_str());
    return 1;
  }
  export_run("2-50 KB, eml", parent, "eml", largest);
  export_run("2-50 KB, eml+mbox", parent, "eml+mbox", largest);
  durability_cost(parent, largest);
  kq_disconnect();
  manifest_cost();
  return 0;
}
