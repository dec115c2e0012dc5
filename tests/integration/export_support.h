// Shared pieces of the export integration tests: building test messages,
// filling the search table from the server as a search would, waiting on the
// job, and checking an archive independently of the library.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "export/export_job.h"
#include "kerquill.h"
#include "search/search_table.h"
#include "support/dovecot_server.h"
#include "support/platform/os.h"
#include "support/scratch_files.h"

namespace kqtest::exp {

// One message in the test folder, as appended.
struct stored {
  unsigned uid = 0;
  std::string raw;
  long long date = 0;  // INTERNALDATE, unix seconds
};

// A message of about `size` bytes with CRLF line ends. Some lines start with
// "From " so the mbox quoting is exercised; `final_crlf` false leaves the
// last line without its line end.
inline std::string make_message(int i, std::size_t size, const std::string &subject,
                                bool final_crlf = true, const std::string &from = "") {
  std::string m = "From: " + (from.empty() ? "Sender " + std::to_string(i) + " <s" +
                                                 std::to_string(i) + "@example.org>"
                                           : from) +
                  "\r\nTo: r@example.org\r\nSubject: " + subject +
                  "\r\nMessage-ID: <m" + std::to_string(i) + "@example.org>\r\n\r\n";
  int line = 0;
  while (m.size() < size) {
    switch (line++ % 5) {
      case 0: m += "From the desk of number " + std::to_string(i) + "\r\n"; break;
      case 1: m += ">From an earlier quote\r\n"; break;
      case 2: m += "Fromage and more text " + std::string(40, 'a' + i % 26) + "\r\n"; break;
      case 3: m += "\r\n"; break;
      default: m += "Plain text line " + std::to_string(line) + " of message " + std::to_string(i) + "\r\n";
    }
  }
  m += "Last line of " + std::to_string(i);
  if (final_crlf) m += "\r\n";
  return m;
}

// Appends the messages and returns them with their UIDs and the bytes the
// server stored.
inline std::vector<stored> append_all(DovecotServer &dv, const std::string &user,
                                      const std::string &folder,
                                      const std::vector<std::pair<std::string, long long>> &msgs) {
  std::vector<DovecotServer::Message> batch;
  for (const auto &m : msgs) batch.push_back({m.first, m.second, ""});
  std::vector<unsigned> uids = dv.append_many(user, folder, batch);
  std::vector<stored> out;
  if (uids.size() != msgs.size()) return out;
  // The expected bytes are what the server holds, read back independently.
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    std::string raw = dv.fetch_raw(user, folder, uids[i]);
    EXPECT_EQ(raw, msgs[i].first) << "uid " << uids[i];
    out.push_back({uids[i], raw, msgs[i].second});
  }
  return out;
}

// The unfolded value of a header field of a raw message ("" when absent).
inline std::string header_value(const std::string &raw, const std::string &name) {
  std::string head = raw.substr(0, raw.find("\r\n\r\n"));
  std::string key = name + ":";
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t eol = head.find("\r\n", pos);
    if (eol == std::string::npos) eol = head.size();
    if (head.compare(pos, key.size(), key) == 0) {
      std::string v = head.substr(pos + key.size(), eol - pos - key.size());
      while (eol + 2 < head.size() && (head[eol + 2] == ' ' || head[eol + 2] == '\t')) {
        std::size_t next = head.find("\r\n", eol + 2);
        if (next == std::string::npos) next = head.size();
        v += head.substr(eol + 2, next - eol - 2);
        eol = next;
      }
      std::size_t a = v.find_first_not_of(" \t");
      return a == std::string::npos ? "" : v.substr(a);
    }
    pos = eol + 2;
  }
  return "";
}

