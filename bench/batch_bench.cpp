// The export-all batch over many small folders: 40 folders of 50 messages
// each (by default) behind a relay that makes every round trip 10 ms. The
// same batch runs straight against the loopback Dovecot, through the 10 ms
// relay, and through a far one (50 ms round trips): the growth of the run
// with the round trip, per folder, is the number of round trips each folder
// waits for, whatever the machine's own pace (which the near run shows).
// Then the batch runs again through the 10 ms relay over the archive it
// made (nothing new), and once more through the 10 ms relay on four
// connections at once, against the first run on one. Prints figures, the
// ratio to the target of 2.5 round trips a folder and the four-connection
// ratio (target 0.4); asserts nothing.
//
//   kq_batch_bench [FOLDERS [MESSAGES_PER_FOLDER [ONE_WAY_MS [FAR_ONE_WAY_MS]]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/imap.h"
#include "kerquill.h"
#include "support/delay_proxy.h"
#include "support/dovecot_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string message(int folder, int i) {
  std::string body;
  for (int l = 0; l < 20 + (i * 7) % 30; ++l) body += "line " + std::to_string(l) + " of a short message in the batch bench\r\n";
  return "From: Sender " + std::to_string(i % 11) + " <s" + std::to_string(i % 11) +
         "@example.org>\r\nTo: r@example.org\r\nSubject: folder " + std::to_string(folder) + " message " +
         std::to_string(i) + "\r\nMessage-ID: <b" + std::to_string(folder) + "." + std::to_string(i) +
         "@example.org>\r\n\r\n" + body;
}

struct run_figures {
  bool ok = false;
  double seconds = 0;
  unsigned long long commands = 0;
};

// One batch over every folder into dir through port; the connection is made
// before the clock starts.
run_figures run_batch(int port, const std::string &user, const std::string &dir, int connections = 1) {
  run_figures r;
  std::string conn = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"ssl\":0,\"user\":\"" + user +
                     "\",\"pass\":\"pw-batch\",\"timeout_s\":120}";
  if (kq_connect(conn.c_str()) != 0) {
    std::printf("connect: %s\n", kq_last_error());
    return r;
  }
  std::string cfg = "{\"dir\":\"" + dir + "\"" +
                    (connections > 1 ? ",\"connections\":" + std::to_string(connections) : std::string()) + "}";
  unsigned long long sent = kq::cmd_sent_total();
  auto t0 = clock_type::now();
  if (kq_export_all_folders(cfg.c_str()) != 0) {
    std::printf("batch: %s\n", kq_last_error());
    kq_disconnect();
    return r;
  }
  std::string status;
  for (;;) {
    status = kq_export_all_status_json();
    if (status.find("\"state\":1") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
  r.commands = kq::cmd_sent_total() - sent;
  kq_disconnect();
  r.ok = status.find("\"state\":2") != std::string::npos;
  if (!r.ok) std::printf("batch ended: %.300s\n", status.c_str());
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  int folders = argc > 1 ? std::atoi(argv[1]) : 40;
  int per_folder = argc > 2 ? std::atoi(argv[2]) : 50;
  int one_way_ms = argc > 3 ? std::atoi(argv[3]) : 5;
  int far_one_way_ms = argc > 4 ? std::atoi(argv[4]) : 25;
  double rtt_s = 2 * one_way_ms / 1000.0;
  double far_rtt_s = 2 * far_one_way_ms / 1000.0;
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  if (!dv.running()) {
    std::printf("Dovecot did not start: %s\n", dv.start_error().c_str());
    return 1;
  }
  std::string user = dv.unique_user("batch-bench");
  dv.add_user(user, "pw-batch");
  for (int f = 0; f < folders; ++f) {
    std::string name = "Folder" + std::to_string(f);
    if (!dv.create_folder(user, name)) return 1;
    std::vector<kqtest::DovecotServer::Message> msgs;
    for (int i = 0; i < per_folder; ++i) msgs.push_back({message(f, i), 1600000000 + i * 3600LL, ""});
    if (dv.append_many(user, name, msgs).size() != msgs.size()) {
      std::printf("could not fill %s: %s\n", name.c_str(), dv.last_error().c_str());
      return 1;
    }
  }
  kqbench::delay_proxy link, far_link;
  std::string err;
  if (!link.start(dv.plain_port(), one_way_ms, 0, &err) || !far_link.start(dv.plain_port(), far_one_way_ms, 0, &err)) {
    std::printf("relay: %s\n", err.c_str());
    return 1;
  }
  std::filesystem::path base =
      std::filesystem::temp_directory_path() / ("kq-batch-bench-" + std::to_string(std::random_device{}()));
  std::printf("%d folders x %d messages (INBOX, empty, included), round trip %.0f ms, 1 connection\n", folders,
              per_folder, rtt_s * 1000);

  run_figures near = run_batch(dv.plain_port(), user, (base / "near").string());
  run_figures relayed = run_batch(link.port(), user, (base / "relayed").string());
  run_figures far = run_batch(far_link.port(), user, (base / "far").string());
  run_figures again = run_batch(link.port(), user, (base / "relayed").string());
  run_figures four = run_batch(link.port(), user, (base / "four").string(), 4);
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  link.stop();
  far_link.stop();
  if (!near.ok || !relayed.ok || !far.ok || !again.ok || !four.ok) return 1;

  auto line = [&](const char *what, const run_figures &r, double rtt) {
    std::printf("%-40s %7.2f s  %5llu commands (%.1f a folder)", what, r.seconds, r.commands,
                static_cast<double>(r.commands) / folders);
    if (rtt > 0) std::printf("  %.2f s/RTT a folder", r.seconds / rtt / folders);
    std::printf("\n");
  };
  line("first run, no relay", near, 0);
  line("first run, 10 ms relay", relayed, rtt_s);
  line("first run, far relay", far, far_rtt_s);
  line("second run (nothing new), 10 ms relay", again, rtt_s);
  line("first run, 10 ms relay, 4 connections", four, rtt_s);
  double waits = (far.seconds - relayed.seconds) / (far_rtt_s - rtt_s) / folders;
  std::printf("round trips a folder waits for (growth with the round trip): %.2f (target <= 2.5: %s, ratio %.2f)\n",
              waits, waits <= 2.5 ? "met" : "NOT met", waits / 2.5);
  std::printf("first run through the 10 ms relay against the 2.97 s measured before: ratio %.2f\n",
              relayed.seconds / 2.97);
  // Commands of the further connections are not counted: only the first
  // connection's are.
  std::printf("first run through the 10 ms relay, 4 connections against 1: %.2f s / %.2f s, ratio %.2f (target <= 0.4: %s)\n",
              four.seconds, relayed.seconds, four.seconds / relayed.seconds,
              four.seconds / relayed.seconds <= 0.4 ? "met" : "NOT met");
  return 0;
}
