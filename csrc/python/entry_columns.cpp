// Entry points that exist for columns: ratio_columns(a, b, threads=0), the element-wise ratios
// of two string columns as a FloatArray, and close_matches_scores(word, possibilities, cutoff,
// threads=0), the scoring step of get_close_matches over a column.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gestalt/column_batch.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/float_array.hpp"
#include "python/frame.hpp"

namespace simsieve::py {

const char ratio_columns_doc[] =
    "ratio_columns(a, b, threads=0)\n--\n\n"
    "Return the element-wise exact ratios of two equally long string columns as a float64 "
    "`FloatArray`: item n is `ratio(a[n], b[n])`. Each of `a` and `b` is an Arrow string column "
    "(any object with `__arrow_c_stream__` or `__arrow_c_array__`: pyarrow, polars, pandas), read "
    "in place, or a sequence of str; `b` may also be one str, compared with every item of `a`. "
    "Computed across cores with the interpreter lock released; `threads=0` means all cores and "
    "`threads=N` caps this call to N threads.";

const char close_matches_scores_doc[] =
    "close_matches_scores(word, possibilities, cutoff, threads=0)\n--\n\n"
    "Return `(score, possibility)` for every item of the string column `possibilities` whose "
    "ratio against `word` (the possibility as the first string) is at least `cutoff`, in column "
    "order: the candidates of `get_close_matches`.";

namespace {
constexpr Signature<3> kRatioColumns{"ratio_columns()", {"a", "b", "threads"}, 2};
constexpr Signature<4> kCloseMatchesScores{
    "close_matches_scores()", {"word", "possibilities", "cutoff", "threads"}, 3};

bool is_str(PyObject* obj) { return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0; }
}  // namespace

PyObject* ratio_columns_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRatioColumns.bind(args, kwargs);
    Strings a = to_strings("a", bound[0]);
    std::vector<double> ratios;
    if (is_str(bound[1])) {
      std::string b = arg("b", bound[1], to_string);
      uint64_t threads = bound[2] ? arg("threads", bound[2], to_count) : 0;
      ratios = without_gil([&] { return ratio_column_against(a.column(), b, threads); });
    } else {
      Strings b = to_strings("b", bound[1]);
      uint64_t threads = bound[2] ? arg("threads", bound[2], to_count) : 0;
      if (a.size() != b.size()) {
        throw_error(PyExc_ValueError, ("columns 'a' and 'b' differ in length: " + std::to_string(a.size()) + " and " +
                                       std::to_string(b.size()))
                                          .c_str());
      }
      ratios = without_gil([&] { return ratio_columns(a.column(), b.column(), threads); });
    }
    const auto n = static_cast<Py_ssize_t>(ratios.size());
    return make_float_array(module, std::move(ratios), {n});
  });
}

PyObject* close_matches_scores_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCloseMatchesScores.bind(args, kwargs);
    std::string word = arg("word", bound[0], to_string);
    Strings possibilities = to_strings("possibilities", bound[1]);
    const double cutoff = arg("cutoff", bound[2], to_real);
    uint64_t threads = bound[3] ? arg("threads", bound[3], to_count) : 0;
    std::vector<std::pair<double, size_t>> kept = without_gil([&] {
      std::vector<double> scores = ratio_column_against(possibilities.column(), word, threads);
      std::vector<std::pair<double, size_t>> out;
      for (size_t n = 0; n < scores.size(); ++n)
        if (scores[n] >= cutoff) out.emplace_back(scores[n], n);
      return out;
    });
    return to_py_list(kept, [&](const std::pair<double, size_t>& item) {
             std::string_view text = possibilities.column()[item.second];
             Ref str = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
             return to_py_tuple(to_py(item.first), std::move(str));
           })
        .release();
  });
}

}  // namespace simsieve::py
