// The one IMAP connection, its settings, the response reader and the command
// layer. Every subsystem that talks to the server goes through this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "platform/platform.h"

namespace kq {

struct imap_conn {
  plat::sock_t sock = plat::bad_sock;
  int tls = 0;        // handshake done on sock
  int connected = 0;  // TCP connection exists
  mbedtls_ssl_context ssl_ctx;
  mbedtls_ssl_config ssl_conf;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context ctr_drbg;
  mbedtls_x509_crt ca_chain;
  int dead = 0;       // a read or write failed; commands fail until reconnect
  int tls_objs = 0;   // the TLS objects above are initialised
};

struct conn_config {
  char host[256];
  int port;
  int ssl;
  char user[256];
  char pass[512];
  char oauth_token[512];
  char ca_file[512];
  int timeout_s;
  int tls_verify;
};

extern imap_conn s_conn;
extern conn_config s_cfg;
extern int s_authed;

// Receive time-out of an established connection, in seconds (120). Tests
// shorten it; nothing else changes it.
extern int s_recv_timeout_s;

// Connected, logged in and not lost; otherwise sets "not connected".
bool conn_usable();

// TLS transport callbacks; ctx points at s_conn.sock.
int kq_tls_recv_cb(void *ctx, unsigned char *buf, std::size_t len);
int kq_tls_send_cb(void *ctx, const unsigned char *buf, std::size_t len);

inline constexpr std::size_t k_line_cap = 262144;   // record buffer size
inline constexpr int k_max_records = 1023;

// Turns the connection's byte stream into records (lines with their IMAP
// literals taken out) and holds the collected response of one command.
struct reader {
  reader();
  ~reader();
  reader(const reader &) = delete;
  reader &operator=(const reader &) = delete;

  // Releases the collected records (the literal buffer stays for reuse).
  void release_records();
  // Releases records and the literal buffer.
  void release();

  imap_conn *conn = &s_conn;
  std::unique_ptr<char[]> buf;   // k_line_cap receive bytes
  std::uint64_t len = 0;
  std::uint64_t pos = 0;
  int eof = 0;
  char *lit = nullptr;           // literal bytes of the current record + NUL
  long long lit_len = 0;
  long long lit_cap = 0;
  int count = 0;
  char *records[k_max_records] = {};
  char tag[8] = {};
  int done = 0;
  int status = 0;
  const char *last_lit = nullptr;
  long long last_lit_len = 0;
  std::unique_ptr<char[]> line;  // k_line_cap record buffer used by commands
  // Optional: sees every non-completion record of a command together with
  // that record's own literal bytes, which the next record overwrites (a
  // LIST reply can carry one literal name per line). Not reset by commands.
  void (*on_record)(void *ctx, const char *line, const char *lit, long long lit_len) = nullptr;
  void *on_record_ctx = nullptr;
};

int reader_need(reader *r);
int reader_read_record(reader *r, char *line);

// One tagged command: 0 OK, 1 NO, 2 BAD, -1 failure (reason in last_error).
int cmd_exec2(reader *r, const char *command);
int cmd_exec(reader *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Number of command lines sent since the library was loaded (tests and
// benchmarks measure round trips with it).
std::uint64_t cmd_sent_total();

// Writes s as an IMAP quoted string (with its quotes), a backslash before
// each '"' and '\'. False, with "invalid mailbox name", when s holds CR, LF
// or NUL: such a name could smuggle a second command onto the wire.
bool imap_quote(std::string_view s, std::string &out);

// EXAMINE, falling back to SELECT. 0 with *exists set, or -1 with
// "cannot open mailbox %s". uidnext (optional) receives [UIDNEXT n] or 0.
int imap_select(reader *r, const char *mailbox, long long *exists,
                unsigned long long *uidnext = nullptr);
// The mailbox the last successful imap_select opened ("" when none).
const std::string &selected_mailbox();

// Forgets the selected mailbox (connection closed or replaced).
void selected_mailbox_clear();

// The login sequence run by kq_connect on the greeting reader.
int imap_login(reader *r);

// Closes the socket (close_notify when TLS is up) and clears every flag.
void conn_close();

}  // namespace kq
