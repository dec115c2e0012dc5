#include "base/header_field.h"

#include "base/strcase.h"

namespace kq {

namespace {

// One physical line: its content without CR LF or a bare LF, and where the
// next line starts.
struct line {
  std::size_t begin, end, next;
};

line line_at(std::string_view b, std::size_t pos) {
  std::size_t lf = b.find('\n', pos);
  std::size_t end = lf == std::string_view::npos ? b.size() : lf;
  if (end > pos && b[end - 1] == '\r') --end;
  return {pos, end, lf == std::string_view::npos ? b.size() : lf + 1};
}

}  // namespace

bool header_field(std::string_view block, std::string_view name_colon, std::string &value,
                  std::size_t *start) {
  value.clear();
  for (std::size_t pos = 0; pos < block.size();) {
    line l = line_at(block, pos);
    pos = l.next;
    if (l.end - l.begin < name_colon.size() ||
        !ascii_ieq(block.substr(l.begin, name_colon.size()), name_colon))
      continue;
    std::size_t v = l.begin + name_colon.size();
    while (v < l.end && (block[v] == ' ' || block[v] == '\t')) ++v;
    if (start) *start = v;
    value.assign(block.substr(v, l.end - v));
    // The field goes on over every following line that begins with a blank
    // or tab; only the line ends between them go.
    while (pos < block.size() && (block[pos] == ' ' || block[pos] == '\t')) {
      line c = line_at(block, pos);
      value.append(block.substr(c.begin, c.end - c.begin));
      pos = c.next;
    }
    // A value that starts only on a continuation line loses its leading blanks too.
    std::size_t first = value.find_first_not_of(" \t");
    value.erase(0, first == std::string::npos ? value.size() : first);
    return true;
  }
  return false;
}

}  // namespace kq
