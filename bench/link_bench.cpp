// Export over a slow line: a relay limited to 2 MB/s each way with 10 ms
// round trips in front of the loopback Dovecot, which offers COMPRESS. In
// the same run it times the least an uncompressed client needs to get the
// same messages (one ranged UID FETCH, nothing parsed beyond the literals)
// and the library's export with compression, then without. Prints figures
// and the ratio of the compressed export to that ranged fetch; asserts
// nothing (the target is a ratio of at most 0.6).
//
//   kq_link_bench [MESSAGES [RATE_BYTES_PER_S]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kerquill.h"
#include "support/delay_proxy.h"
#include "support/dovecot_server.h"
#include "support/raw_imap.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Mail as it comes: text of a few thousand words drawn from a vocabulary
// (compresses about as well as real prose), and in every third message an
// attachment of random bytes in base64, which deflate can only take back to
// its 6 bits a character.
std::string message(int i, std::mt19937 &rnd) {
  static const char *const k_words[] = {
      "the",     "meeting", "report",  "quarter", "numbers", "please",  "review", "attached",
      "before",  "Friday",  "budget",  "team",    "project", "update",  "thanks", "regards",
      "customer", "delivery", "schedule", "agreed", "question", "answer", "draft", "final",
      "invoice", "order",   "shipping", "office", "tomorrow", "morning", "call",  "notes"};
  std::string body;
  std::size_t text = 2000 + rnd() % 30000;
  while (body.size() < text) {
    std::size_t end = body.size() + 60 + rnd() % 15;
    while (body.size() < end) {
      body += k_words[rnd() % 32];
      body += ' ';
    }
    body += "\r\n";
  }
  std::string boundary = "=_b" + std::to_string(i);
  std::string m = "From: Sender " + std::to_string(i % 17) + " <s" + std::to_string(i % 17) +
                  "@example.org>\r\nTo: r@example.org\r\nSubject: link bench " + std::to_string(i) +
                  "\r\nMessage-ID: <l" + std::to_string(i) + "@example.org>\r\nMIME-Version: 1.0\r\n";
  if (i % 3 != 0) return m + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + body;
  m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
       "\r\nContent-Type: text/plain\r\n\r\n" + body + "--" + boundary +
       "\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  static const char k_b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t lines = (5000 + rnd() % 20000) / 76;
  for (std::size_t l = 0; l < lines; ++l) {
    for (int c = 0; c < 76; ++c) m += k_b64[rnd() % 64];
    m += "\r\n";
  }
  return m + "--" + boundary + "--\r\n";
}

std::string json_for(int port, const std::string &user, int compress) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"ssl\":0,\"user\":\"" + user +
         "\",\"pass\":\"pw-link\",\"compress\":" + std::to_string(compress) + ",\"timeout_s\":120}";
}

// One export of the whole folder through the relay; seconds, or -1.
double export_through(int port, const std::string &user, const std::string &folder, int compress, int n) {
  if (kq_connect(json_for(port, user, compress).c_str()) != 0) {
    std::printf("connect: %s\n", kq_last_error());
    return -1;
  }
  if (kq_search(folder.c_str(), nullptr) != 0 || kq_search_count() != n) {
    std::printf("search: %s\n", kq_last_error());
    return -1;
  }
  std::string dir = (std::filesystem::temp_directory_path() /
                     ("kq-link-bench-" + std::to_string(std::random_device{}())))
                        .string();
  std::string cfg = "{\"dir\":\"" + dir + "\",\"format\":\"eml\"}";
  auto t0 = clock_type::now();
  if (kq_export_start(cfg.c_str()) != 0) {
    std::printf("export: %s\n", kq_last_error());
    return -1;
  }
  while (kq_export_status() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  double s = seconds_since(t0);
  int state = kq_export_status();
  kq_disconnect();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (state != 2) {
    std::printf("export ended in state %d\n", state);
    return -1;
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 300;
  long rate = argc > 2 ? std::atol(argv[2]) : 2000000;
  const int one_way_ms = 5;
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("link-bench"), folder = "linked";
  dv.add_user(user, "pw-link");
  if (!dv.create_folder(user, folder)) return 1;
  std::mt19937 rnd(4242);
  std::vector<kqtest::DovecotServer::Message> msgs;
  long long total = 0;
  for (int i = 0; i < n; ++i) {
    msgs.push_back({message(i, rnd), 1600000000 + i * 3600LL, ""});
    total += static_cast<long long>(msgs.back().bytes.size());
  }
  if (dv.append_many(user, folder, msgs).size() != msgs.size()) {
    std::printf("could not fill folder: %s\n", dv.last_error().c_str());
    return 1;
  }
  msgs.clear();

  kqbench::delay_proxy link;
  link.set_rate(rate);
  std::string err;
  if (!link.start(dv.plain_port(), one_way_ms, 0, &err)) {
    std::printf("relay: %s\n", err.c_str());
    return 1;
  }
  std::printf("%d messages, %.1f MB, over a link of %.1f MB/s each way with %d ms round trips\n", n, total / 1e6,
              rate / 1e6, 2 * one_way_ms);

  // The uncompressed floor: one ranged fetch of every message.
  kqbench::raw_imap raw;
  if (!raw.open(link.port(), user, "pw-link", &err) || !raw.run("EXAMINE \"" + folder + "\"")) {
    std::printf("raw client: %s\n", err.c_str());
    return 1;
  }
  long long before = link.bytes_down();
  auto t0 = clock_type::now();
  if (!raw.run("UID FETCH 1:* (UID BODY.PEEK[])")) {
    std::printf("ranged fetch failed\n");
    return 1;
  }
  double ranged = seconds_since(t0);
  long long ranged_bytes = link.bytes_down() - before;
  std::printf("ranged UID FETCH, uncompressed     %7.2f s  %6.1f MB on the wire\n", ranged, ranged_bytes / 1e6);

  before = link.bytes_down();
  double packed = export_through(link.port(), user, folder, 1, n);
  long long packed_bytes = link.bytes_down() - before;
  if (packed < 0) return 1;
  std::printf("export, COMPRESS=DEFLATE           %7.2f s  %6.1f MB on the wire (search included in bytes)\n",
              packed, packed_bytes / 1e6);

  before = link.bytes_down();
  double plain = export_through(link.port(), user, folder, 0, n);
  long long plain_bytes = link.bytes_down() - before;
  if (plain < 0) return 1;
  std::printf("export, uncompressed               %7.2f s  %6.1f MB on the wire (search included in bytes)\n",
              plain, plain_bytes / 1e6);

  double ratio = packed / ranged;
  std::printf("compressed export / uncompressed ranged fetch: %.2f (target <= 0.60: %s)\n", ratio,
              ratio <= 0.6 ? "met" : "NOT met");
  link.stop();
  return 0;
}
