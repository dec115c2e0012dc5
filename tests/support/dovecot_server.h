// A real Dovecot IMAP server for integration tests, started by the test
// binary itself.
//
// Each instance lives in a fresh directory /tmp/kqdXXXXXX (kept short: the
// daemon's unix sockets live under it) holding its config, a self-signed
// certificate, the user list, the mail homes and the logs. It listens only
// on 127.0.0.1: a plain IMAP port and an implicit-TLS port, both picked free
// at start. The test process must run as root (Dovecot drops privileges to
// nobody:nogroup for mail access).
//
// Server behaviour tests can rely on:
//  - Each user has its own passwd-file, which Dovecot reads on the user's
//    first login, so add_user() takes effect at once while the server runs
//    (a password change waits up to 1 s for Dovecot's once-a-second
//    re-check). Each suite should add its own user (see unique_user()) and
//    so get its own empty mailbox. User names are case-sensitive. (Adding
//    a name within a second of a failed login under that same name may
//    leave it unknown for up to that second.)
//  - LOGIN, AUTHENTICATE PLAIN/LOGIN and XOAUTH2/OAUTHBEARER are offered on
//    both ports; for XOAUTH2 the user's password is the bearer token. A bad
//    token gets "+ <base64 JSON>" and the tagged NO only after the client's
//    next line (usually empty).
//  - A wrong password or unknown user gets "NO [AUTHENTICATIONFAILED]"
//    after about 0.5 s (Dovecot flushes failures on a 0.5 s timer even with
//    no failure delay configured).
//  - Hierarchy separator "/". Folder names given to this class are UTF-8
//    (doveadm's convention); over IMAP they appear in modified UTF-7.
//    Quotes, backslashes, spaces and dots in names all work. Creating
//    "A/B" leaves "A" as a \Noselect parent unless "A" is created too.
//  - The server runs with TZ=UTC, so INTERNALDATE values read "+0000".
//  - INTERNALDATE comes from the maildir file's mtime: append() writes the
//    file itself with the requested time, so it is exact to the second.
//  - At most 1000 concurrent sessions per user and address (a server of
//    its own can be given fewer: set_max_user_connections()).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/platform/os.h"

namespace kqtest {

class DovecotServer {
 public:
  DovecotServer();
  ~DovecotServer();  // stop()
  DovecotServer(const DovecotServer &) = delete;
  DovecotServer &operator=(const DovecotServer &) = delete;

  // Creates the directory, certificate and config, starts `dovecot -F` and
  // waits (at most ~10 s) until the plain port sends its "* OK" greeting.
  // Takes about 50 ms. On failure *err (and start_error()) says why, with
  // the tail of the logs. If the test process dies without stop(), a
  // watchdog process ends the daemon and removes the directory.
  bool start(std::string *err = nullptr);
  // The most sessions a user may hold from one address at once; set before
  // start(). A login past it is refused.
  void set_max_user_connections(int n) { max_user_connections_ = n; }
  // SIGTERM to the master (the PID we started), up to 2 s grace, then
  // SIGKILL (its children then exit by themselves); the directory is
  // removed. Takes about 1 s; 2 s if a client left a TLS handshake
  // half-done. Safe to repeat.
  void stop();
  // Started and the master process is still alive.
  bool running();

  int plain_port() const { return plain_port_; }
  int tls_port() const { return tls_port_; }
  // PEM certificate for CN=localhost, SAN DNS:localhost and IP:127.0.0.1;
  // self-signed, so it is also the CA file to verify the server with.
  std::string cert_file() const { return dir_ + "/cert.pem"; }
  std::string dir() const { return dir_; }
  std::string config_file() const { return dir_ + "/dovecot.conf"; }
  std::string log_file() const { return dir_ + "/dovecot.log"; }
  std::string start_error() const;
  // Last lines of Dovecot's log (and of its stdout/stderr), for messages.
  std::string log_tail(int max_lines = 30) const;

  // Adds a user, or changes the password of an existing one; effective for
  // the next login without a restart (a password change returns only once
  // Dovecot will re-read it: up to 1 s). Name and password may hold
  // anything but CR, LF and NUL: quotes, backslashes, spaces, ':', '/',
  // non-ASCII all work.
  bool add_user(const std::string &user, const std::string &password);
  // A user name not used before in this process: "<hint>-<n>".
  std::string unique_user(const std::string &hint = "u");

  // Folder management through doveadm. Names are UTF-8, "/"-separated.
  bool create_folder(const std::string &user, const std::string &name);
  bool delete_folder(const std::string &user, const std::string &name);
  bool rename_folder(const std::string &user, const std::string &from,
                     const std::string &to);

