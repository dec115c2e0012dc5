// Search speed on loopback Dovecot: three 5000-message folders (UIDs dense,
// with holes, and starting far above the count), each searched cold (first
// time the server reads the headers) and warm. Prints messages per second,
// commands sent and the process's peak RSS.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "connection/imap.h"
#include "kerquill.h"
#include "support/dovecot_server.h"
#include "support/platform/usage.h"

namespace {

constexpr int k_messages = 5000;

std::string message(int i) {
  std::string body(static_cast<std::size_t>(200 + (i * 37) % 3000), 'x');
  return "From: Sender " + std::to_string(i % 50) + " <s" + std::to_string(i % 50) +
         "@example.org>\r\nTo: team@example.com\r\nSubject: benchmark message " +
         std::to_string(i) + "\r\nDate: Mon, 1 Jul 2024 10:00:00 +0000\r\nContent-Type: " +
         (i % 5 == 0 ? "multipart/mixed; boundary=b" : "text/plain") + "\r\n\r\n" + body + "\r\n";
}

bool fill(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder, int n) {
  std::vector<kqtest::DovecotServer::Message> m;
  for (int i = 0; i < n; ++i) m.push_back({message(i), 1700000000LL + i * 60, ""});
  return dv.append_many(user, folder, m).size() == static_cast<std::size_t>(n);
}

void run(const char *label, const std::string &folder, std::size_t held, long long missing_in_range) {
  for (const char *pass : {"cold", "warm"}) {
    std::uint64_t c0 = kq::cmd_sent_total();
    auto t0 = std::chrono::steady_clock::now();
    int rc = kq_search(folder.c_str(), nullptr);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::uint64_t sent = kq::cmd_sent_total() - c0;
    int rows = kq_search_count();
    std::printf("%-8s %-4s rc=%d rows=%d/%zu  %.3f s  %8.0f msg/s  commands=%llu "
                "(rows + %lld; missing UIDs in range: %lld)\n",
                label, pass, rc, rows, held, s, rows / s, static_cast<unsigned long long>(sent),
                static_cast<long long>(sent) - rows, missing_in_range);
  }
}

}  // namespace

int main() {
  auto &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::fprintf(stderr, "dovecot: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("bench");
  dv.add_user(user, "pw");

  // Dense: UIDs 1..5000.
  dv.create_folder(user, "Dense");
  // Holes: 7500 appended, every third expunged.
  dv.create_folder(user, "Holes");
  // High: UIDs from 1,000,000.
  dv.set_uid_start(user, "High", 1000000);
  if (!fill(dv, user, "Dense", k_messages) || !fill(dv, user, "Holes", k_messages * 3 / 2) ||
      !fill(dv, user, "High", k_messages)) {
    std::fprintf(stderr, "filling failed: %s\n", dv.last_error().c_str());
    return 1;
  }
  std::string third;
  for (int uid = 3; uid <= k_messages * 3 / 2; uid += 3) third += (third.empty() ? "" : ",") + std::to_string(uid);
  if (dv.doveadm({"expunge", "-u", user, "mailbox", "Holes", "uid", third}) != 0) {
    std::fprintf(stderr, "expunge failed: %s\n", dv.last_error().c_str());
    return 1;
  }
  if (kq_connect(kqtest::connect_json(user, "pw", false).c_str()) != 0) {
    std::fprintf(stderr, "connect: %s\n", kq_last_error());
    return 1;
  }
  std::printf("search of %d-message folders on loopback Dovecot, no criteria\n", k_messages);
  run("dense", "Dense", dv.uids(user, "Dense").size(), 0);
  std::vector<unsigned> holes = dv.uids(user, "Holes");
  run("holes", "Holes", holes.size(), static_cast<long long>(holes.back()) - static_cast<long long>(holes.size()));
  std::vector<unsigned> high = dv.uids(user, "High");
  run("high", "High", high.size(), static_cast<long long>(high.back()) - static_cast<long long>(high.size()));
  std::printf("peak RSS: %ld KiB\n", kqtest::platform::peak_rss_kib());
  kq_disconnect();
  return 0;
}