// INTERNALDATE text as the server (running in UTC) writes it.
inline std::string internal_date_text(long long t) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm = *std::gmtime(&tt);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, months[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// Searches the whole folder with the library's own search, as a host does
// before an export.
inline void search_all(const std::string &folder, std::size_t expected_rows) {
  ASSERT_EQ(kq_search(folder.c_str(), nullptr), 0) << kq_last_error();
  ASSERT_EQ(static_cast<std::size_t>(kq_search_count()), expected_rows);
}

// Fills the result table with the rows a search of the folder would give
// (for scripted servers, which do not answer a search).
inline void fill_table(const std::string &folder, const std::vector<stored> &msgs) {
  auto r = std::make_shared<kq::search_result>(folder);
  for (const stored &m : msgs) {
    kq::row_draft h;
    h.uid = m.uid;
    h.bytes = static_cast<long long>(m.raw.size());
    h.date = internal_date_text(m.date);
    h.ts = m.date;
    h.from = header_value(m.raw, "From");
    h.to = header_value(m.raw, "To");
    h.subject = header_value(m.raw, "Subject");
    h.has_attachments = -1;
    r->add(h);
  }
  kq::install_result(std::move(r));
}

// Polls pred every 5 ms for at most ms milliseconds.
inline bool wait_for(const std::function<bool()> &pred, int ms = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Waits for the job to end (state 2, 3 or 4 with no worker left) and returns
// the state.
inline int wait_end(int ms = 60000) {
  wait_for([] { return kq::export_record().active.load() == 0; }, ms);
  return kq_export_status();
}

// Runs one export to its end and returns the final state (-100: refused at
// the start).
inline int run_export(const std::string &cfg) {
  if (kq_export_start(cfg.c_str()) != 0) return -100;
  return wait_end();
}

// Why the last job ended in error, as its stats give it ("" when they name
// no reason): the worker's failure is its own thread's last error.
inline std::string job_error() {
  kq::json_doc doc;
  if (!doc.parse(kq_export_stats_json())) return "<stats do not parse>";
  const char *e = kq::json_str(doc.root(), "error");
  return e ? e : "";
}

inline std::string config(const std::string &dir, const std::string &extra = "") {
  return "{\"dir\":" + json_quote(dir) + (extra.empty() ? "" : "," + extra) + "}";
}

// One parsed manifest line.
struct entry {
  unsigned uid = 0;
  std::string folder, file, sha256, from, subject, date;
  long long size = -1, ts = 0;
};

// Every message line of dir/manifest.jsonl, parsed strictly; a line that
// does not parse fails the test. Flag lines (changed flags, no file) are
// passed over.
inline std::vector<entry> read_manifest(const std::string &dir) {
  std::vector<entry> out;
  for (const std::string &line : split_lines(read_all(dir + "/manifest.jsonl"))) {
    kq::json_doc doc;
    EXPECT_TRUE(doc.parse(line)) << line;
    EXPECT_EQ(line.back(), '\n');
    if (!kq::json_key(doc.root(), "file") && kq::json_key(doc.root(), "ts_flags")) continue;
    entry e;
    e.uid = static_cast<unsigned>(kq::json_num(doc.root(), "uid", 0));
    auto str = [&](const char *k) {
      const char *v = kq::json_str(doc.root(), k);
      return std::string(v ? v : "");
    };
    e.folder = str("folder");
    e.file = str("file");
    e.sha256 = str("sha256");
    e.from = str("from");
    e.subject = str("subject");
    e.date = str("date");
    e.size = kq::json_num(doc.root(), "size", -1);
    e.ts = kq::json_num(doc.root(), "ts", 0);
    out.push_back(e);
  }
  return out;
}

// sha256sum's digest of a file, an independent check of the manifest.
inline std::string sha256sum(const std::string &path) {
  platform::RunResult r = platform::run({"sha256sum", "-b", path}, "", 30000);
  return r.exit_code == 0 ? r.out.substr(0, 64) : "sha256sum failed: " + r.err;
}

// Checks that the archive in dir holds each message exactly once: one
// manifest line per message, its file byte for byte the server's message,
// the digest that sha256sum computes.
inline void expect_archive(const std::string &dir, const std::string &folder,
                           const std::vector<stored> &msgs, bool dated = false) {
  std::vector<entry> m = read_manifest(dir);
  ASSERT_EQ(m.size(), msgs.size());
  for (const stored &s : msgs) {
    SCOPED_TRACE("uid " + std::to_string(s.uid));
    int seen = 0;
    for (const entry &e : m) {
      if (e.uid != s.uid) continue;
      ++seen;
      std::string name = "uid-" + std::to_string(s.uid) + ".eml";
      if (dated) {
        std::time_t tt = static_cast<std::time_t>(s.date);
        std::tm tm = *std::gmtime(&tt);
        char ym[32];
        std::snprintf(ym, sizeof ym, "%04d-%02d/", tm.tm_year + 1900, tm.tm_mon + 1);
        name = ym + name;
      }
      EXPECT_EQ(e.file, name);
      EXPECT_EQ(e.folder, folder);
      EXPECT_EQ(read_all(dir + "/" + e.file), s.raw);
      EXPECT_EQ(e.size, static_cast<long long>(s.raw.size()));
      EXPECT_EQ(e.sha256, sha256sum(dir + "/" + e.file));
      // The date as the search row holds it, which is what the server wrote.
      for (const kq::search_hit &h : kq::current_result()->rows()) {
        if (h.uid == s.uid) {
          EXPECT_EQ(e.date, h.date);
        }
      }
      EXPECT_EQ(e.ts, s.date);
    }
    EXPECT_EQ(seen, 1);
  }
  // The library's own verification agrees: every line checks out.
  ASSERT_EQ(kq_verify_dir(dir.c_str()), 0) << kq_last_error();
  std::string n = std::to_string(msgs.size());
  // Whether resume.json was written depends on the job's "resume" key.
  std::string report = kq_verify_report_json();
  EXPECT_EQ(report.substr(0, report.find(",\"resume\":")),
            "{\"ok\":" + n + ",\"missing\":0,\"corrupt\":0,\"total\":" + n +
                ",\"files\":[],\"unreadable_lines\":0,\"duplicates\":0,\"unlisted\":0");
  EXPECT_NE(report.find(",\"intact\":true,"), std::string::npos) << report;
}

// Reads all.mbox with Python's mailbox module and checks it holds the
// manifest's messages in order, each (apart from ">From " quoting and the
// record's closing empty line) the bytes of its .eml file, with the same
// headers. Returns Python's report: "ok N" when all is well.
inline std::string python_mbox_check(const std::string &dir) {
  static const char *const script = R"PY(
import email, json, mailbox, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + '/manifest.jsonl', 'rb')]
box = mailbox.mbox(d + '/all.mbox', create=False)
keys = list(box.keys())
if len(keys) != len(lines):
    print('count', len(keys), 'manifest', len(lines)); sys.exit(1)
for k, e in zip(keys, lines):
    eml = open(d + '/' + e['file'], 'rb').read()
    want = b''.join((b'>' + l if l.startswith(b'From ') else l) for l in eml.splitlines(True))
    if not want.endswith(b'\n'):
        want += b'\r\n'
    got = box.get_bytes(k)
    # Each record closes with an empty CRLF line, which Python keeps.
    if got != want + b'\r\n':
        print('uid', e['uid'], 'differs'); sys.exit(1)
    msg, em = box[k], email.message_from_bytes(eml)
    if msg['Subject'] != em['Subject'] or msg['Message-ID'] != em['Message-ID']:
        print('uid', e['uid'], 'headers'); sys.exit(1)
    sender = msg.get_from().split()[0]
    if sender != 'unknown' and '@' not in sender:
        print('uid', e['uid'], 'sender', sender); sys.exit(1)
print('ok', len(keys))
)PY";
  platform::RunResult r = platform::run({"python3", "-c", script, dir}, "", 60000);
  return r.out + r.err;
}

