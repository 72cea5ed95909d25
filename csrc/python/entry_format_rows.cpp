// _format_rows: the rows of a join or match result as output bytes, for the command line's
// streamed output. The command line quotes and escapes each record once into piece tables; this
// lays out a chunk of (a, b, score) rows from them, with the scores as Python formats floats.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/arrow_table.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "textout/float_text.hpp"
#include "textout/row_format.hpp"

namespace simsieve::py {

namespace {

using textout::PieceTable;
using textout::Row;
using textout::Segment;

constexpr Signature<6> kFormatRows{"_format_rows()", {"layout", "tables", "rows", "start", "stop", "separator"}, 6};

std::string_view bytes_view(const char* name, PyObject* obj) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
    PyErr_Clear();
    throw_error(PyExc_TypeError, (std::string(name) + " must be bytes").c_str());
  }
  return {data, static_cast<size_t>(size)};
}

// A layout item: bytes (literal text), an int (the score: that many decimals, -1 for repr) or a
// (table, side) / (table, side, on_change) tuple (a piece of the row's a (side 0) or b (side 1)).
Segment to_segment(PyObject* item) {
  Segment s;
  if (PyBytes_Check(item)) {
    s.literal = std::string(bytes_view("a layout literal", item));
  } else if (PyLong_Check(item)) {
    const long decimals = PyLong_AsLong(item);
    if (decimals == -1 && PyErr_Occurred()) throw PythonError{};
    if (decimals < -1 || decimals > textout::kMaxDecimals)
      throw_error(PyExc_ValueError, "score decimals must be -1 (repr) or 0..30");
    s.kind = Segment::Kind::score;
    s.decimals = static_cast<int>(decimals);
  } else if (PyTuple_Check(item) && (PyTuple_Size(item) == 2 || PyTuple_Size(item) == 3)) {
    s.kind = Segment::Kind::piece;
    const uint64_t table = to_count(PyTuple_GetItem(item, 0));
    const uint64_t side = to_count(PyTuple_GetItem(item, 1));
    if (table > UINT32_MAX || side > 1) throw_error(PyExc_ValueError, "a layout piece must be (table, 0 or 1)");
    s.table = static_cast<uint32_t>(table);
    s.side = static_cast<uint8_t>(side);
    if (PyTuple_Size(item) == 3) {
      const int flag = PyObject_IsTrue(PyTuple_GetItem(item, 2));
      if (flag < 0) throw PythonError{};
      s.on_change = flag == 1;
    }
  } else {
    throw_error(PyExc_TypeError, "layout items must be bytes, an int or a (table, side[, on_change]) tuple");
  }
  return s;
}

// The objects that a chunk's piece tables point into, held while the chunk is laid out (bytes never
// change), and copies of offsets that were not aligned for direct reading.
struct TableOwners {
  std::vector<Ref> objects;
  std::vector<std::vector<uint64_t>> copies;
};

// A (pieces, offsets) pair: the pieces' bytes end to end and len(pieces) + 1 native unsigned
// 64-bit offsets.
PieceTable to_table(PyObject* item, TableOwners& owners) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 2)
    throw_error(PyExc_TypeError, "tables must be (pieces, offsets) tuples of bytes");
  PyObject* pieces = PyTuple_GetItem(item, 0);
  PyObject* offsets = PyTuple_GetItem(item, 1);
  owners.objects.push_back(Ref::borrow(pieces));
  owners.objects.push_back(Ref::borrow(offsets));
  const std::string_view raw = bytes_view("table offsets", offsets);
  if (raw.size() % sizeof(uint64_t) != 0)
    throw_error(PyExc_ValueError, "table offsets must be whole unsigned 64-bit integers");
  const size_t count = raw.size() / sizeof(uint64_t);
  const uint64_t* words = reinterpret_cast<const uint64_t*>(raw.data());
  if (reinterpret_cast<uintptr_t>(raw.data()) % alignof(uint64_t) != 0) {
    std::vector<uint64_t>& copy = owners.copies.emplace_back(count);
    std::memcpy(copy.data(), raw.data(), raw.size());
    words = copy.data();
  }
  PieceTable table{bytes_view("table pieces", pieces), {words, count}};
  if (!table.valid()) throw_error(PyExc_ValueError, "table offsets must ascend from 0 within the pieces");
  return table;
}

uint64_t to_index(PyObject* obj, uint64_t limit) {
  const uint64_t value = to_count(obj);
  if (value >= limit) throw_error(PyExc_IndexError, "a row's record index is out of range of its tables");
  return value;
}

