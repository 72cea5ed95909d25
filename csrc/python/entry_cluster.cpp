// cluster_canonicals(canonicals, threshold, threads=0).
#include <cstdint>
#include <string>
#include <vector>

#include "cluster/cluster_exact.hpp"
#include "gestalt/codepoints.hpp"
#include "pool/thread_budget.hpp"
#include "columns/result_tables.hpp"
#include "python/arrow_table.hpp"
#include "python/build.hpp"
#include "python/cluster_result.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"

namespace simsieve::py {

const char cluster_canonicals_doc[] =
    "cluster_canonicals(canonicals, threshold, threads=0)\n--\n\n"
    "Return the single-linkage clusters of `canonicals` at `threshold` as a list of clusters, each "
    "given as its member indices (ascending) with its minimum pairwise ratio.\n\n"
    "The all-pairs comparison runs across cores inside one call with the interpreter lock released. "
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

const char cluster_canonicals_arrow_doc[] =
    "cluster_canonicals_arrow(canonicals, threshold, threads=0)\n--\n\n"
    "Same clustering as `cluster_canonicals`, returned as an Arrow record batch (an `ArrowTable`) "
    "with one row per member: `cluster` (the cluster's position), `member` (the input index) and "
    "`min_ratio` (the cluster's minimum pairwise ratio).";

namespace {
constexpr Signature<3> kClusterCanonicals{"cluster_canonicals()", {"canonicals", "threshold", "threads"}, 2};
constexpr Signature<3> kClusterCanonicalsArrow{
    "cluster_canonicals_arrow()", {"canonicals", "threshold", "threads"}, 2};

std::vector<Cluster> run_cluster_canonicals(const Signature<3>& signature, PyObject* args, PyObject* kwargs) {
  auto bound = signature.bind(args, kwargs);
  Strings texts = to_strings("canonicals", bound[0]);
  double threshold = arg("threshold", bound[1], to_real);
  uint64_t threads = bound[2] ? arg("threads", bound[2], to_count) : 0;
  return without_gil([&] {
    return with_thread_budget(threads, [&] {
      std::vector<std::vector<uint32_t>> code_points;
      code_points.reserve(texts.size());
      texts.column().for_each([&](size_t, std::string_view t) { code_points.push_back(decode_utf8(t)); });
      if (!texts.from_arrow()) texts = Strings(std::vector<std::string>{});  // a column stays its owner's
      std::vector<CodepointView> views = codepoint_views(code_points);
      return cluster_exact(views, threshold);
    });
  });
}

}  // namespace

PyObject* cluster_canonicals_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    return clusters_to_py(run_cluster_canonicals(kClusterCanonicals, args, kwargs)).release();
  });
}

PyObject* cluster_canonicals_arrow_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    std::vector<Cluster> clusters = run_cluster_canonicals(kClusterCanonicalsArrow, args, kwargs);
    return make_arrow_table(without_gil([&] { return columns::clusters_table(clusters); })).release();
  });
}

}  // namespace simsieve::py
