// search_top, search_pairs and search_dense: the native side of the package's extract,
// extract_one, match and cdist (src/simsieve/_search.py), which build the final Python results.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/background.hpp"
#include "pool/thread_budget.hpp"
#include "columns/result_tables.hpp"
#include "python/arrow_table.hpp"
#include "python/build.hpp"
#include "python/column_import.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/float_array.hpp"
#include "python/frame.hpp"
#include "search/search.hpp"

namespace simsieve::py {

const char search_top_doc[] =
    "search_top(query, choices, limit=5, score_cutoff=0.0, threads=0, keep_ties=False, skip_none=True, "
    "with_choice=False)\n--\n\n"
    "Return the `limit` best choices for `query` as `(index, score)` tuples (with `with_choice`, "
    "`(choice, score, index)` tuples), best first, ties by "
    "ascending index; only scores at or above `score_cutoff` count. The score is the exact "
    "`difflib.SequenceMatcher(None, choice, query, autojunk=False).ratio()`: the choice is the "
    "first sequence, the query the second (it is indexed once). `None` choices are skipped; "
    "`index` is the input position. `limit=0` means no limit; with `keep_ties` every choice that "
    "ties with the limit-th best score is returned too; with `skip_none=False` a `None` choice is a "
    "TypeError like any other non-str. `choices` may also be an Arrow string column (any object "
    "with `__arrow_c_stream__` or `__arrow_c_array__`), read in place: a null is skipped like "
    "`None` (a ValueError with `skip_none=False`). The interpreter lock is released; "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

const char search_pairs_doc[] =
    "search_pairs(queries, choices, score_cutoff, limit=0, threads=0, as_arrow=False)\n--\n\n"
    "Return every `(query index, choice index, score)` with score at or above `score_cutoff`, at "
    "most the `limit` best per query (`limit=0`: all), ordered by query index, then score "
    "descending, then choice index; with `as_arrow` an `ArrowTable` of the columns `query`, "
    "`choice` and `score` instead. Scores and direction as in `search_top`; `None` queries and "
    "choices are skipped. Either argument may be an Arrow string column, read in place: null "
    "choices are skipped, a null query is a ValueError. The interpreter lock is released; "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

const char search_dense_doc[] =
    "search_dense(queries, choices, score_cutoff=0.0, dtype=\"float64\", threads=0)\n--\n\n"
    "Return the len(queries) x len(choices) matrix of scores as a read-only `FloatArray` "
    "(\"float64\" or \"float32\"); scores below `score_cutoff`, and rows or columns of `None` "
    "entries, are 0. Scores and direction as in `search_top`; Arrow string columns as in "
    "`search_pairs`. The interpreter lock is released; "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

namespace {

constexpr Signature<8> kSearchTop{
    "search_top()",
    {"query", "choices", "limit", "score_cutoff", "threads", "keep_ties", "skip_none", "with_choice"},
    2};
constexpr Signature<6> kSearchPairs{
    "search_pairs()", {"queries", "choices", "score_cutoff", "limit", "threads", "as_arrow"}, 3};
constexpr Signature<5> kSearchDense{"search_dense()", {"queries", "choices", "score_cutoff", "dtype", "threads"}, 2};

bool to_bool(PyObject* obj) {
  int r = PyObject_IsTrue(obj);
  if (r < 0) throw PythonError{};
  return r == 1;
}

// The elements of a Python sequence, each kept alive: a tuple by itself, any other sequence by
// one reference per element (so that no other thread can drop one while the lock is released).
class HeldItems {
 public:
  HeldItems() = default;
  HeldItems(const HeldItems&) = delete;
  HeldItems& operator=(const HeldItems&) = delete;
  // The references are dropped fetching ahead: the elements are scattered through memory and
  // are no longer in the cache by the time they are let go.
  ~HeldItems() {
    constexpr size_t kFetchAhead = 16;
    for (size_t i = 0; i < held_.size(); ++i) {
      if (i + kFetchAhead < held_.size()) __builtin_prefetch(held_[i + kFetchAhead].get(), 1);
      Ref dropped(held_[i].release());
    }
  }

