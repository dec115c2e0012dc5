// Runs the delay relay until stdin closes or reads a line:
//   kq_delay_proxy TARGET_PORT ONE_WAY_MS [LISTEN_PORT]
// Prints the port it listens on (127.0.0.1 only).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/delay_proxy.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET_PORT ONE_WAY_MS [LISTEN_PORT]\n", argv[0]);
    return 2;
  }
  kqbench::delay_proxy proxy;
  std::string err;
  if (!proxy.start(std::atoi(argv[1]), std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 0, &err)) {
    std::fprintf(stderr, "cannot listen: %s\n", err.c_str());
    return 1;
  }
  std::printf("%d\n", proxy.port());
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  proxy.stop();
  return 0;
}
