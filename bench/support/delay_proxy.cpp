#include "support/delay_proxy.h"

#include <chrono>
#include <condition_variable>
#include <deque>

namespace kqbench {

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int k_poll_ms = 100;  // how often a blocked reader looks at the stop flag

// Chunks read from one socket, each due at its time; an empty chunk stands
// for the end of the stream.
struct delay_queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::pair<clock_type::time_point, std::string>> items;
  bool closed = false;  // the writer should give up

  void push(clock_type::time_point due, std::string bytes) {
    std::lock_guard<std::mutex> hold(mu);
    items.emplace_back(due, std::move(bytes));
    cv.notify_one();
  }
};

}  // namespace

// One relayed connection: the client's socket, the server's, and per
// direction a reader that stamps chunks and a writer that sends them when due.
struct delay_proxy::pipe_pair {
  kqtest::platform::Socket client, server;
  delay_queue up, down;  // client to server, server to client
  std::thread threads[4];
  std::atomic<bool> *stopping = nullptr;
  std::chrono::milliseconds delay{0};
  long rate = 0;                         // bytes a second per direction, 0: unlimited
  std::atomic<long long> *down_bytes = nullptr;

  void read_side(kqtest::platform::Socket &from, delay_queue &q) {
    std::string buf(1 << 16, '\0');
    for (;;) {
      if (stopping->load()) break;
      long n = from.recv_some(buf.data(), buf.size(), k_poll_ms);
      if (n == kqtest::platform::kRecvTimeout) continue;
      if (n <= 0) break;
      q.push(clock_type::now() + delay, buf.substr(0, static_cast<std::size_t>(n)));
    }
    q.push(clock_type::now() + delay, std::string());
  }

  void write_side(delay_queue &q, kqtest::platform::Socket &to, bool down) {
    // When the paced link is next free: a chunk waits for its due time and
    // for the bytes before it to have gone out at the link's rate.
    clock_type::time_point link_free = clock_type::now();
    for (;;) {
      std::unique_lock<std::mutex> lk(q.mu);
      q.cv.wait(lk, [&] { return !q.items.empty() || q.closed; });
      if (q.closed) return;
      auto due = q.items.front().first;
      if (clock_type::now() < due) {
        q.cv.wait_until(lk, due, [&] { return q.closed; });
        continue;
      }
      std::string bytes = std::move(q.items.front().second);
      q.items.pop_front();
      lk.unlock();
      if (bytes.empty()) {
        to.shutdown_write();
        return;
      }
      if (down) *down_bytes += static_cast<long long>(bytes.size());
      if (rate <= 0) {
        // The far side is gone: its own reader sees the end and closes the rest.
        if (!to.send_all(bytes, 30000)) return;
        continue;
      }
      // Slices of a few milliseconds' worth, each sent when the link has
      // carried the ones before it.
      const std::size_t slice = static_cast<std::size_t>(rate / 200 + 1);
      if (link_free < due) link_free = due;
      for (std::size_t at = 0; at < bytes.size(); at += slice) {
        std::string part = bytes.substr(at, slice);
        std::this_thread::sleep_until(link_free);
        link_free += std::chrono::microseconds(static_cast<long long>(part.size()) * 1000000 / rate);
        if (!to.send_all(part, 30000)) return;
      }
    }
  }

  void start() {
    threads[0] = std::thread([this] { read_side(client, up); });
    threads[1] = std::thread([this] { write_side(up, server, false); });
    threads[2] = std::thread([this] { read_side(server, down); });
    threads[3] = std::thread([this] { write_side(down, client, true); });
  }

  void join() {
    for (delay_queue *q : {&up, &down}) {
      std::lock_guard<std::mutex> hold(q->mu);
      q->closed = true;
      q->cv.notify_all();
    }
    for (std::thread &t : threads)
      if (t.joinable()) t.join();
  }
};

delay_proxy::delay_proxy() = default;
delay_proxy::~delay_proxy() { stop(); }

bool delay_proxy::start(int target_port, int one_way_ms, int listen_port, std::string *err) {
  target_port_ = target_port;
  delay_ms_ = one_way_ms;
  stopping_ = false;
  if (!listener_.open_loopback(listen_port, err)) return false;
  acceptor_ = std::thread([this] { accept_loop(); });
  return true;
}

void delay_proxy::accept_loop() {
  while (!stopping_.load()) {
    kqtest::platform::Socket c = listener_.accept(k_poll_ms);
    if (!c.valid()) continue;
    kqtest::platform::Socket s = kqtest::platform::Socket::connect_loopback(target_port_, 5000);
    if (!s.valid()) continue;  // the client sees its connection close
    auto p = std::make_unique<pipe_pair>();
    p->client = std::move(c);
    p->server = std::move(s);
    p->stopping = &stopping_;
    p->delay = std::chrono::milliseconds(delay_ms_);
    p->rate = rate_;
    p->down_bytes = &down_bytes_;
    p->start();
    std::lock_guard<std::mutex> hold(mu_);
    pairs_.push_back(std::move(p));
  }
}

void delay_proxy::stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard<std::mutex> hold(mu_);
  for (auto &p : pairs_) p->join();
  pairs_.clear();
  listener_.close();
}

}  // namespace kqbench
