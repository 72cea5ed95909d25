// ratio(a, b) and ratio_many(pairs, threads=0).
#include <string>
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
    "The interpreter lock is released for the computation after both inputs have been copied into "
    "owned strings, so calls from many Python threads run in parallel on separate cores. This backs "
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
}  // namespace

PyObject* ratio_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRatio.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    double r = without_gil([&] { return gestalt_ratio(a, b); });
    return to_py(r).release();
  });
}

PyObject* ratio_many_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRatioMany.bind(args, kwargs);
    auto pairs = arg("pairs", bound[0], [](PyObject* o) { return to_vector(o, to_string_pair); });
    uint64_t threads = bound[1] ? arg("threads", bound[1], to_count) : 0;
    std::vector<double> ratios = without_gil([&] { return ratio_batch(pairs, threads); });
    return to_py_list(ratios).release();
  });
}

}  // namespace simsieve::py
