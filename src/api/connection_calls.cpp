// Entry points of the connection.
#include "api/guard.h"
#include "connection/imap.h"

extern "C" KQ_API int kq_connect(const char *config_json) {
  return kq::api::server_call("kq_connect", -1, [&] {
    kq::conn_config cfg;
    if (!kq::conn_config_parse(config_json, cfg)) {
      kq::main_session().close();
      kq::main_session().reset_config();
      return -1;
    }
    return kq::main_session().connect(cfg);
  });
}

extern "C" KQ_API int kq_disconnect(void) {
  // A running job would lose its connection under it: stop it first.
  kq::api::stop_background_work();
  kq::api::host_lock hold;
  try {
    kq::main_session().disconnect();
  } catch (...) {
    kq::main_session().close();
  }
  return 0;
}

extern "C" KQ_API int kq_status(void) {
  // Read without the host lock: a host polls this while a worker runs.
  return kq::main_session().status();
}
