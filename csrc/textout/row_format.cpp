#include "textout/row_format.hpp"

#include <algorithm>
#include <cstdint>

#include "common/internal_error.hpp"
#include "textout/float_text.hpp"

namespace simsieve::textout {

bool PieceTable::valid() const noexcept {
  if (offsets.empty()) return true;
  if (offsets.front() != 0 || offsets.back() > bytes.size()) return false;
  return std::is_sorted(offsets.begin(), offsets.end());
}

uint64_t side_limit(std::span<const Segment> layout, std::span<const PieceTable> tables, int side) {
  uint64_t limit = UINT64_MAX;
  for (const Segment& s : layout) {
    if (s.kind == Segment::Kind::piece && s.side == side && s.table < tables.size())
      limit = std::min<uint64_t>(limit, tables[s.table].size());
  }
  return limit;
}

void append_rows(std::string& out, std::span<const Segment> layout, std::span<const PieceTable> tables,
                 std::span<const Row> rows, std::string_view separator, uint64_t& previous) {
  for (size_t k = 0; k < rows.size(); ++k) {
    const Row& row = rows[k];
    if (k > 0) out += separator;
    for (const Segment& s : layout) {
      switch (s.kind) {
        case Segment::Kind::literal:
          out += s.literal;
          break;
        case Segment::Kind::piece: {
          if (s.on_change && row.a == previous) break;
          ensure(s.table < tables.size(), "row layout names a missing piece table");
          const uint64_t record = s.side == 0 ? row.a : row.b;
          ensure(record < tables[s.table].size(), "row record index out of range");
          out += tables[s.table][record];
          break;
        }
        case Segment::Kind::score:
          if (s.decimals < 0)
            append_shortest(out, row.score);
          else
            append_fixed(out, row.score, s.decimals);
          break;
      }
    }
    previous = row.a;
  }
}

}  // namespace simsieve::textout