// The number of messages s-nail finds in all.mbox (one header line each).
inline int snail_count(const std::string &dir) {
  platform::RunResult r =
      platform::run({"s-nail", "-n", "-H", "-R", "-f", dir + "/all.mbox"}, "", 60000);
  if (r.exit_code != 0) return -1;
  int n = 0;
  for (char c : r.out) n += c == '\n';
  return n;
}

// Changes flags through a second IMAP session (Python's imaplib), as
// another mail client would ("UID +FLAGS (\\Flagged)" each), and returns
// every message's flags as the server then has them, flags sorted.
inline std::map<unsigned, std::vector<std::string>> store_flags(DovecotServer &dv, const std::string &user,
                                                              const std::string &password,
                                                              const std::string &folder,
                                                              const std::vector<std::string> &stores) {
  static const char *const script = R"PY(
import imaplib, re, sys
port, user, pw, box = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
m = imaplib.IMAP4('127.0.0.1', port)
m.login(user, pw)
assert m.select('"' + box + '"')[0] == 'OK'
for s in sys.argv[5:]:
  uid, op, flags = s.split(' ', 2)
  assert m.uid('STORE', uid, op, flags)[0] == 'OK'
typ, data = m.uid('FETCH', '1:*', '(FLAGS)')
for d in data:
  t = d.decode()
  uid = re.search(r'UID (\d+)', t).group(1)
  flags = [f for f in re.search(r'FLAGS \(([^)]*)\)', t).group(1).split() if f != '\\Recent']
  print(' '.join([uid] + sorted(flags)))
m.logout()
)PY";
  std::vector<std::string> args = {"python3", "-c", script, std::to_string(dv.plain_port()), user, password,
                                   folder};
  args.insert(args.end(), stores.begin(), stores.end());
  platform::RunResult r = platform::run(args, "", 30000);
  EXPECT_EQ(r.err, "");
  std::map<unsigned, std::vector<std::string>> out;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    unsigned uid = 0;
    words >> uid;
    std::vector<std::string> &flags = out[uid];
    for (std::string f; words >> f;) flags.push_back(f);
  }
  return out;
}

}  // namespace kqtest::exp
