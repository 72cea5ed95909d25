#include "python/convert.hpp"

#include "python/column_import.hpp"

namespace simsieve::py {
namespace {

bool is_str(PyObject* obj) { return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0; }

// "'T' object is not an instance of 'EXPECTED'" with T the name of obj's type.
[[noreturn]] void not_an_instance(PyObject* obj, const char* expected) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) throw PythonError{};
  throw_type_error(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name.get(), expected));
}

// collections.abc.Sequence, imported the first time a non-sequence needs the registry check.
bool registered_sequence(PyObject* obj) {
  static PyObject* sequence_abc = nullptr;  // kept for the life of the process
  if (!sequence_abc) {
    Ref module(PyImport_ImportModule("collections.abc"));
    if (!module) throw PythonError{};
    sequence_abc = PyObject_GetAttrString(module.get(), "Sequence");
    if (!sequence_abc) throw PythonError{};
  }
  int r = PyObject_IsInstance(obj, sequence_abc);
  if (r < 0) throw PythonError{};
  return r == 1;
}

uint64_t long_to_u64(PyObject* value) {
  unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return static_cast<uint64_t>(v);
}

[[noreturn]] void not_a_str(PyObject* obj) {
  if (obj == Py_None) throw_type_error(PyUnicode_FromString("'None' is not an instance of 'str'"));
  not_an_instance(obj, "str");
}

}  // namespace

std::string_view to_utf8_view(PyObject* obj) {
  if (!is_str(obj)) not_a_str(obj);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) throw PythonError{};
  return {data, static_cast<size_t>(size)};
}

std::string to_string(PyObject* obj) {
  if (!is_str(obj)) not_a_str(obj);
  Ref bytes(PyUnicode_AsUTF8String(obj));
  if (!bytes) throw PythonError{};
  const char* data = PyBytes_AsString(bytes.get());
  Py_ssize_t size = PyBytes_Size(bytes.get());
  if (!data || size < 0) throw PythonError{};
  return std::string(data, static_cast<size_t>(size));
}

std::pair<PyObject*, PyObject*> pair_items(PyObject* obj) {
  if (!PyTuple_Check(obj)) not_an_instance(obj, "tuple");
  Py_ssize_t n = PyTuple_Size(obj);
  if (n != 2) {
    Ref msg(PyUnicode_FromFormat("expected tuple of length 2, but got tuple of length %zd", n));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    throw PythonError{};
  }
  return {PyTuple_GetItem(obj, 0), PyTuple_GetItem(obj, 1)};
}

std::pair<std::string, std::string> to_string_pair(PyObject* obj) {
  const auto [first, second] = pair_items(obj);
  std::string a = to_string(first);
  std::string b = to_string(second);
  return {std::move(a), std::move(b)};
}

ViewPair to_view_pair(PyObject* obj) {
  const auto [first, second] = pair_items(obj);
  const std::string_view a = to_utf8_view(first);
  const std::string_view b = to_utf8_view(second);
  return {Ref::borrow(obj), {a, b}};
}

void fetch_pair_items(PyObject* obj) noexcept {
  if (!PyTuple_CheckExact(obj) || PyTuple_Size(obj) != 2) return;
  fetch_str(PyTuple_GetItem(obj, 0));
  fetch_str(PyTuple_GetItem(obj, 1));
}

uint64_t to_count(PyObject* obj) {
  if (PyLong_Check(obj)) return long_to_u64(obj);
  Ref index(PyNumber_Index(obj));
  if (!index) throw PythonError{};
  return long_to_u64(index.get());
}

double to_real(PyObject* obj) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  return v;
}

namespace detail {

Ref sequence_iterator(PyObject* obj, Py_ssize_t* size_hint) {
  if (is_str(obj)) throw_type_error(PyUnicode_FromString("Can't extract `str` to `Vec`"));
  if (!PySequence_Check(obj) && !registered_sequence(obj)) not_an_instance(obj, "Sequence");
  *size_hint = PyObject_Size(obj);
  if (*size_hint < 0) PyErr_Clear();
  Ref iter(PyObject_GetIter(obj));
  if (!iter) throw PythonError{};
  return iter;
}

}  // namespace detail
Strings::Strings(std::vector<std::string> owned) : owned_(std::move(owned)), view_(columns::StringColumn::of(owned_)) {}

Strings::Strings(columns::ImportedColumn imported) : imported_(std::move(imported)), view_(imported_->strings()) {}

Strings::Strings(Strings&& other) noexcept
    : owned_(std::move(other.owned_)), imported_(std::move(other.imported_)), view_(std::move(other.view_)) {
  // The moved vector keeps its buffer, so a view over owned strings stays valid.
}

Strings& Strings::operator=(Strings&& other) noexcept {
  release_column(imported_);
  owned_ = std::move(other.owned_);
  imported_ = std::move(other.imported_);
  view_ = std::move(other.view_);
  return *this;
}

Strings::~Strings() { release_column(imported_); }

std::vector<std::string> Strings::take_owned() {
  if (!imported_) {
    view_ = columns::StringColumn();
    return std::move(owned_);
  }
  std::vector<std::string> copy;
  copy.reserve(view_.size());
  view_.for_each([&](size_t, std::string_view s) { copy.emplace_back(s); });
  return copy;
}

std::vector<std::string_view> Strings::views() const {
  std::vector<std::string_view> out;
  out.reserve(view_.size());
  view_.for_each([&](size_t, std::string_view s) { out.push_back(s); });
  return out;
}

Strings to_strings(const char* name, PyObject* obj) {
  if (auto column = import_column_if_exported(name, obj, false)) return Strings(std::move(*column));
  return Strings(arg(name, obj, [](PyObject* o) { return to_vector(o, to_string); }));
}

}  // namespace simsieve::py
