// Output rows assembled from pre-formatted pieces: each row of (a, b, score) is laid out as a fixed
// sequence of literal text, per-record pieces of a or b (a record's line number and text, already
// quoted or escaped for the output format) and the score's text. This is the per-row work of
// streaming a large join or match result; quoting and escaping happen once per record.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simsieve::textout {

// A table of byte strings: piece k is bytes[offsets[k], offsets[k + 1]).
struct PieceTable {
  std::string_view bytes;
  std::span<const uint64_t> offsets;

  size_t size() const noexcept { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::string_view operator[](size_t k) const noexcept {
    return bytes.substr(offsets[k], offsets[k + 1] - offsets[k]);
  }
  // True when the offsets ascend from 0 and end within the bytes.
  bool valid() const noexcept;
};

struct Segment {
  enum class Kind : uint8_t { literal, piece, score };
  Kind kind = Kind::literal;
  std::string literal;     // literal: the text
  uint32_t table = 0;      // piece: which table
  uint8_t side = 0;        // piece: 0 = the row's a, 1 = its b
  bool on_change = false;  // piece: only when a differs from the previous row's a (a group heading)
  int decimals = -1;       // score: that many decimals (format(x, ".Nf")), or -1 for repr(x)
};

struct Row {
  uint64_t a = 0, b = 0;
  double score = 0.0;
};

// What to lay out: the layout of one row, the tables its pieces come from, the rows, the text
// between two rows, and the a of the row before the first (for on_change pieces; kNoRow: none).
// Every table index must be within `tables` and every record index within side_limit.
inline constexpr uint64_t kNoRow = UINT64_MAX;
struct RowSource {
  std::span<const Segment> layout;
  std::span<const PieceTable> tables;
  std::span<const Row> rows;
  std::string_view separator;
  uint64_t previous = kNoRow;
};

// The number of records a (side 0) or b (side 1) may index: the smallest size among the tables
// that the layout reads on that side (UINT64_MAX when it reads none).
uint64_t side_limit(std::span<const Segment> layout, std::span<const PieceTable> tables, int side);

// The rows are laid out in two steps so that the caller can allocate the output exactly once:
// plan_rows formats the scores and measures the output, write_rows fills `plan.size` bytes.
struct RowPlan {
  size_t size = 0;
  std::string scores;                  // the score texts end to end, in row order
  std::vector<uint16_t> score_sizes;  // the length of each
};
RowPlan plan_rows(const RowSource& source);
void write_rows(char* out, const RowPlan& plan, const RowSource& source);

// Both steps at once, appending to a string.
void append_rows(std::string& out, const RowSource& source);

}  // namespace simsieve::textout
