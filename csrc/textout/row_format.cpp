#include "textout/row_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

namespace {

// Walks the output of `source` in order: text(view) for literal text and pieces, score(segment,
// row) for each score.
template <class Text, class Score>
void walk_rows(const RowSource& source, Text&& text, Score&& score) {
  uint64_t previous = source.previous;
  for (size_t k = 0; k < source.rows.size(); ++k) {
    const Row& row = source.rows[k];
    if (k > 0) text(source.separator);
    for (const Segment& s : source.layout) {
      switch (s.kind) {
        case Segment::Kind::literal:
          text(std::string_view(s.literal));
          break;
        case Segment::Kind::piece: {
          if (s.on_change && row.a == previous) break;
          ensure(s.table < source.tables.size(), "row layout names a missing piece table");
          const PieceTable& table = source.tables[s.table];
          const uint64_t record = s.side == 0 ? row.a : row.b;
          ensure(record < table.size(), "row record index out of range");
          text(table[record]);
          break;
        }
        case Segment::Kind::score:
          score(s, row);
          break;
      }
    }
    previous = row.a;
  }
}

}  // namespace

RowPlan plan_rows(const RowSource& source) {
  RowPlan plan;
  walk_rows(
      source, [&](std::string_view text) { plan.size += text.size(); },
      [&](const Segment& s, const Row& row) {
        const size_t before = plan.scores.size();
        if (s.decimals < 0)
          append_shortest(plan.scores, row.score);
        else
          append_fixed(plan.scores, row.score, s.decimals);
        plan.score_sizes.push_back(static_cast<uint16_t>(plan.scores.size() - before));
        plan.size += plan.score_sizes.back();
      });
  return plan;
}

void write_rows(char* out, const RowPlan& plan, const RowSource& source) {
  char* const end = out + plan.size;
  size_t score_at = 0;
  auto put = [&](std::string_view text) {
    ensure(text.size() <= static_cast<size_t>(end - out), "row output overruns its plan");
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    out += text.size();
  };
  size_t score = 0;
  walk_rows(source, put, [&](const Segment&, const Row&) {
    ensure(score < plan.score_sizes.size(), "row scores outnumber their plan");
    put(std::string_view(plan.scores).substr(score_at, plan.score_sizes[score]));
    score_at += plan.score_sizes[score++];
  });
  ensure(out == end, "row output falls short of its plan");
}

void append_rows(std::string& out, const RowSource& source) {
  const RowPlan plan = plan_rows(source);
  const size_t at = out.size();
  out.resize(at + plan.size);
  write_rows(out.data() + at, plan, source);
}

}  // namespace simsieve::textout
