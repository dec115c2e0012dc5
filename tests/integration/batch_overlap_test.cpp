// The batch's look ahead against servers that say exactly what a test
// needs: STATUS of the folders to come (an empty one is never opened), a
// folder's rows asked right behind its EXAMINE, what the server says of the
// folder before arriving while the next one is being opened, and rows that
// do not cover the folder being set aside for the folder's own search.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "batch/batch_ahead.h"
#include "support/dovecot_server.h"
#include "kerquill.h"
#include "support/fake_imap.h"
#include "support/script_server.h"

namespace fs = std::filesystem;
using kqtest::FakeImap;

namespace {

constexpr long long k_date0 = 1709632800;  // 2024-03-05

std::string text_of(const std::string &folder, unsigned uid) {
  return "From: S <s@example.org>\r\nTo: r@example.org\r\nSubject: " + folder + " " + std::to_string(uid) +
         "\r\nDate: Tue, 5 Mar 2024 10:00:00 +0000\r\n\r\nBody of " + folder + " " + std::to_string(uid) + "\r\n";
}

std::string literal(const std::string &bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

// A small server for one connection, answering each line as it comes.
struct scripted_mail {
  std::map<std::string, std::vector<unsigned>> folders;
  std::string selected;
  // Sent ahead of the answer to a folder's EXAMINE: news of the folder
  // selected before it, as a server may send them at any time.
  std::map<std::string, std::string> news_before;

  std::vector<unsigned> uid_set(const std::string &set) const {
    const std::vector<unsigned> &have = folders.at(selected);
    unsigned top = have.empty() ? 0 : have.back();
    std::vector<unsigned> out;
    std::size_t at = 0;
    while (at < set.size()) {
      std::size_t comma = set.find(',', at);
      std::string one = set.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
      at = comma == std::string::npos ? set.size() : comma + 1;
      std::size_t colon = one.find(':');
      auto value = [top](const std::string &v) { return v == "*" ? top : static_cast<unsigned>(std::stoul(v)); };
      unsigned lo = value(one.substr(0, colon));
      unsigned hi = colon == std::string::npos ? lo : value(one.substr(colon + 1));
      if (lo > hi) std::swap(lo, hi);
      for (unsigned u : have)
        if (u >= lo && u <= hi) out.push_back(u);
    }
    return out;
  }

  std::string answer(const std::string &line) {
    std::string tag = line.substr(0, line.find(' '));
    std::string cmd = line.substr(tag.size() + 1);
    auto ok = [&](const std::string &untagged) { return untagged + tag + " OK done\r\n"; };
    auto name_in = [&](std::size_t from) {
      std::size_t q1 = cmd.find('"', from), q2 = cmd.find('"', q1 + 1);
      return cmd.substr(q1 + 1, q2 - q1 - 1);
    };
    if (cmd.starts_with("CAPABILITY")) return ok("* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n");
    if (cmd.starts_with("LOGOUT")) return ok("* BYE bye\r\n");
    if (cmd.starts_with("STATUS")) {
      std::string name = name_in(0);
      const std::vector<unsigned> &have = folders.at(name);
      return ok("* STATUS \"" + name + "\" (MESSAGES " + std::to_string(have.size()) + " UIDNEXT " +
                std::to_string(have.empty() ? 1 : have.back() + 1) + " UIDVALIDITY 7)\r\n");
    }
    if (cmd.starts_with("EXAMINE") || cmd.starts_with("SELECT")) {
      std::string name = name_in(0);
      std::string news = news_before.count(name) ? news_before[name] : "";
      selected = name;
      const std::vector<unsigned> &have = folders.at(name);
      return ok(news + "* " + std::to_string(have.size()) + " EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n* OK [UIDNEXT " +
                std::to_string(have.empty() ? 1 : have.back() + 1) + "] ok\r\n");
    }
    if (cmd.starts_with("UID SEARCH")) {
      std::string out = "* SEARCH";
      for (unsigned u : folders.at(selected)) out += " " + std::to_string(u);
      return ok(out + "\r\n");
    }
    if (!cmd.starts_with("UID FETCH ")) return ok("");
    std::string set = cmd.substr(10, cmd.find(' ', 10) - 10);
    std::string out;
    const std::vector<unsigned> &have = folders.at(selected);
    for (unsigned u : uid_set(set)) {
      std::size_t seq = 1;
      while (have[seq - 1] != u) ++seq;
      std::string msg = text_of(selected, u);
      std::string head = "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(u);
      if (cmd.find("BODY.PEEK[]") != std::string::npos) out += head + " FLAGS () BODY[] " + literal(msg) + ")\r\n";
      else if (cmd.find("HEADER.FIELDS") != std::string::npos)
        out += head + " RFC822.SIZE " + std::to_string(msg.size()) +
               " INTERNALDATE \"05-Mar-2024 10:00:00 +0000\" BODY[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)] " +
               literal(msg.substr(0, msg.find("\r\n\r\n") + 4)) + ")\r\n";
      else out += head + ")\r\n";
    }
    return ok(out);
  }
};

struct scratch {
  fs::path path;
  explicit scratch(const std::string &tag) {
    path = fs::temp_directory_path() /
           ("kq-overlap-" + tag + "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(path);
  }
  ~scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::string batch_end() {
  for (int i = 0; i < 6000; ++i) {
    std::string s = kq_export_all_status_json();
    kq::json_doc d;
    if (d.parse(s) && kq::json_num(d.root(), "state", -1) != 1) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return kq_export_all_status_json();
}

std::multiset<unsigned> manifest_uids(const fs::path &dir) {
  std::multiset<unsigned> out;
  std::ifstream f(dir / "manifest.jsonl");
  for (std::string l; std::getline(f, l);) {
    kq::json_doc d;
    if (d.parse(l)) out.insert(static_cast<unsigned>(kq::json_num(d.root(), "uid", 0)));
  }
  return out;
}

std::string file_text(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::size_t count_of(const std::vector<std::string> &lines, const std::string &part) {
  std::size_t n = 0;
  for (const std::string &l : lines) n += l.find(part) != std::string::npos;
  return n;
}

}  // namespace

// The server tells of the folder exported before (a new message, an
// expunge, a flag change, even a whole row) ahead of its answer to the next
// folder's EXAMINE: none of it is taken for the next folder's, whose rows
// asked behind the EXAMINE are used as they are.
TEST(BatchOverlapScripted, NewsOfTheFolderBeforeWhileTheNextIsOpenedStaysWithIt) {
  auto mail = std::make_shared<scripted_mail>();
  mail->folders = {{"A", {1, 2}}, {"Empty", {}}, {"B", {7}}};
  std::string stray_head = text_of("A", 2).substr(0, text_of("A", 2).find("\r\n\r\n") + 4);
  mail->news_before["B"] = "* 3 EXISTS\r\n* 1 EXPUNGE\r\n* 1 FETCH (UID 2 FLAGS (\\Seen))\r\n"
                           "* 1 FETCH (UID 2 RFC822.SIZE 99 INTERNALDATE \"05-Mar-2024 10:00:00 +0000\" "
                           "BODY[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)] " + literal(stray_head) + ")\r\n";
  kqtest::ScriptServer srv;
  srv.send("* OK scripted\r\n");
  for (int i = 0; i < 40; ++i) srv.expect_line().send_fn([mail](const std::string &l) { return mail->answer(l); });
  ASSERT_TRUE(srv.start());
  scratch d("news");
  std::string conn = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
                     ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
  ASSERT_EQ(kq_connect(conn.c_str()), 0) << kq_last_error();
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.path.string()) + ",\"folders\":[\"A\",\"Empty\",\"B\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  std::string end = batch_end();
  kq_disconnect();
  srv.stop();
  EXPECT_EQ(end, "{\"state\":2,\"folder_idx\":2,\"done_folders\":2,\"current\":\"\","
                 "\"folders\":{\"A\":\"done\",\"Empty\":\"done\",\"B\":\"done\"}}");
  EXPECT_EQ(manifest_uids(d.path / "A"), (std::multiset<unsigned>{1, 2}));
  EXPECT_EQ(manifest_uids(d.path / "B"), (std::multiset<unsigned>{7}));
  EXPECT_EQ(file_text(d.path / "B" / "2024-03" / "uid-7.eml"), text_of("B", 7));
  ASSERT_EQ(kq_verify_dir((d.path / "B").string().c_str()), 0) << kq_last_error();
  std::vector<std::string> got = srv.received();
  // The empty folder's count came with STATUS: it was never opened.
  EXPECT_EQ(count_of(got, "EXAMINE \"Empty\""), 0u);
  EXPECT_FALSE(fs::exists(d.path / "Empty"));
  // Each folder opened once, its rows asked right behind it; nothing had
  // to be searched again.
  EXPECT_EQ(count_of(got, "EXAMINE \"A\""), 1u);
  EXPECT_EQ(count_of(got, "EXAMINE \"B\""), 1u);
  EXPECT_EQ(count_of(got, "UID SEARCH"), 0u);
  for (std::size_t i = 0; i + 1 < got.size(); ++i) {
    if (got[i].ends_with("EXAMINE \"B\"")) {
      EXPECT_NE(got[i + 1].find("UID FETCH 1:* (UID RFC822.SIZE"), std::string::npos) << got[i + 1];
    }
  }
}

// Rows behind the EXAMINE that leave a message out (a throttled answer that
// still says OK) are not used: the folder is searched as before and every
// message is exported. A folder the server lists but will not open is
// passed over as before, an empty one is never opened.
TEST(BatchOverlapFake, RowsThatMissAMessageAreSetAsideAndTheFolderSearched) {
  auto folder = [](const std::string &name, unsigned n) {
    FakeImap::Folder f;
    f.name = name;
    f.uidvalidity = 11;
    for (unsigned u = 1; u <= n; ++u) f.messages.push_back({u * 3, text_of(name, u * 3), k_date0 + u});
    return f;
  };
  FakeImap srv({folder("INBOX", 7), folder("Empty", 0), folder("Locked", 2), folder("Work", 5)});
  FakeImap::Quirks q;
  q.throttled_ok_drops = 3;
  q.unreadable_folder = "Locked";
  q.only_in_folder = "INBOX";
  srv.set_quirks(q);
  ASSERT_TRUE(srv.start());
  scratch d("short");
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_export_all_folders(("{\"dir\":" + kqtest::json_quote(d.path.string()) + "}").c_str()), 0)
      << kq_last_error();
  std::string end = batch_end();
  kq_disconnect();
  srv.stop();
  kq::json_doc doc;
  ASSERT_TRUE(doc.parse(end)) << end;
  EXPECT_EQ(kq::json_num(doc.root(), "state", -1), 2) << end;
  EXPECT_EQ(kq::json_num(doc.root(), "done_folders", -1), 2) << end;
  EXPECT_STREQ(kq::json_str(kq::json_key(doc.root(), "folders"), "Locked"), "unreadable") << end;
  EXPECT_STREQ(kq::json_str(kq::json_key(doc.root(), "folders"), "Empty"), "done") << end;
  EXPECT_EQ(manifest_uids(d.path / "INBOX"), (std::multiset<unsigned>{3, 6, 9, 12, 15, 18, 21}));
  EXPECT_EQ(manifest_uids(d.path / "Work"), (std::multiset<unsigned>{3, 6, 9, 12, 15}));
  ASSERT_EQ(kq_verify_dir((d.path / "INBOX").string().c_str()), 0) << kq_last_error();
  EXPECT_GE(srv.faults()["throttled_ok_drops"], 1);
  // Which folder each search ran in: the short answer struck INBOX alone,
  // and only INBOX was searched (for its UIDs, and again by the body fetch
  // for the bodies its own short answer left out). The empty folder was
  // never opened.
  std::map<std::string, int> searches, opened;
  std::string in;
  for (const FakeImap::Command &cmd : srv.commands()) {
    for (const char *name : {"INBOX", "Empty", "Locked", "Work"})
      if (cmd.line.find("EXAMINE") != std::string::npos && cmd.line.find(name) != std::string::npos) {
        in = name;
        ++opened[name];
      }
    if (cmd.line.find(" SEARCH ") != std::string::npos) ++searches[in];
  }
  EXPECT_EQ(opened["Empty"], 0);
  EXPECT_EQ(opened["Work"], 1);
  EXPECT_GE(searches["INBOX"], 1);
  EXPECT_EQ(searches.count("Work"), 0u);
  EXPECT_EQ(searches.count("Locked"), 0u);
}

// STATUS answers read as the server may send them; a name that is another
// folder's or a list that does not close is no answer.
TEST(BatchOverlapStatus, RecordsAreReadWhateverFormTheNameTakes) {
  struct row {
    const char *line;
    std::vector<std::string> literals;
    bool parses;
    std::string name;
    long long messages;
    unsigned long long uidnext, uidvalidity;
  };
  const std::vector<row> rows = {
      {"* STATUS \"Work\" (MESSAGES 3 UIDNEXT 9 UIDVALIDITY 77)", {}, true, "Work", 3, 9, 77},
      {"* STATUS Work (UIDVALIDITY 77 MESSAGES 0)", {}, true, "Work", 0, 0, 77},
      {"* status \"a \\\"q\\\" \\\\b\" (messages 12)", {}, true, "a \"q\" \\b", 12, 0, 0},
      {"* STATUS {4} (MESSAGES 5 UIDNEXT 6)", {"W rk"}, true, "W rk", 5, 6, 0},
      {"* STATUS Work (UIDNEXT 4)", {}, true, "Work", -1, 4, 0},
      {"* STATUS Work (MESSAGES 3", {}, false, "", -1, 0, 0},
      {"* STATUS Work (MESSAGES x)", {}, false, "", -1, 0, 0},
      {"* LIST () \"/\" Work", {}, false, "", -1, 0, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.line);
    kq::response resp;
    resp.line = r.line;
    resp.literals = r.literals;
    std::string name;
    kq::folder_look look;
    ASSERT_EQ(kq::parse_status_record(resp, name, look), r.parses);
    if (!r.parses) continue;
    EXPECT_EQ(name, r.name);
    EXPECT_EQ(look.known, r.messages >= 0);
    EXPECT_EQ(look.messages, r.messages);
    EXPECT_EQ(look.uidnext, r.uidnext);
    EXPECT_EQ(look.uidvalidity, r.uidvalidity);
  }
}
