#include "archive/generation.h"

namespace kq {

bool settle_generation(archive_generation &g, std::uint64_t server_uv) {
  g.uidvalidity = server_uv;
  if (server_uv == 0) return false;  // nothing to compare: keep what the archive says
  bool recreated = g.archived != 0 && g.archived != server_uv;
  if (g.base == 0) g.base = g.archived ? g.archived : server_uv;
  g.archived = server_uv;
  return recreated;
}

std::uint64_t name_uidvalidity(const archive_generation &g) {
  if (g.uidvalidity == 0 || g.base == 0) return 0;
  return g.uidvalidity == g.base ? 0 : g.uidvalidity;
}

std::uint64_t line_generation(const archive_generation &g, const manifest_entry &e) {
  return manifest_entry_id(e, g.base ? g.base : g.uidvalidity).generation;
}

}  // namespace kq
