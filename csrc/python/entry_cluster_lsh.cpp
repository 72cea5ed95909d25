// cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cluster/lsh_cluster.hpp"
#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/cluster_result.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"

namespace simsieve::py {

const char cluster_canonicals_lsh_doc[] =
    "cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0)\n--\n\n"
    "Scalable LSH variant of `cluster_canonicals`: canonicals whose MinHash signatures (`num_perm` "
    "permutations over nine-byte shingles) agree on a whole band of `band_rows` rows become "
    "candidate pairs, every candidate pair is compared exactly, and the pairs whose ratio reaches "
    "`threshold` form single-linkage clusters, returned as their member indices (ascending) with "
    "the exact minimum pairwise ratio.\n\n"
    "`threads=0` means all cores and `threads=N` caps this call to N threads.";

namespace {
constexpr Signature<5> kClusterCanonicalsLsh{
    "cluster_canonicals_lsh()", {"canonicals", "threshold", "num_perm", "band_rows", "threads"}, 4};

// Refuses a num_perm whose tables could never be allocated, before anything is.
void check_table_size(uint64_t n, uint64_t num_perm, uint64_t band_rows) {
  const LshTableSize size = lsh_table_size(n, num_perm, band_rows);
  if (size.verdict == LshTableSize::Verdict::fits) return;
  const std::string what = "num_perm=" + std::to_string(num_perm) + " is too large: the MinHash tables for " +
                           std::to_string(n) + " canonicals with band_rows=" + std::to_string(band_rows);
  if (size.verdict == LshTableSize::Verdict::overflows)
    throw_error(PyExc_ValueError, (what + " would need more than 2**64 bytes").c_str());
  throw_error(PyExc_MemoryError, (what + " would need " + std::to_string(size.bytes) + " bytes, more than the " +
                                  std::to_string(size.memory) + " bytes of memory of this machine")
                                     .c_str());
}

}  // namespace

namespace {
constexpr Signature<6> kClusterCanonicalsLshProgress{
    "_cluster_canonicals_lsh_progress()",
    {"canonicals", "threshold", "num_perm", "band_rows", "threads", "progress"},
    6};

// bound: canonicals, threshold, num_perm, band_rows, threads (nullptr: 0); progress may be null.
PyObject* cluster_canonicals_lsh_call(PyObject* const* bound, PyObject* progress) {
  auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
  double threshold = arg("threshold", bound[1], to_real);
  uint64_t num_perm = arg("num_perm", bound[2], to_count);
  uint64_t band_rows = arg("band_rows", bound[3], to_count);
  uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
  check_table_size(texts.size(), num_perm, band_rows);
  std::optional<ProgressReport> report;
  if (progress) report.emplace(progress);
  std::vector<Cluster> clusters = without_gil(
      [&] { return with_thread_budget(threads, [&] { return cluster_lsh(texts, threshold, num_perm, band_rows); }); },
      report ? &*report : nullptr);
  return clusters_to_py(clusters).release();
}

}  // namespace

PyObject* cluster_canonicals_lsh_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsLsh.bind(args, kwargs);
    return cluster_canonicals_lsh_call(bound.data(), nullptr);
  });
}

PyObject* cluster_canonicals_lsh_progress_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsLshProgress.bind(args, kwargs);
    return cluster_canonicals_lsh_call(bound.data(), bound[5] == Py_None ? nullptr : bound[5]);
  });
}

}  // namespace simsieve::py
