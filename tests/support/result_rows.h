// Puts rows into the current search result as a search of a folder would,
// for tests whose server does not answer a search or that need odd rows.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "search/search_table.h"

namespace kqtest {

inline void put_rows(const std::string &folder, const std::vector<kq::search_hit> &rows) {
  auto r = std::make_shared<kq::search_result>(folder);
  for (const kq::search_hit &h : rows) r->add(h);
  kq::install_result(std::move(r));
}

inline void put_uids(const std::string &folder, std::initializer_list<std::uint32_t> uids) {
  std::vector<kq::search_hit> rows;
  for (std::uint32_t u : uids) {
    kq::search_hit h;
    h.uid = u;
    rows.push_back(h);
  }
  put_rows(folder, rows);
}

}  // namespace kqtest