  // Calls item(element) for every element of `obj`, in order, and keeps them. item() must not
  // run Python code (it reads strings): a list or tuple then cannot change during the walk, so
  // each element is looked up once, kFetchAhead places ahead, and its head fetched right away.
  template <class F>
  void take(PyObject* obj, F&& item) {
    const bool tuple = PyTuple_CheckExact(obj);
    if (tuple || PyList_CheckExact(obj)) {
      if (tuple) {
        tuple_ = Ref::borrow(obj);
      }
      const Py_ssize_t n = tuple ? PyTuple_Size(obj) : PyList_Size(obj);
      auto at = [&](Py_ssize_t i) { return tuple ? PyTuple_GetItem(obj, i) : PyList_GetItem(obj, i); };
      constexpr Py_ssize_t kFetchAhead = 16;
      std::array<PyObject*, kFetchAhead> ahead{};
      for (Py_ssize_t i = 0; i < n && i < kFetchAhead; ++i) fetch_str(ahead[static_cast<size_t>(i)] = at(i));
      if (!tuple) held_.reserve(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject*& slot = ahead[static_cast<size_t>(i % kFetchAhead)];
        PyObject* const element = slot;
        if (i + kFetchAhead < n) fetch_str(slot = at(i + kFetchAhead));
        item(element);
        if (!tuple) held_.push_back(Ref::borrow(element));
      }
      return;
    }
    Py_ssize_t hint = -1;
    Ref iter = detail::sequence_iterator(obj, &hint);
    if (hint > 0) held_.reserve(static_cast<size_t>(hint));
    while (Ref element{PyIter_Next(iter.get())}) {
      item(element.get());
      held_.push_back(std::move(element));
    }
    throw_if_error_set();
  }
  // The element at position i (borrowed).
  PyObject* at(size_t i) const {
    return tuple_ ? PyTuple_GetItem(tuple_.get(), static_cast<Py_ssize_t>(i)) : held_[i].get();
  }

 private:
  Ref tuple_;
  std::vector<Ref> held_;
};

// A choice's UTF-8 text and its length in code points (a TypeError for anything but a str).
std::pair<std::string_view, uint32_t> choice_text(PyObject* item) {
  const std::string_view text = to_utf8_view(item);
  const Py_ssize_t length = PyUnicode_GetLength(item);
  if (length < 0) throw PythonError{};
  if (length > static_cast<Py_ssize_t>(UINT32_MAX)) throw_error(PyExc_OverflowError, "string too long");
  return {text, static_cast<uint32_t>(length)};
}

// The choices of a search, read in place: the str items of a Python sequence, each referenced
// here (so their UTF-8 buffers stay valid and unchanged, with or without the interpreter lock;
// str is immutable), or an Arrow string column, imported and owned here. `None` items and nulls
// are absent entries (with skip_none false, a None is the TypeError of any other non-str and a
// null the ValueError naming its position).
class ChoiceSource {
 public:
  ChoiceSource(PyObject* obj, bool skip_none) {
    const auto nulls = skip_none ? columns::Nulls::Allow : columns::Nulls::Reject;
    if (auto column = import_column_if_exported("choices", obj, false, nulls)) {
      column_.emplace(std::move(*column));
      return;
    }
    arg("choices", obj, [&](PyObject* o) {
      held_.take(o, [&](PyObject* item) { add_item(item, skip_none); });
      return 0;
    });
  }

  // The choices as views in input order, or copied and ordered by length (`sorted`). Reads a
  // column's offsets and bytes, so call it with the interpreter lock released.
  ChoiceSet build(bool sorted) {
    if (column_) builder_.add_column(column_->column());
    return sorted ? builder_.build() : builder_.build_views();
  }

  // The choice at input position i as a str (the item itself for a Python sequence).
  Ref item(uint64_t i) const {
    if (!column_) return Ref::borrow(held_.at(static_cast<size_t>(i)));
    const std::string_view text = column_->column()[static_cast<size_t>(i)];
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  }

 private:
  void add_item(PyObject* item, bool skip_none) {
    if (item == Py_None && skip_none) {
      builder_.skip();
      return;
    }
    const auto [text, length] = choice_text(item);
    builder_.add(text, length);
  }