// rows[k] as a Row: an (a, b, score) tuple whose score is a float (an int would print differently).
Row to_row(PyObject* item, uint64_t limit_a, uint64_t limit_b) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 3)
    throw_error(PyExc_TypeError, "rows must be (a, b, score) tuples");
  PyObject* score = PyTuple_GetItem(item, 2);
  if (!PyFloat_Check(score)) throw_error(PyExc_TypeError, "row scores must be floats");
  return {to_index(PyTuple_GetItem(item, 0), limit_a), to_index(PyTuple_GetItem(item, 1), limit_b),
          PyFloat_AsDouble(score)};
}

// [start, stop) clamped to a sequence of `length` rows.
std::pair<uint64_t, uint64_t> row_range(PyObject* start_obj, PyObject* stop_obj, uint64_t length) {
  const uint64_t start = std::min(arg("start", start_obj, to_count), length);
  return {start, std::clamp(arg("stop", stop_obj, to_count), start, length)};
}

// Rows [start, stop) of an Arrow result whose first three columns are int64 a, int64 b and double
// score (the (j, i, cos) of a cosine join); sets `previous` to the a of the row before start.
std::vector<Row> arrow_rows(const columns::OutputTable& table, PyObject* start_obj, PyObject* stop_obj,
                            uint64_t limit_a, uint64_t limit_b, uint64_t& previous) {
  const auto& cols = table.columns;
  if (cols.size() < 3 || std::string_view(cols[0].format) != "l" || std::string_view(cols[1].format) != "l" ||
      std::string_view(cols[2].format) != "g")
    throw_error(PyExc_TypeError, "an ArrowTable of rows needs int64, int64 and float64 columns first");
  const auto [start, stop] = row_range(start_obj, stop_obj, static_cast<uint64_t>(table.rows));
  const auto* a = static_cast<const int64_t*>(cols[0].data);
  const auto* b = static_cast<const int64_t*>(cols[1].data);
  const auto* score = static_cast<const double*>(cols[2].data);
  auto index = [](int64_t value, uint64_t limit) {
    if (value < 0 || static_cast<uint64_t>(value) >= limit)
      throw_error(PyExc_IndexError, "a row's record index is out of range of its tables");
    return static_cast<uint64_t>(value);
  };
  std::vector<Row> rows;
  rows.reserve(stop - start);
  for (uint64_t k = start; k < stop; ++k) rows.push_back({index(a[k], limit_a), index(b[k], limit_b), score[k]});
  if (start > 0) previous = index(a[start - 1], limit_a);
  return rows;
}

}  // namespace

PyObject* format_rows_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFormatRows.bind(args, kwargs);
    const std::vector<Segment> layout = arg("layout", bound[0], [](PyObject* o) { return to_vector(o, to_segment); });
    TableOwners owners;
    const std::vector<PieceTable> tables =
        arg("tables", bound[1], [&](PyObject* o) { return to_vector(o, [&](PyObject* t) { return to_table(t, owners); }); });
    for (const Segment& s : layout) {
      if (s.kind == Segment::Kind::piece && s.table >= tables.size())
        throw_error(PyExc_IndexError, "a layout piece names a missing table");
    }
    PyObject* rows_obj = bound[2];
    const std::string separator(bytes_view("separator", bound[5]));
    const uint64_t limit_a = textout::side_limit(layout, tables, 0);
    const uint64_t limit_b = textout::side_limit(layout, tables, 1);
    std::vector<Row> rows;
    uint64_t previous = textout::kNoRow;
    if (auto table = arrow_table_of(rows_obj)) {
      rows = arrow_rows(*table, bound[3], bound[4], limit_a, limit_b, previous);
    } else {
      const Py_ssize_t length = PySequence_Size(rows_obj);
      if (length < 0) throw PythonError{};
      const auto [start, stop] = row_range(bound[3], bound[4], static_cast<uint64_t>(length));
      const bool is_list = PyList_Check(rows_obj);
      auto row_at = [&](uint64_t k) {
        const auto index = static_cast<Py_ssize_t>(k);
        // A strong reference: converting an index may run Python code (__index__).
        Ref item = is_list ? Ref::borrow(PyList_GetItem(rows_obj, index)) : Ref{PySequence_GetItem(rows_obj, index)};
        if (!item) throw PythonError{};
        return to_row(item.get(), limit_a, limit_b);
      };
      rows.reserve(stop - start);
      for (uint64_t k = start; k < stop; ++k) rows.push_back(row_at(k));
      // The row before the chunk decides whether its first row opens a new group.
      if (start > 0) previous = row_at(start - 1).a;
    }

    const textout::RowSource source{layout, tables, rows, separator, previous};
    textout::RowPlan plan = without_gil([&] { return textout::plan_rows(source); });
    if (plan.size > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size)));
    char* data = PyBytes_AsString(out.get());
    if (!data) throw PythonError{};
    // The new bytes object is not shared yet: it is filled with the interpreter lock released.
    without_gil([&] { textout::write_rows(data, plan, source); });
    return out.release();
  });
}

}  // namespace simsieve::py
