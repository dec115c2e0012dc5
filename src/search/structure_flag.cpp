// The attachment flag of a search row from the message's BODYSTRUCTURE: the
// same rule the message walk applies, so a search for messages with
// attachments finds exactly those kq_fetch lists attachments for.
#include <string>

#include "base/attachment_rule.h"
#include "base/strcase.h"
#include "search/search.h"

namespace kq {

namespace {

const imap_value *item(const imap_value &v, std::size_t i) {
  return i < v.items.size() ? &v.items[i] : nullptr;
}

// True when the parameter list names a file ("filename", "filename*",
// "filename*0*", ...).
bool names_file(const imap_value *params) {
  if (!params || !params->is_list()) return false;
  for (std::size_t i = 0; i + 1 < params->items.size(); i += 2) {
    const imap_value &key = params->items[i];
    if (key.is_text() && ascii_istarts(key.value, "filename")) return true;
  }
  return false;
}

// One body: 1 when it or a part inside it is an attachment, 0 when not, -1
// when its shape is not a body.
int body_state(const imap_value &b) {
  if (!b.is_list() || b.items.empty()) return -1;
  if (b.items[0].is_list()) {
    // Multipart: the parts first, then the subtype; a message/rfc822 part
    // inside counts as one leaf, as in the message walk.
    bool any = false;
    for (const imap_value &part : b.items) {
      if (!part.is_list()) break;
      int s = body_state(part);
      if (s < 0) return -1;
      any = any || s == 1;
    }
    return any ? 1 : 0;
  }
  const imap_value *type = item(b, 0), *subtype = item(b, 1);
  if (!type || !type->is_text() || !subtype || !subtype->is_text()) return -1;
  // type subtype params id description encoding size, then the line count
  // for text, envelope, body and line count for message/rfc822; the
  // extension data that follows starts with the MD5 and the disposition.
  std::size_t ext = 7;
  if (ascii_ieq(type->value, "TEXT")) ext = 8;
  else if (ascii_ieq(type->value, "MESSAGE") && ascii_ieq(subtype->value, "RFC822")) ext = 10;
  const imap_value *dsp = item(b, ext + 1);
  std::string disposition;
  bool file = false;
  if (dsp && dsp->is_list()) {
    if (const imap_value *word = item(*dsp, 0); word && word->is_text()) disposition = word->value;
    file = names_file(item(*dsp, 1));
  }
  std::string ctype = type->value + "/" + subtype->value;
  return counts_as_attachment(ctype, disposition, file) ? 1 : 0;
}

}  // namespace

int structure_attachment_state(const imap_value &body) { return body_state(body); }

}  // namespace kq