  HeldItems held_;
  std::optional<Strings> column_;
  ChoiceSetBuilder builder_;
};

// The queries of a many-to-many search as UTF-8 views: the str items of a Python sequence (None:
// an absent query), referenced here, or an Arrow string column without nulls, imported here.
class QuerySource {
 public:
  explicit QuerySource(PyObject* obj) : column_(from_column(obj)) {
    if (column_) return;
    arg("queries", obj, [&](PyObject* o) {
      held_.take(o, [&](PyObject* item) {
        if (item == Py_None)
          views_.emplace_back();
        else
          views_.emplace_back(to_utf8_view(item));
      });
      return 0;
    });
  }

  // The views, one per query. Reads a column's offsets, so call it with the lock released.
  QueryViews views() {
    if (column_ && views_.size() != column_->size()) {
      views_.reserve(column_->size());
      column_->column().for_each([&](size_t, std::string_view text) { views_.emplace_back(text); });
    }
    return views_;
  }
  size_t size() const { return column_ ? column_->size() : views_.size(); }

 private:
  static std::optional<Strings> from_column(PyObject* obj) {
    if (auto column = import_column_if_exported("queries", obj, false)) return Strings(std::move(*column));
    return std::nullopt;
  }

  std::optional<Strings> column_;
  HeldItems held_;
  std::vector<std::optional<std::string_view>> views_;
};

// The options of search_top after its choices.
struct TopOptions {
  uint64_t limit;
  double cutoff;
  uint64_t threads;
  bool keep_ties;
  bool with_choice;
};

// The hits of search_top as Python: (index, score) tuples, or (choice, score, index) ones.
template <class Item>
PyObject* top_hits_to_py(const std::vector<SearchHit>& hits, bool with_choice, Item&& item) {
  if (with_choice) {
    return to_py_list(hits, [&](const SearchHit& h) {
             return to_py_tuple(item(h.index), to_py(h.score), to_py(h.index));
           }).release();
  }
  return to_py_list(hits, [](const SearchHit& h) { return to_py_tuple(to_py(h.index), to_py(h.score)); }).release();
}

// One query against a long list or tuple: the choices are converted here, under the lock,
// while the pool already scans the converted ones. The scan hides behind the conversion, and
// reads each text just after the conversion brought it into the cache.
constexpr Py_ssize_t kConvertWhileScanning = 8192;
constexpr size_t kPublishEvery = 256;

std::vector<SearchHit> search_top_converting(PyObject* choices, bool skip_none, HeldItems& held,
                                             const std::string& query, double cutoff, uint64_t limit,
                                             bool keep_ties, uint64_t threads) {
  ChoiceFeed feed(static_cast<size_t>(PyObject_Size(choices)));
  auto scan = [&] {
    return with_thread_budget(threads, [&] { return search_top_fed(query, feed, cutoff, limit, keep_ties); });
  };
  Background<decltype(scan)> job(scan);
  // A failed conversion stops the scan before the job is waited for.
  struct AbortUnlessClosed {
    ChoiceFeed& feed;
    bool closed = false;
    ~AbortUnlessClosed() {
      if (!closed) feed.abort();
    }
  } guard{feed};
  arg("choices", choices, [&](PyObject* o) {
    size_t added = 0;
    held.take(o, [&](PyObject* item) {
      if (item == Py_None && skip_none) {
        feed.skip();
        return;
      }
      const auto [text, length] = choice_text(item);
      feed.add(text, length);
      if (++added % kPublishEvery == 0) feed.publish();
    });
    return 0;
  });
  feed.close();
  guard.closed = true;
  return without_gil([&] { return job.wait(current_cancel_token(), [&] { feed.abort(); }); });
}

}  // namespace

PyObject* search_top_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchTop.bind(args, kwargs);
    std::string query = arg("query", bound[0], to_string);
    const bool skip_none = bound[6] ? arg("skip_none", bound[6], to_bool) : true;
    // The options after `choices`, read after the choices (as the short path does) or, on the
    // long path, before them, since its scan starts while the choices are still being read.
    auto options = [&] {
      TopOptions o;
      o.limit = bound[2] ? arg("limit", bound[2], to_count) : 5;
      o.cutoff = bound[3] ? arg("score_cutoff", bound[3], to_real) : 0.0;
      o.threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
      o.keep_ties = bound[5] ? arg("keep_ties", bound[5], to_bool) : false;
      o.with_choice = bound[7] ? arg("with_choice", bound[7], to_bool) : false;
      if (o.limit == 0) o.limit = kNoLimit;
      return o;
    };
    PyObject* const choices = bound[1];
    if ((PyList_CheckExact(choices) || PyTuple_CheckExact(choices)) && PyObject_Size(choices) >= kConvertWhileScanning) {
      const TopOptions o = options();
      HeldItems held;
      const std::vector<SearchHit> hits =
          search_top_converting(choices, skip_none, held, query, o.cutoff, o.limit, o.keep_ties, o.threads);
      return top_hits_to_py(hits, o.with_choice, [&](uint64_t i) { return Ref::borrow(held.at(static_cast<size_t>(i))); });
    }
    ChoiceSource source(choices, skip_none);
    const TopOptions o = options();
    // One query reads the choices in place, in input order: no copy, no sort.
    std::vector<SearchHit> hits = without_gil([&] {
      ChoiceSet set = source.build(false);
      return with_thread_budget(o.threads, [&] { return search_top(query, set, o.cutoff, o.limit, o.keep_ties); });
    });
    return top_hits_to_py(hits, o.with_choice, [&](uint64_t i) { return source.item(i); });
  });
}

