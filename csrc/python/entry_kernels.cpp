// The batch kernels of distributed clustering and joining: band hashes of a batch, verification of
// a batch of pairs, the minimum ratio of a block of a cluster's members, and the cosine join of
// two blocks of rows. Each takes plain Python lists and returns plain values, so that any engine
// (the simsieve.dask package, a Spark mapInArrow function, a Ray task) can call it on its batches.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cluster/batch_kernels.hpp"
#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/cosine_binding.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "simjoin/join_blocks.hpp"

namespace simsieve::py {

const char lsh_band_hashes_doc[] =
    "lsh_band_hashes(strings, num_perm, band_rows, threads=0)\n--\n\n"
    "The MinHash band hashes of a batch of strings, exactly as `cluster_canonicals_lsh` buckets "
    "them: `bytes` holding `len(strings) * (num_perm // band_rows)` unsigned 64-bit integers in "
    "native byte order, row-major (the bands of the first string, then of the second, ...). No "
    "bands (and empty bytes) when `band_rows` is 0 or exceeds `num_perm`. Two strings are LSH "
    "candidates when they agree on at least one band (same band number, same hash).";

const char verify_pairs_doc[] =
    "verify_pairs(strings, lo, hi, threshold, threads=0)\n--\n\n"
    "Exact verification of a batch of pairs, as `cluster_canonicals_lsh` verifies its candidates: "
    "pair k compares `strings[lo[k]]` (the string with the lower input position) against "
    "`strings[hi[k]]`. Returns one item per pair: its ratio when it reaches `threshold`, else None. "
    "Two empty strings reach every threshold with ratio 1.0.";

const char cluster_block_min_doc[] =
    "cluster_block_min(strings, first, last, rows, cols, upper=1.0, threads=0)\n--\n\n"
    "The minimum pairwise ratio over one block of a cluster's members. `strings` are the cluster's "
    "distinct strings ordered by the input position of their first copy; `first[k]` and `last[k]` "
    "are the positions of the first and last copy of `strings[k]`. The block is every pair (s, t), "
    "s < t, with `rows[0] <= s < rows[1]` and `cols[0] <= t < cols[1]`; such a pair meets as "
    "ratio(strings[s], strings[t]) and also as ratio(strings[t], strings[s]) when `first[t] < "
    "last[s]`. Returns the smaller of `upper` and the exact minimum over these meetings; the "
    "minimum of a whole cluster (as `cluster_canonicals` reports it) is the smallest result over "
    "blocks that cover all its pairs, starting from 1.0.";

const char cosine_join_blocks_doc[] =
    "cosine_join_blocks(probe, indexed, max_weight, threshold, threads=0)\n--\n\n"
    "The cosine join of two blocks of TF-IDF rows, with the pruning and exact dot products of "
    "`cosine_join`. A block is a list of `(doc, ranks, weights)` rows in ascending `doc`, each row's "
    "ranks ascending; `max_weight[r]` is the corpus' largest weight of rank r. With `indexed` None "
    "the block's own pairs are joined; otherwise every `indexed` document precedes every `probe` "
    "document. Returns `(j, i, cos, reach)` tuples, j from `indexed`, i from `probe`, by ascending "
    "i, then reach, then j: sorting the pairs of all blocks by (i, reach, j) gives `cosine_join`'s "
    "order.";

namespace {
constexpr Signature<4> kLshBandHashes{"lsh_band_hashes()", {"strings", "num_perm", "band_rows", "threads"}, 3};
constexpr Signature<5> kVerifyPairs{"verify_pairs()", {"strings", "lo", "hi", "threshold", "threads"}, 4};
constexpr Signature<7> kClusterBlockMin{
    "cluster_block_min()", {"strings", "first", "last", "rows", "cols", "upper", "threads"}, 5};
constexpr Signature<5> kCosineJoinBlocks{
    "cosine_join_blocks()", {"probe", "indexed", "max_weight", "threshold", "threads"}, 4};

std::vector<uint64_t> to_counts(PyObject* obj) { return to_vector(obj, to_count); }

std::vector<uint32_t> to_indexes(const char* name, PyObject* obj, size_t n) {
  std::vector<uint64_t> values = arg(name, obj, to_counts);
  std::vector<uint32_t> out;
  out.reserve(values.size());
  for (uint64_t v : values) {
    if (v >= n) throw_error(PyExc_IndexError, (std::string(name) + " holds an index out of range").c_str());
    out.push_back(static_cast<uint32_t>(v));
  }
  return out;
}

std::pair<uint64_t, uint64_t> to_range(const char* name, PyObject* obj, size_t n) {
  std::vector<uint64_t> ends = arg(name, obj, to_counts);
  if (ends.size() != 2 || ends[0] > ends[1] || ends[1] > n)
    throw_error(PyExc_ValueError, (std::string(name) + " must be a (begin, end) range within the strings").c_str());
  return {ends[0], ends[1]};
}

// Owned columns of a row block.
struct Rows {
  std::vector<uint64_t> docs, offsets{0};
  std::vector<uint32_t> ranks;
  std::vector<double> weights;
  RowBlock view() const { return {docs, offsets, ranks, weights}; }
};

Rows to_rows(const char* name, PyObject* obj, uint64_t n_features) {
  Rows rows;
  Py_ssize_t hint = -1;
  Ref iter = detail::sequence_iterator(obj, &hint);
  while (Ref row{PyIter_Next(iter.get())}) {
    Ref doc{PySequence_GetItem(row.get(), 0)};
    Ref ranks{doc ? PySequence_GetItem(row.get(), 1) : nullptr};
    Ref weights{ranks ? PySequence_GetItem(row.get(), 2) : nullptr};
    if (!weights || PySequence_Size(row.get()) != 3)
      throw_error(PyExc_TypeError, (std::string("argument '") + name + "': rows must be (doc, ranks, weights)").c_str());
    const uint64_t d = arg(name, doc.get(), to_count);
    std::vector<uint64_t> r = arg(name, ranks.get(), to_counts);
    std::vector<double> w = arg(name, weights.get(), [](PyObject* o) { return to_vector(o, to_real); });
    if (r.size() != w.size())
      throw_error(PyExc_ValueError, (std::string(name) + ": a row has different numbers of ranks and weights").c_str());
    if (!rows.docs.empty() && rows.docs.back() >= d)
      throw_error(PyExc_ValueError, (std::string(name) + ": documents must be ascending").c_str());
    for (size_t k = 0; k < r.size(); ++k) {
      if (r[k] >= n_features || (k > 0 && r[k - 1] >= r[k]))
        throw_error(PyExc_ValueError,
                    (std::string(name) + ": row ranks must be ascending and below len(max_weight)").c_str());
      rows.ranks.push_back(static_cast<uint32_t>(r[k]));
      rows.weights.push_back(w[k]);
    }
    rows.docs.push_back(d);
    rows.offsets.push_back(rows.ranks.size());
  }
  throw_if_error_set();
  return rows;
}

}  // namespace

PyObject* lsh_band_hashes_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kLshBandHashes.bind(args, kwargs);
    Strings strings = to_strings("strings", bound[0]);
    const uint64_t num_perm = arg("num_perm", bound[1], to_count);
    const uint64_t band_rows = arg("band_rows", bound[2], to_count);
    const uint64_t threads = bound[3] ? arg("threads", bound[3], to_count) : 0;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(strings.size()), batch_band_count(num_perm, band_rows), &bytes) ||
        __builtin_mul_overflow(bytes, uint64_t{8}, &bytes) || bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX))
      throw_error(PyExc_ValueError, "num_perm is too large for this batch");
    std::vector<uint64_t> hashes = without_gil([&] {
      const std::vector<std::string> texts = strings.take_owned();
      return with_thread_budget(threads, [&] { return batch_band_hashes(texts, num_perm, band_rows); });
    });
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(hashes.data()),
                                             static_cast<Py_ssize_t>(hashes.size() * sizeof(uint64_t))))
        .release();
  });
}

