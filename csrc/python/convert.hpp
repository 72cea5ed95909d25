// Conversion of Python arguments into owned C++ values, done before the interpreter lock is
// released. Every converter throws PythonError with the Python exception set on failure; `arg`
// adds the "argument 'NAME': " prefix to a TypeError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <optional>
#include <vector>

#include "columns/import.hpp"
#include "columns/string_column.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace simsieve::py {

// A `str` (or subclass) as an owned copy of its UTF-8 encoding. A lone surrogate raises the
// interpreter's UnicodeEncodeError unchanged.
std::string to_string(PyObject* obj);

// The UTF-8 encoding of a `str` (or subclass) without a copy: the view points into the string
// object (its cached UTF-8 form; none is made for an ASCII string) and stays valid, also with the
// interpreter lock released, while the caller holds a reference to obj. Same errors as to_string.
std::string_view to_utf8_view(PyObject* obj);

// The two items of a tuple of length exactly 2 (borrowed).
std::pair<PyObject*, PyObject*> pair_items(PyObject* obj);

// A pair of strings from a tuple of length exactly 2.
std::pair<std::string, std::string> to_string_pair(PyObject* obj);

// The same pair as two UTF-8 views, with a reference to the tuple that keeps both strings alive
// (a tuple never changes its items).
struct ViewPair {
  Ref owner;
  std::pair<std::string_view, std::string_view> texts;
};
ViewPair to_view_pair(PyObject* obj);
// Fetches the head of an object that may be a str: its first 64 bytes, wherever the cache lines
// split them. A str keeps its length, kind and (when compact) first characters there, and an
// object is only 16-byte aligned, so one line often ends before the part that is read.
inline void fetch_str(const PyObject* obj) noexcept {
  __builtin_prefetch(obj);
  __builtin_prefetch(reinterpret_cast<const char*>(obj) + 63);
}
// A peek for for_each_fetched over pairs: fetches the heads of a tuple's two strings.
void fetch_pair_items(PyObject* obj) noexcept;

// An unsigned 64-bit count: an int, or any object with __index__.
uint64_t to_count(PyObject* obj);

// A real number: anything float() accepts through __float__ / __index__.
double to_real(PyObject* obj);

namespace detail {
// Checks that obj is a sequence other than str and returns its iterator; sets *size_hint to its
// length when that can be queried (-1 otherwise).
Ref sequence_iterator(PyObject* obj, Py_ssize_t* size_hint);
}  // namespace detail

// Calls item(element) for every element of an exact list or tuple, in order, holding a reference
// to the element during the call, exactly as iterating it would (a list that item() changes is
// read at its current length). A large list of objects allocated at different times is
// scattered through memory, and reading it is bound by one cache miss per object: the header
// of each element is fetched kFetchAhead elements ahead, and `peek` is given the element
// kFetchAhead / 2 ahead to fetch what it points to (it may only read, never call Python code).
template <class Peek, class F>
void for_each_fetched(PyObject* seq, Peek&& peek, F&& item) {
  constexpr Py_ssize_t kFetchAhead = 16;
  const bool list = PyList_CheckExact(seq);
  auto size = [&] { return list ? PyList_Size(seq) : PyTuple_Size(seq); };
  auto at = [&](Py_ssize_t i) { return list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i); };
  for (Py_ssize_t i = 0; i < size(); ++i) {
    const Py_ssize_t n = size();
    if (i + kFetchAhead < n) __builtin_prefetch(at(i + kFetchAhead));
    if (i + kFetchAhead / 2 < n) peek(at(i + kFetchAhead / 2));
    const Ref element = Ref::borrow(at(i));
    item(element.get());
  }
}

// A peek for for_each_fetched that fetches nothing beyond the element itself.
inline void fetch_nothing(PyObject*) noexcept {}

// A sequence (never a str) as a vector, converting every item with `item`; `peek` as in
// for_each_fetched, for the elements of a list or tuple.
template <class F, class Peek = decltype(&fetch_nothing)>
auto to_vector(PyObject* obj, F&& item, Peek&& peek = fetch_nothing)
    -> std::vector<std::decay_t<decltype(item(obj))>> {
  std::vector<std::decay_t<decltype(item(obj))>> out;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    out.reserve(static_cast<size_t>(PyObject_Size(obj)));
    for_each_fetched(obj, peek, [&](PyObject* element) { out.push_back(item(element)); });
    return out;
  }
  Py_ssize_t hint = -1;
  Ref iter = detail::sequence_iterator(obj, &hint);
  if (hint > 0) out.reserve(static_cast<size_t>(hint));
  while (Ref element{PyIter_Next(iter.get())}) out.push_back(item(element.get()));
  throw_if_error_set();
  return out;
}

// Converts argument `name` with `conv`, prefixing a TypeError with "argument 'name': ".
template <class F>
auto arg(const char* name, PyObject* obj, F&& conv) -> decltype(conv(obj)) {
  try {
    return conv(obj);
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

// A sequence-of-strings argument: either a Python sequence of str, converted exactly as
// to_vector(obj, to_string) with the same messages, or an object exporting an Arrow string
// column, read in place (see column_import.hpp). Both are seen through one StringColumn.
class Strings {
 public:
  explicit Strings(std::vector<std::string> owned);
  explicit Strings(columns::ImportedColumn imported);
  Strings(Strings&&) noexcept;
  Strings& operator=(Strings&&) noexcept;
  ~Strings();

  const columns::StringColumn& column() const noexcept { return view_; }
  size_t size() const noexcept { return view_.size(); }
  bool from_arrow() const noexcept { return imported_.has_value(); }
  // The strings as owned values: the converted ones themselves for a Python sequence, a copy
  // for a column (made by the caller's thread; call it with the lock released).
  std::vector<std::string> take_owned();
  // Views of every string, in order, into the owned strings or the column's buffers (valid while
  // this lives; no lock needed).
  std::vector<std::string_view> views() const;

 private:
  std::vector<std::string> owned_;
  std::optional<columns::ImportedColumn> imported_;
  columns::StringColumn view_;
};

// Converts argument `name` as a sequence of strings (TypeErrors prefixed as by `arg`).
Strings to_strings(const char* name, PyObject* obj);

}  // namespace simsieve::py
