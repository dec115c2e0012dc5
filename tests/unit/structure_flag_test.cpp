// The search row's attachment flag from BODYSTRUCTURE: the same rule as the
// message walk, whatever shape (and whatever hostile nesting) the server sends.
#include <gtest/gtest.h>

#include <string>

#include "connection/fetch_data.h"
#include "connection/response.h"
#include "search/search.h"

using namespace kq;

namespace {

// The flag for one "* 1 FETCH (UID 1 BODYSTRUCTURE ...)" reply; -2 when the
// reply does not parse, -3 when its structure was not kept whole.
int flag(const std::string &structure) {
  response_parser p;
  std::string text = "* 1 FETCH (UID 1 BODYSTRUCTURE " + structure + ")\r\n";
  std::size_t used = 0;
  while (used < text.size() && !p.ready()) used += p.feed(text.data() + used, text.size() - used);
  if (!p.ready()) return -2;
  response r = p.take();
  fetch_data f;
  if (!parse_fetch(r, f) || !f.has_uid) return -2;
  if (!f.structure_ok) return -3;
  return structure_attachment_state(f.structure);
}

const std::string k_text = R"(("TEXT" "PLAIN" ("CHARSET" "utf-8") NIL NIL "7BIT" 12 1 NIL NIL NIL NIL))";
const std::string k_html = R"(("TEXT" "HTML" ("CHARSET" "utf-8") NIL NIL "7BIT" 40 2 NIL NIL NIL NIL))";
const std::string k_pdf = R"(("APPLICATION" "PDF" ("NAME" "a.pdf") NIL NIL "BASE64" 8 NIL NIL NIL NIL))";

}  // namespace

TEST(StructureFlag, LeavesFollowTheMessageWalksRule) {
  EXPECT_EQ(flag(R"("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 3 1)"), -2);  // not a list
  EXPECT_EQ(flag(k_text), 0);
  EXPECT_EQ(flag(k_pdf), 1);
  EXPECT_EQ(flag("(" + k_text + k_html + " \"ALTERNATIVE\" (\"BOUNDARY\" \"b\") NIL NIL NIL)"), 0);
  EXPECT_EQ(flag("(" + k_text + k_pdf + " \"MIXED\")"), 1);
  // multipart/mixed alone says nothing: two text parts are no attachment.
  EXPECT_EQ(flag("(" + k_text + k_text + " \"MIXED\")"), 0);
  // A text part with a disposition of attachment, or a file name in any of
  // the RFC 2231 forms (one of them sent as a literal).
  EXPECT_EQ(flag(R"(("TEXT" "PLAIN" NIL NIL NIL "7BIT" 3 1 NIL ("ATTACHMENT" NIL) NIL NIL))"), 1);
  EXPECT_EQ(flag(R"(("TEXT" "PLAIN" NIL NIL NIL "7BIT" 3 1 NIL ("INLINE" ("FILENAME*0*" "utf-8''a")) NIL))"), 1);
  EXPECT_EQ(flag("((\"TEXT\" \"CSV\" NIL NIL NIL \"7BIT\" 3 1 NIL (\"inline\" ({8}\r\nfilename \"x.csv\")) NIL NIL) "
                 "\"MIXED\")"),
            1);
  EXPECT_EQ(flag(R"(("TEXT" "PLAIN" NIL NIL NIL "7BIT" 3 1 NIL ("INLINE" NIL) NIL NIL))"), 0);
  // A forwarded message is one leaf, like in the walk: its inner attachment
  // does not count unless the message itself is attached.
  std::string inner = "(" + k_text + k_pdf + " \"MIXED\")";
  std::string fwd = R"(("MESSAGE" "RFC822" NIL NIL NIL "7BIT" 300 (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) )" +
                    inner + " 9 NIL %s NIL NIL)";
  char buf[1024];
  std::snprintf(buf, sizeof buf, fwd.c_str(), "NIL");
  EXPECT_EQ(flag("(" + k_text + buf + " \"MIXED\")"), 0);
  std::snprintf(buf, sizeof buf, fwd.c_str(), "(\"ATTACHMENT\" NIL)");
  EXPECT_EQ(flag("(" + k_text + buf + " \"MIXED\")"), 1);
}

TEST(StructureFlag, HostileShapesAreUndeterminedNotCrashes) {
  EXPECT_EQ(flag("()"), -1);
  EXPECT_EQ(flag("(NIL NIL)"), -1);
  EXPECT_EQ(flag("((NIL) \"MIXED\")"), -1);
  // Nesting far past any real message: read past, not kept, no recursion
  // without end; the items after it still parse.
  std::string deep(100000, '(');
  deep += k_text + std::string(100000, ')');
  EXPECT_EQ(flag(deep), -3);
}