PyObject* search_pairs_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchPairs.bind(args, kwargs);
    QuerySource queries(bound[0]);
    ChoiceSource choices(bound[1], true);
    double cutoff = arg("score_cutoff", bound[2], to_real);
    uint64_t limit = bound[3] ? arg("limit", bound[3], to_count) : 0;
    uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    bool as_arrow = bound[5] ? arg("as_arrow", bound[5], to_bool) : false;
    if (limit == 0) limit = kNoLimit;
    if (as_arrow) {
      return make_arrow_table(without_gil([&] {
               ChoiceSet set = choices.build(true);
               return columns::search_pairs_table(
                   with_thread_budget(threads, [&] { return search_pairs(queries.views(), set, cutoff, limit); }));
             }))
          .release();
    }
    std::vector<SearchPair> pairs = without_gil([&] {
      ChoiceSet set = choices.build(true);
      return with_thread_budget(threads, [&] { return search_pairs(queries.views(), set, cutoff, limit); });
    });
    return to_py_list(pairs, [](const SearchPair& p) {
             return to_py_tuple(to_py(p.query), to_py(p.choice), to_py(p.score));
           }).release();
  });
}

PyObject* search_dense_entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSearchDense.bind(args, kwargs);
    QuerySource queries(bound[0]);
    ChoiceSource choices(bound[1], true);
    double cutoff = bound[2] ? arg("score_cutoff", bound[2], to_real) : 0.0;
    std::string dtype = bound[3] ? arg("dtype", bound[3], to_string) : std::string("float64");
    uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    if (dtype != "float64" && dtype != "float32") throw_error(PyExc_ValueError, "dtype must be 'float64' or 'float32'");
    auto dense = [&] {
      ChoiceSet set = choices.build(true);
      std::vector<double> values =
          with_thread_budget(threads, [&] { return search_dense(queries.views(), set, cutoff); });
      return std::pair{std::move(values), static_cast<Py_ssize_t>(set.input_size())};
    };
    if (dtype == "float32") {
      auto [values, cols] = without_gil([&] {
        auto [wide, n] = dense();
        return std::pair{std::vector<float>(wide.begin(), wide.end()), n};
      });
      const std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(queries.size()), cols};
      return checked(make_float_array_f32(module, std::move(values), shape)).release();
    }
    auto [values, cols] = without_gil(dense);
    const std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(queries.size()), cols};
    return checked(make_float_array(module, std::move(values), shape)).release();
  });
}

}  // namespace simsieve::py
