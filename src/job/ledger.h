// Exactly-once bookkeeping of what a job has stored: the IDs of the items
// done, ascending without repeats, so an item is never done twice and a
// lookup bisects. The job's worker owns its ledger while the job runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

namespace kq {

using id_ledger = std::vector<std::uint32_t>;

// True when id is in the ledger.
inline bool ledger_has(const id_ledger &l, std::uint32_t id) {
  return std::binary_search(l.begin(), l.end(), id);
}

// Makes room for one more ID, so the insert after the item is done cannot
// fail; false when memory is short.
inline bool ledger_reserve(id_ledger &l) {
  if (l.size() < l.capacity()) return true;
  try {
    l.reserve(l.capacity() ? l.capacity() * 2 : 4096);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

// Inserts id in order (no repeat); room must have been reserved.
inline void ledger_insert(id_ledger &l, std::uint32_t id) {
  // Items come in ascending order, so this is nearly always the end.
  if (l.empty() || l.back() < id) {
    l.push_back(id);
    return;
  }
  auto at = std::lower_bound(l.begin(), l.end(), id);
  if (at == l.end() || *at != id) l.insert(at, id);
}

}  // namespace kq
