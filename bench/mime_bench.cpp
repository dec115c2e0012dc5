// MIME walk cost on hostile shapes: many parts with bare LF or CR LF line
// ends, deep nesting, a 1 MiB header line and broken transfer encodings.
// Prints, per shape, the message size and the time of the walks kq_fetch
// runs (attachment listing and body text choice); the time per part should
// stay flat as the part count grows.
#include <chrono>
#include <cstdio>
#include <string>

#include "message/attachments.h"
#include "message/fetched.h"
#include "message/mime.h"

namespace {

std::string many_parts(int parts, const char *eol) {
  std::string e = eol;
  std::string m = "Content-Type: multipart/mixed; boundary=b" + e + e;
  for (int i = 0; i < parts; ++i)
    m += "--b" + e + "Content-Type: application/octet-stream" + e +
         "Content-Disposition: attachment; filename=a" + std::to_string(i) + e +
         "Content-Transfer-Encoding: base64" + e + e + "QUJD" + e;
  return m + "--b--" + e;
}

std::string deep(int levels) {
  std::string m;
  for (int i = 0; i < levels; ++i)
    m += "Content-Type: multipart/mixed; boundary=d" + std::to_string(i) + "\r\n\r\n--d" +
         std::to_string(i) + "\r\n";
  return m + "Content-Type: text/plain\r\n\r\ndeep";
}

std::string long_header() {
  return "Subject: " + std::string(1 << 20, 's') + "\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
}

std::string broken_encodings() {
  std::string m = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 1000; ++i)
    m += "--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment\r\n\r\n"
         "QU*J=D==x\r\n--b\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: "
         "quoted-printable\r\n\r\n=ZZ=4=\r\n";
  return m + "--b--\r\n";
}

void run(const char *label, const std::string &m) {
  static kq::text_work work;
  static bool ready = work.alloc();
  if (!ready) return;
  static char text[65536];
  auto t0 = std::chrono::steady_clock::now();
  std::size_t atts = kq::list_attachments(m.data(), m.size()).size();
  kq::choose_body_text(m.data(), m.size(), work, text, sizeof text);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-28s %10zu bytes  %8.3f s  %4zu attachments listed\n", label, m.size(), s,
              atts);
}

}  // namespace

int main() {
  for (int n : {10000, 40000, 120000}) {
    run(("bare LF, " + std::to_string(n) + " parts").c_str(), many_parts(n, "\n"));
    run(("CR LF, " + std::to_string(n) + " parts").c_str(), many_parts(n, "\r\n"));
  }
  run("1,000 nesting levels", deep(1000));
  run("100,000 nesting levels", deep(100000));
  run("1 MiB header line", long_header());
  run("broken Base64 and QP x1000", broken_encodings());
  return 0;
}
