// cosine_join(docs, threshold, concurrency="cpu", threads=0): corpus build and join in one call.
#include <string>
#include <vector>

#include "columns/result_tables.hpp"
#include "python/arrow_table.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/cosine_binding.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve::py {

const char cosine_join_doc[] =
    "cosine_join(docs, threshold, concurrency=\"cpu\", threads=0)\n--\n\n"
    "Exact all-pairs weighted-cosine similarity join over token documents.\n\n"
    "Each document is a list of string tokens (for example a function's canonical lines). The "
    "documents are turned into TF-IDF sparse vectors, and every pair whose cosine is at or above "
    "`threshold` is returned as `(j, i, cos)` with `j < i`.\n\n"
    "`concurrency`: \"cpu\" is exact 64-bit everywhere; \"gpu+cpu\" is an exact GPU-accelerated "
    "hybrid, byte-identical to \"cpu\"; \"gpu\" computes the dot products on the GPU in 32-bit "
    "floats and differs from the exact result only on pairs within about 1e-6 of the threshold. "
    "Builds without the GPU feature, or hosts without a Metal device, quietly fall back to CPU.\n\n"
    "The interpreter lock is released for the whole build and join. For repeated joins on one "
    "corpus, use `CosineJoiner`.";

const char cosine_join_arrow_doc[] =
    "cosine_join_arrow(docs, threshold, concurrency=\"cpu\", threads=0)\n--\n\n"
    "Same join as `cosine_join`, returned as an Arrow record batch (an `ArrowTable`) with columns "
    "`j`, `i` and `cos`.";

namespace {
constexpr Signature<4> kCosineJoin{"cosine_join()", {"docs", "threshold", "concurrency", "threads"}, 2};
constexpr Signature<4> kCosineJoinArrow{"cosine_join_arrow()", {"docs", "threshold", "concurrency", "threads"}, 2};

std::vector<JoinPair> run_cosine_join(const Signature<4>& signature, PyObject* args, PyObject* kwargs) {
    auto bound = signature.bind(args, kwargs);
    std::vector<TokenDocument> docs = to_token_documents("docs", bound[0]);
    const double threshold = arg("threshold", bound[1], to_real);
    const JoinOptions options = join_options(bound[2], bound[3]);
    return without_gil([&] {
      return with_thread_budget(options.threads, [&] {
        std::vector<JoinPair> out;
        {
          const TfIdfCorpus corpus = build_tfidf_corpus(docs);
          std::vector<TokenDocument>().swap(docs);
          out = join_corpus(corpus, threshold);
        }
        return out;
      });
    });
}

}  // namespace

PyObject* cosine_join_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* { return join_pairs_to_py(run_cosine_join(kCosineJoin, args, kwargs)).release(); });
}

PyObject* cosine_join_arrow_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    std::vector<JoinPair> pairs = run_cosine_join(kCosineJoinArrow, args, kwargs);
    return make_arrow_table(without_gil([&] { return columns::join_pairs_table(pairs); })).release();
  });
}

}  // namespace simsieve::py
