// Test hooks for the cosine join: the direct rank-order search (every row probing the full
// rank-order index), to be compared with the result of cosine_join, and the corpus itself.
#include <vector>

#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/cosine_binding.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<3> kDirect{"cosine_join_direct()", {"docs", "threshold", "threads"}, 2};
constexpr Signature<1> kCorpus{"tfidf_corpus()", {"docs"}, 1};

PyObject* cosine_join_direct_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kDirect.bind(args, kwargs);
    auto docs = to_token_documents("docs", bound[0]);
    const double t = arg("threshold", bound[1], to_real);
    const uint64_t threads = bound[2] ? arg("threads", bound[2], to_count) : 0;
    std::vector<JoinPair> pairs = without_gil(
        [&] { return with_thread_budget(threads, [&] { return join_corpus_direct(build_tfidf_corpus(docs), t); }); });
    return join_pairs_to_py(pairs).release();
  });
}

// (row_offsets, feature_ranks, weights, max_weight, n_docs, n_features)
PyObject* tfidf_corpus_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCorpus.bind(args, kwargs);
    auto docs = to_token_documents("docs", bound[0]);
    const TfIdfCorpus c = without_gil([&] { return build_tfidf_corpus(docs); });
    return to_py_tuple(to_py_list(c.row_offsets), to_py_list(c.feature_ranks), to_py_list(c.weights),
                       to_py_list(c.max_weight), to_py(c.n_docs), to_py(c.n_features))
        .release();
  });
}

PyMethodDef functions[] = {
    SIMSIEVE_TEST_ENTRY("cosine_join_direct", cosine_join_direct_hook),
    SIMSIEVE_TEST_ENTRY("tfidf_corpus", tfidf_corpus_hook),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_cosine_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace simsieve::py::testing
