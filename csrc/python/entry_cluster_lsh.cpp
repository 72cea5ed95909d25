// cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads=0).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/lsh_cluster.hpp"
#include "pool/thread_budget.hpp"
#include "columns/result_tables.hpp"
#include "python/arrow_table.hpp"
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

const char cluster_canonicals_lsh_arrow_doc[] =
    "cluster_canonicals_lsh_arrow(canonicals, threshold, num_perm, band_rows, threads=0)\n--\n\n"
    "Same clustering as `cluster_canonicals_lsh`, returned as an Arrow record batch (an "
    "`ArrowTable`) with one row per member: `cluster`, `member` and `min_ratio`.";

namespace {
constexpr Signature<5> kClusterCanonicalsLsh{
    "cluster_canonicals_lsh()", {"canonicals", "threshold", "num_perm", "band_rows", "threads"}, 4};
constexpr Signature<5> kClusterCanonicalsLshArrow{
    "cluster_canonicals_lsh_arrow()", {"canonicals", "threshold", "num_perm", "band_rows", "threads"}, 4};

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

constexpr Signature<7> kClusterCanonicalsLshProgress{
    "_cluster_canonicals_lsh_progress()",
    {"canonicals", "threshold", "num_perm", "band_rows", "threads", "progress", "as_arrow"},
    7};

// bound: canonicals, threshold, num_perm, band_rows, threads (nullptr: 0); progress may be null.
std::vector<Cluster> run_cluster_canonicals_lsh(PyObject* const* bound, PyObject* progress) {
  Strings canonicals = to_strings("canonicals", bound[0]);
  double threshold = arg("threshold", bound[1], to_real);
  uint64_t num_perm = arg("num_perm", bound[2], to_count);
  uint64_t band_rows = arg("band_rows", bound[3], to_count);
  uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
  check_table_size(canonicals.size(), num_perm, band_rows);
  std::optional<ProgressReport> report;
  if (progress) report.emplace(progress);
  return without_gil(
      [&] {
        // Read in place: the column's own buffers, or the strings converted from a sequence.
        const std::vector<std::string_view> texts = canonicals.views();
        return with_thread_budget(threads, [&] {
          return cluster_lsh(std::span<const std::string_view>(texts), threshold, num_perm, band_rows);
        });
      },
      report ? &*report : nullptr);
}

}  // namespace

PyObject* cluster_canonicals_lsh_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsLsh.bind(args, kwargs);
    return clusters_to_py(run_cluster_canonicals_lsh(bound.data(), nullptr)).release();
  });
}

PyObject* cluster_canonicals_lsh_arrow_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsLshArrow.bind(args, kwargs);
    std::vector<Cluster> clusters = run_cluster_canonicals_lsh(bound.data(), nullptr);
    return make_arrow_table(without_gil([&] { return columns::clusters_table(clusters); })).release();
  });
}

PyObject* cluster_canonicals_lsh_progress_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicalsLshProgress.bind(args, kwargs);
    std::vector<Cluster> clusters =
        run_cluster_canonicals_lsh(bound.data(), bound[5] == Py_None ? nullptr : bound[5]);
    if (PyObject_IsTrue(bound[6]) != 1) return clusters_to_py(clusters).release();
    return make_arrow_table(without_gil([&] { return columns::clusters_table(clusters); })).release();
  });
}

}  // namespace simsieve::py