  struct Message {
    std::string bytes;           // the whole message; use CRLF line ends
    long long internal_date = 0; // unix seconds; 0 means now
    std::string flags;           // e.g. "\\Seen \\Flagged" (system flags)
  };

  // Delivers one message into an existing folder (INBOX always exists) and
  // returns its UID, or 0 on failure (see last_error()). The bytes are
  // stored exactly as given; INTERNALDATE is internal_date_unix (or now).
  // flags: space-separated \Seen \Answered \Flagged \Deleted \Draft.
  unsigned append(const std::string &user, const std::string &folder,
                  const std::string &rfc822_bytes,
                  long long internal_date_unix = 0,
                  const std::string &flags = "");
  // Many messages with one mailbox sync; UIDs are given in input order.
  // Returns an empty vector on failure.
  std::vector<unsigned> append_many(const std::string &user,
                                    const std::string &folder,
                                    const std::vector<Message> &messages);

  bool expunge(const std::string &user, const std::string &folder,
               unsigned uid);
  // UIDs in the folder, ascending.
  std::vector<unsigned> uids(const std::string &user,
                             const std::string &folder);
  // The stored bytes of one message (read from the maildir file), or "" if
  // there is no such message.
  std::string fetch_raw(const std::string &user, const std::string &folder,
                        unsigned uid);

  // Makes the next UID of a folder at least first_uid, creating the folder
  // if needed. Call it while the folder is empty: the messages appended
  // afterwards get first_uid, first_uid + 1, ... so UIDs start far above
  // the message count. (doveadm mailbox update --min-next-uid)
  bool set_uid_start(const std::string &user, const std::string &folder,
                     unsigned first_uid);
  // Replaces the folder's UIDVALIDITY (works on non-empty folders too; the
  // messages keep their UIDs).
  bool set_uidvalidity(const std::string &user, const std::string &folder,
                       unsigned uidvalidity);

  struct Status {
    unsigned messages = 0;
    unsigned uidnext = 0;
    unsigned uidvalidity = 0;
  };
  bool status(const std::string &user, const std::string &folder,
              Status *out);

  // Directory holding the folder's maildir (cur/, new/, tmp/).
  std::string folder_path(const std::string &user, const std::string &folder);

  // Runs `doveadm -c <config> args...` (30 s limit). Returns the exit code
  // (-1 if it did not run); stdout into *out, stderr into *err.
  int doveadm(const std::vector<std::string> &args, std::string *out = nullptr,
              std::string *err = nullptr);

  // Why the last failing call above failed.
  std::string last_error() const;

  // The JSON connection settings the library takes, for this server:
  // {"host":"127.0.0.1","port":N,"ssl":0|1,"user":"…","pass":"…",
  //  "tls_verify":0}. extra_members, if not empty, is raw JSON appended
  // inside the object, e.g. "\"timeout_ms\":500".
  std::string connect_json(const std::string &user, const std::string &pass,
                           bool tls, const std::string &extra_members = "") const;

 private:
  bool start_once(std::string *err);
  bool fail(const std::string &msg);
  bool ensure_maildir(const std::string &user, const std::string &folder,
                      std::string *path);
  bool guid_to_uid(const std::string &user, const std::string &folder,
                   std::vector<std::pair<std::string, unsigned>> *out);

  mutable std::mutex mu_;
  std::string dir_;
  std::string dovecot_bin_;
  std::string doveadm_bin_;
  int plain_port_ = 0;
  int tls_port_ = 0;
  int max_user_connections_ = 1000;
  platform::Background proc_;
  bool started_ = false;
  long owner_pid_ = 0;  // process that started the server
  std::string start_error_;
  std::string last_error_;
  long mail_uid_ = 65534;
  long mail_gid_ = 65534;
  struct User {
    std::string name;
    std::string password;
    std::string home;
    long long file_mtime;  // last mtime given to its passwd-file
  };
  bool write_user_file(User &u);
  std::vector<User> users_;
  unsigned name_counter_ = 0;
  unsigned file_counter_ = 0;
  long long last_file_sec_ = 0;
};

// One server per test binary: started on first use, stopped at exit. If it
// could not start, running() is false and start_error() has the reason;
// tests should begin with
//   auto &dv = kqtest::shared_dovecot();
//   ASSERT_TRUE(dv.running()) << dv.start_error();
DovecotServer &shared_dovecot();

// connect_json() for the shared server.
std::string connect_json(const std::string &user, const std::string &pass,
                         bool tls, const std::string &extra_members = "");

// JSON string literal (with the quotes) for arbitrary UTF-8 text.
std::string json_quote(const std::string &s);

}  // namespace kqtest
