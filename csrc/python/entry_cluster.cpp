// cluster_canonicals(canonicals, threshold, threads=0).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cluster/cluster_exact.hpp"
#include "gestalt/codepoints.hpp"
#include "pool/thread_budget.hpp"
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

namespace {
constexpr Signature<3> kClusterCanonicals{"cluster_canonicals()", {"canonicals", "threshold", "threads"}, 2};
constexpr Signature<4> kClusterCanonicalsProgress{
    "_cluster_canonicals_progress()", {"canonicals", "threshold", "threads", "progress"}, 4};

// bound: canonicals, threshold, threads (nullptr: 0); progress may be null.
PyObject* cluster_canonicals_call(PyObject* const* bound, PyObject* progress) {
  auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
  double threshold = arg("threshold", bound[1], to_real);
  uint64_t threads = bound[2] ? arg("threads", bound[2], to_count) : 0;
  std::optional<ProgressReport> report;
  if (progress) report.emplace(progress);
  std::vector<Cluster> clusters = without_gil(
      [&] {
        return with_thread_budget(threads, [&] {
          std::vector<std::vector<uint32_t>> code_points;
          code_points.reserve(texts.size());
          for (const std::string& t : texts) code_points.push_back(decode_utf8(t));
          texts = {};
          std::vector<CodepointView> views = codepoint_views(code_points);
          return cluster_exact(views, threshold);
        });
      },
      report ? &*report : nullptr);
  return clusters_to_py(clusters).release();
}

}  // namespace

PyObject* cluster_canonicals_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicals.bind(args, kwargs);
    return cluster_canonicals_call(bound.data(), nullptr);
  });
}

PyObject* cluster_canonicals_progress_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsProgress.bind(args, kwargs);
    return cluster_canonicals_call(bound.data(), bound[3] == Py_None ? nullptr : bound[3]);
  });
}

}  // namespace simsieve::py
