// A loopback TCP relay that holds every byte for a fixed time in each
// direction, so a local server looks as far away as a real one.
//
// Each accepted connection gets a connection to 127.0.0.1:target_port; every
// chunk read from one side is written to the other one_way_ms after it was
// read. Chunks keep their order. By default they are never paced, so the
// relay adds latency without limiting bandwidth (a round trip costs
// 2 * one_way_ms); set_rate() makes each direction a link of that many bytes
// a second, as a slow line would be.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/platform/net.h"

namespace kqbench {

class delay_proxy {
 public:
  delay_proxy();
  ~delay_proxy();  // stop()
  delay_proxy(const delay_proxy &) = delete;
  delay_proxy &operator=(const delay_proxy &) = delete;

  // Listens on 127.0.0.1 (listen_port 0: a free port) and starts relaying.
  bool start(int target_port, int one_way_ms, int listen_port = 0, std::string *err = nullptr);
  // Closes the listener and every relayed connection; joins the threads.
  void stop();
  int port() const { return listener_.port(); }
  int one_way_ms() const { return delay_ms_; }
  // Bytes a second each direction may carry (0: unlimited); set before
  // start().
  void set_rate(long bytes_per_s) { rate_ = bytes_per_s; }
  // Bytes relayed from the servers to the clients so far.
  long long bytes_down() const { return down_bytes_.load(); }

 private:
  struct pipe_pair;
  void accept_loop();

  kqtest::platform::Listener listener_;
  int target_port_ = 0;
  int delay_ms_ = 0;
  long rate_ = 0;
  std::atomic<long long> down_bytes_{0};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::unique_ptr<pipe_pair>> pairs_;
};

}  // namespace kqbench
