// search_top, search_pairs and search_dense: the native side of the package's extract,
// extract_one, match and cdist (src/simsieve/_search.py), which build the final Python results.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/float_array.hpp"
#include "python/frame.hpp"
#include "search/search.hpp"

namespace simsieve::py {

const char search_top_doc[] =
    "search_top(query, choices, limit=5, score_cutoff=0.0, threads=0, keep_ties=False, skip_none=True)\n--\n\n"
    "Return the `limit` best choices for `query` as `(index, score)` tuples, best first, ties by "
    "ascending index; only scores at or above `score_cutoff` count. The score is the exact "
    "`difflib.SequenceMatcher(None, choice, query, autojunk=False).ratio()`: the choice is the "
    "first sequence, the query the second (it is indexed once). `None` choices are skipped; "
    "`index` is the input position. `limit=0` means no limit; with `keep_ties` every choice that "
    "ties with the limit-th best score is returned too; with `skip_none=False` a `None` choice is a "
    "TypeError like any other non-str. The interpreter lock is released; "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

const char search_pairs_doc[] =
    "search_pairs(queries, choices, score_cutoff, limit=0, threads=0)\n--\n\n"
    "Return every `(query index, choice index, score)` with score at or above `score_cutoff`, at "
    "most the `limit` best per query (`limit=0`: all), ordered by query index, then score "
    "descending, then choice index. Scores and direction as in `search_top`; `None` queries and "
    "choices are skipped. The interpreter lock is released; `threads=0` means all cores and "
    "`threads=N` caps this call to N threads.";

const char search_dense_doc[] =
    "search_dense(queries, choices, score_cutoff=0.0, dtype=\"float64\", threads=0)\n--\n\n"
    "Return the len(queries) x len(choices) matrix of scores as a read-only `FloatArray` "
    "(\"float64\" or \"float32\"); scores below `score_cutoff`, and rows or columns of `None` "
    "entries, are 0. Scores and direction as in `search_top`. The interpreter lock is released; "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

namespace {

constexpr Signature<7> kSearchTop{
    "search_top()", {"query", "choices", "limit", "score_cutoff", "threads", "keep_ties", "skip_none"}, 2};
constexpr Signature<5> kSearchPairs{"search_pairs()", {"queries", "choices", "score_cutoff", "limit", "threads"}, 3};
constexpr Signature<5> kSearchDense{"search_dense()", {"queries", "choices", "score_cutoff", "dtype", "threads"}, 2};

bool to_bool(PyObject* obj) {
  int r = PyObject_IsTrue(obj);
  if (r < 0) throw PythonError{};
  return r == 1;
}

// Adds one choice (a str, or None when allowed) to the builder; the UTF-8 buffer is read in
// place, so the string must stay alive until the builder has copied it.
void add_choice(ChoiceSetBuilder& builder, PyObject* item, bool skip_none) {
  if (item == Py_None && skip_none) {
    builder.skip();
    return;
  }
  if (!PyUnicode_Check(item)) (void)to_string(item);  // raises its TypeError
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (!data) throw PythonError{};
  const Py_ssize_t length = PyUnicode_GetLength(item);
  if (length < 0) throw PythonError{};
  if (length > static_cast<Py_ssize_t>(UINT32_MAX)) throw_error(PyExc_OverflowError, "string too long");
  builder.add(std::string_view(data, static_cast<size_t>(size)), static_cast<uint32_t>(length));
}

// The choices as a builder of views into the strings' own UTF-8 buffers, with every string
// referenced in `held` (None skipped unless skip_none is false, when it is a TypeError like any
// other non-str). While `held` lives, the buffers stay valid and unchanged (str is immutable),
// with or without the interpreter lock.
ChoiceSetBuilder choice_views(PyObject* obj, std::vector<Ref>& held, bool skip_none) {
  ChoiceSetBuilder builder;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool list = PyList_CheckExact(obj);
    const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
    builder.reserve(static_cast<size_t>(n));
    held.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      add_choice(builder, item, skip_none);
      held.push_back(Ref::borrow(item));
    }
    return builder;
  }
  Py_ssize_t hint = -1;
  Ref iter = detail::sequence_iterator(obj, &hint);
  if (hint > 0) {
    builder.reserve(static_cast<size_t>(hint));
    held.reserve(static_cast<size_t>(hint));
  }
  while (Ref item{PyIter_Next(iter.get())}) {
    add_choice(builder, item.get(), skip_none);
    held.push_back(std::move(item));
  }
  throw_if_error_set();
  return builder;
}