PyObject* verify_pairs_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kVerifyPairs.bind(args, kwargs);
    Strings strings = to_strings("strings", bound[0]);
    auto lo = to_indexes("lo", bound[1], strings.size());
    auto hi = to_indexes("hi", bound[2], strings.size());
    const double threshold = arg("threshold", bound[3], to_real);
    const uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    if (lo.size() != hi.size()) throw_error(PyExc_ValueError, "lo and hi must have the same length");
    std::vector<Reach> verdicts = without_gil([&] {
      const std::vector<std::string> texts = strings.take_owned();
      return with_thread_budget(threads, [&] { return batch_verify_pairs(texts, lo, hi, threshold); });
    });
    return to_py_list(verdicts, [](const Reach& r) { return r.reached ? to_py(r.ratio) : Ref::borrow(Py_None); })
        .release();
  });
}

PyObject* cluster_block_min_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterBlockMin.bind(args, kwargs);
    std::vector<std::string> texts = to_strings("strings", bound[0]).take_owned();
    auto first = arg("first", bound[1], to_counts);
    auto last = arg("last", bound[2], to_counts);
    if (first.size() != texts.size() || last.size() != texts.size())
      throw_error(PyExc_ValueError, "first and last must have one position per string");
    if (texts.size() > UINT32_MAX) throw_error(PyExc_ValueError, "too many strings for one block");
    const auto rows = to_range("rows", bound[3], texts.size());
    const auto cols = to_range("cols", bound[4], texts.size());
    const double upper = bound[5] ? arg("upper", bound[5], to_real) : 1.0;
    const uint64_t threads = bound[6] ? arg("threads", bound[6], to_count) : 0;
    const MemberBlock block{texts, first, last, rows.first, rows.second, cols.first, cols.second};
    const double result =
        without_gil([&] { return with_thread_budget(threads, [&] { return block_min_ratio(block, upper); }); });
    return to_py(result).release();
  });
}

PyObject* cosine_join_blocks_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCosineJoinBlocks.bind(args, kwargs);
    auto max_weight = arg("max_weight", bound[2], [](PyObject* o) { return to_vector(o, to_real); });
    if (max_weight.size() >= UINT32_MAX) throw_error(PyExc_ValueError, "too many features");
    const Rows probe = to_rows("probe", bound[0], max_weight.size());
    const bool same = bound[1] == Py_None;
    const Rows indexed = same ? Rows{} : to_rows("indexed", bound[1], max_weight.size());
    const double threshold = arg("threshold", bound[3], to_real);
    const uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    const RowBlock indexed_view = indexed.view();
    return block_join_result(probe.view(), same ? nullptr : &indexed_view, max_weight, threshold, threads);
  });
}

}  // namespace simsieve::py
