// ratio(a, b) and ratio_many(pairs, threads=0).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gestalt/batch.hpp"
#include "gestalt/gestalt.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"

namespace simsieve::py {

const char ratio_doc[] =
    "ratio(a, b)\n--\n\n"
    "Fast exact equivalent of `difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()`.\n\n"
    "Both inputs are read in place as UTF-8, and the interpreter lock is released for the computation "
    "(except for very short inputs, where that would cost more than the ratio), so calls from many "
    "Python threads run in parallel on separate cores. This backs "
    "the scalar form of the package's public `ratio`; a batch goes to `ratio_many`.";

const char ratio_many_doc[] =
    "ratio_many(pairs, threads=0)\n--\n\n"
    "Return one exact ratio per `(a, b)` pair, computed across cores inside the module with the "
    "interpreter lock released.\n\n"
    "This backs the list form of the package's public `ratio` without any Python thread pool. "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

namespace {
constexpr Signature<2> kRatio{"ratio()", {"a", "b"}, 2};
constexpr Signature<2> kRatioMany{"ratio_many()", {"pairs", "threads"}, 1};
// Inputs shorter than this (UTF-8 bytes of both strings) are compared with the lock held.
constexpr size_t kReleaseLockBytes = 128;
}  // namespace

PyObject* ratio_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    const auto bound = kRatio.bind(args, nargs, kwnames);
    // Views into the argument strings, which the caller keeps alive for the whole call.
    const std::string_view a = arg("a", bound[0], to_utf8_view);
    const std::string_view b = arg("b", bound[1], to_utf8_view);
    // Releasing and retaking the lock costs more than the ratio of two short strings.
    const double r = a.size() + b.size() < kReleaseLockBytes ? gestalt_ratio(a, b)
                                                             : without_gil([&] { return gestalt_ratio(a, b); });
    return to_py(r).release();
  });
}

PyObject* ratio_many_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    const auto bound = kRatioMany.bind(args, nargs, kwnames);
    // The tuples are held until the end of the call: they keep the viewed strings alive even if
    // another thread empties the list while the lock is released.
    const std::vector<ViewPair> held = arg("pairs", bound[0], [](PyObject* o) { return to_vector(o, to_view_pair, fetch_pair_items); });
    const uint64_t threads = bound[1] ? arg("threads", bound[1], to_count) : 0;
    std::vector<std::pair<std::string_view, std::string_view>> pairs;
    pairs.reserve(held.size());
    for (const ViewPair& p : held) pairs.push_back(p.texts);
    std::vector<double> ratios = without_gil([&] { return ratio_batch(pairs, threads); });
    return to_py_list(ratios).release();
  });
}

}  // namespace simsieve::py