// The choices copied into an owned, length-ordered ChoiceSet.
ChoiceSet to_choice_set(PyObject* obj) {
  std::vector<Ref> held;
  return choice_views(obj, held, true).build();
}

std::optional<std::string> to_optional_string(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_string(obj);
}

std::vector<std::optional<std::string>> to_queries(PyObject* obj) { return to_vector(obj, to_optional_string); }

}  // namespace

PyObject* search_top_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchTop.bind(args, kwargs);
    std::string query = arg("query", bound[0], to_string);
    const bool skip_none = bound[6] ? arg("skip_none", bound[6], to_bool) : true;
    // One query reads the choices in place, in input order: no copy, no sort.
    std::vector<Ref> held;
    ChoiceSet choices =
        arg("choices", bound[1], [&](PyObject* o) { return choice_views(o, held, skip_none).build_views(); });
    uint64_t limit = bound[2] ? arg("limit", bound[2], to_count) : 5;
    double cutoff = bound[3] ? arg("score_cutoff", bound[3], to_real) : 0.0;
    uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    bool keep_ties = bound[5] ? arg("keep_ties", bound[5], to_bool) : false;
    if (limit == 0) limit = kNoLimit;
    std::vector<SearchHit> hits = without_gil(
        [&] { return with_thread_budget(threads, [&] { return search_top(query, choices, cutoff, limit, keep_ties); }); });
    return to_py_list(hits, [](const SearchHit& h) { return to_py_tuple(to_py(h.index), to_py(h.score)); }).release();
  });
}

PyObject* search_pairs_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchPairs.bind(args, kwargs);
    auto queries = arg("queries", bound[0], to_queries);
    ChoiceSet choices = arg("choices", bound[1], [](PyObject* o) { return to_choice_set(o); });
    double cutoff = arg("score_cutoff", bound[2], to_real);
    uint64_t limit = bound[3] ? arg("limit", bound[3], to_count) : 0;
    uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    if (limit == 0) limit = kNoLimit;
    std::vector<SearchPair> pairs = without_gil(
        [&] { return with_thread_budget(threads, [&] { return search_pairs(queries, choices, cutoff, limit); }); });
    return to_py_list(pairs, [](const SearchPair& p) {
             return to_py_tuple(to_py(p.query), to_py(p.choice), to_py(p.score));
           }).release();
  });
}

PyObject* search_dense_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchDense.bind(args, kwargs);
    auto queries = arg("queries", bound[0], to_queries);
    ChoiceSet choices = arg("choices", bound[1], [](PyObject* o) { return to_choice_set(o); });
    double cutoff = bound[2] ? arg("score_cutoff", bound[2], to_real) : 0.0;
    std::string dtype = bound[3] ? arg("dtype", bound[3], to_string) : std::string("float64");
    uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    if (dtype != "float64" && dtype != "float32") throw_error(PyExc_ValueError, "dtype must be 'float64' or 'float32'");
    const std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(queries.size()),
                                        static_cast<Py_ssize_t>(choices.input_size())};
    if (dtype == "float32") {
      std::vector<float> values = without_gil([&] {
        return with_thread_budget(threads, [&] {
          std::vector<double> dense = search_dense(queries, choices, cutoff);
          return std::vector<float>(dense.begin(), dense.end());
        });
      });
      return checked(make_float_array_f32(module, std::move(values), shape)).release();
    }
    std::vector<double> values =
        without_gil([&] { return with_thread_budget(threads, [&] { return search_dense(queries, choices, cutoff); }); });
    return checked(make_float_array(module, std::move(values), shape)).release();
  });
}

}  // namespace simsieve::py
