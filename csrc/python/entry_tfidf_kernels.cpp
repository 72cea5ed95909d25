// The batch kernels of the distributed cosine join: the three passes that build the TF-IDF rows of
// one partition (token counts, weights, ranks) and the join of two blocks of those rows. Every
// array travels as a flat buffer of native-order values (bytes out; any contiguous buffer in:
// bytes, bytearray, memoryview, array.array, a NumPy array), so that a partition's rows cost a
// few bytes an entry to ship between processes, not a Python object each.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/cosine_binding.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "simjoin/join_blocks.hpp"
#include "simjoin/partition_rows.hpp"

namespace simsieve::py {

const char tfidf_count_tokens_doc[] =
    "tfidf_count_tokens(docs)\n--\n\n"
    "First pass of the TF-IDF rows of one partition of token documents (a sequence of sequences of "
    "str, or an Arrow list-of-strings column). Returns `(tokens, doc_freq, offsets, ids, counts)`: "
    "`tokens`, the partition's distinct tokens in order of first occurrence (its local numbering); "
    "`doc_freq`, uint32 per token, the number of the partition's documents holding it; `offsets`, "
    "uint64, `len(docs) + 1` bounds of each document's entries in `ids` and `counts`; `ids`, "
    "uint32, each document's distinct local numbers in order of first occurrence; `counts`, "
    "uint32, their occurrences. Buffers are `bytes` of native-order values.";

const char tfidf_weigh_rows_doc[] =
    "tfidf_weigh_rows(offsets, ids, counts, doc_freq, n_docs)\n--\n\n"
    "Second pass: the unit-length TF-IDF rows of a partition, with the weights, bit for bit, of "
    "`cosine_join` on the whole corpus. `offsets`, `ids` and `counts` are those of "
    "`tfidf_count_tokens`; `doc_freq` holds, per local token number, its document frequency in the "
    "whole corpus of `n_docs` documents, as uint64 (at most `n_docs`). Returns `(offsets, ids, "
    "weights, max_weight)`: row k is entries `offsets[k]` to `offsets[k+1]` of `ids` (uint32) "
    "and `weights` (float64), in order of first occurrence, empty when all its weights are zero; "
    "`max_weight` (float64, per local number) is the token's largest weight in these rows, -1.0 "
    "when no row holds it.";

const char tfidf_rank_rows_doc[] =
    "tfidf_rank_rows(offsets, ids, weights, rank)\n--\n\n"
    "Third pass: the rows of `tfidf_weigh_rows` with every local token number replaced by its "
    "feature's rank (`rank`, uint32 per local number) and each row's entries sorted by rank. "
    "`cosine_join` ranks the features by (largest weight in any row of the whole corpus, order of "
    "first occurrence in the whole corpus). Returns `(ranks, weights)`, uint32 and float64, under "
    "the same offsets.";

const char cosine_join_row_blocks_doc[] =
    "cosine_join_row_blocks(probe, indexed, max_weight, threshold, threads=0)\n--\n\n"
    "`cosine_join_blocks` on blocks given as flat buffers: a block is `(docs, offsets, ranks, "
    "weights)` with `docs` uint64 (ascending document numbers), `offsets` uint64 (`len(docs) + "
    "1` bounds of each row's entries), `ranks` uint32 (ascending within a row, below "
    "`len(max_weight)`) and `weights` float64; `max_weight` is a float64 buffer, per rank. With "
    "`indexed` None the block's own pairs are joined; otherwise every `indexed` document precedes "
    "every `probe` document. Returns `(j, i, cos, reach)` tuples by ascending i, then reach, then "
    "j: sorting the pairs of all blocks by (i, reach, j) gives `cosine_join`'s order.";

namespace {
constexpr Signature<1> kCountTokens{"tfidf_count_tokens()", {"docs"}, 1};
constexpr Signature<5> kWeighRows{"tfidf_weigh_rows()", {"offsets", "ids", "counts", "doc_freq", "n_docs"}, 5};
constexpr Signature<4> kRankRows{"tfidf_rank_rows()", {"offsets", "ids", "weights", "rank"}, 4};
constexpr Signature<5> kJoinRowBlocks{
    "cosine_join_row_blocks()", {"probe", "indexed", "max_weight", "threshold", "threads"}, 4};

[[noreturn]] void value_error(const char* name, const char* what) {
  throw_error(PyExc_ValueError, (std::string(name) + ": " + what).c_str());
}

// The values of a contiguous buffer argument, copied out (the copy is small next to the work).
template <class T>
std::vector<T> buffer_values(const char* name, PyObject* obj) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
    prefix_type_error(name);
    throw PythonError{};
  }
  const size_t bytes = static_cast<size_t>(view.len);
  std::vector<T> out(bytes / sizeof(T));
  if (bytes % sizeof(T) == 0 && bytes > 0) std::memcpy(out.data(), view.buf, bytes);
  PyBuffer_Release(&view);
  if (bytes % sizeof(T) != 0)
    value_error(name, ("the buffer size is not a multiple of " + std::to_string(sizeof(T)) + " bytes").c_str());
  return out;
}

// Row bounds: n + 1 ascending offsets, the last within `entries`.
void check_offsets(const char* name, const std::vector<uint64_t>& offsets, size_t entries) {
  if (offsets.empty() || offsets.front() != 0) value_error(name, "offsets must start at 0");
  for (size_t k = 1; k < offsets.size(); ++k)
    if (offsets[k - 1] > offsets[k]) value_error(name, "offsets must be ascending");
  if (offsets.back() != entries) value_error(name, "the last offset must be the number of entries");
}

void check_below(const char* name, const std::vector<uint32_t>& values, size_t bound, const char* what) {
  for (uint32_t v : values)
    if (v >= bound) value_error(name, what);
}

template <class T>
Ref to_py_bytes(const std::vector<T>& values) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                           static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

Ref to_py_str(const std::string& s) {
  return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

struct BufferBlock {
  std::vector<uint64_t> docs, offsets;
  std::vector<uint32_t> ranks;
  std::vector<double> weights;
  RowBlock view() const { return {docs, offsets, ranks, weights}; }
};

BufferBlock to_buffer_block(const char* name, PyObject* obj, size_t n_features) {
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 4)
    throw_error(PyExc_TypeError,
                (std::string("argument '") + name + "': a block must be a (docs, offsets, ranks, weights) tuple").c_str());
  BufferBlock block{buffer_values<uint64_t>(name, PyTuple_GetItem(obj, 0)),
                    buffer_values<uint64_t>(name, PyTuple_GetItem(obj, 1)),
                    buffer_values<uint32_t>(name, PyTuple_GetItem(obj, 2)),
                    buffer_values<double>(name, PyTuple_GetItem(obj, 3))};
  if (block.ranks.size() != block.weights.size()) value_error(name, "ranks and weights differ in length");
  check_offsets(name, block.offsets, block.ranks.size());
  if (block.offsets.size() != block.docs.size() + 1) value_error(name, "offsets must hold len(docs) + 1 values");
  for (size_t k = 1; k < block.docs.size(); ++k)
    if (block.docs[k - 1] >= block.docs[k]) value_error(name, "documents must be ascending");
  for (size_t k = 0; k + 1 < block.offsets.size(); ++k)
    for (uint64_t e = block.offsets[k]; e < block.offsets[k + 1]; ++e)
      if (block.ranks[e] >= n_features || (e > block.offsets[k] && block.ranks[e - 1] >= block.ranks[e]))
        value_error(name, "row ranks must be ascending and below len(max_weight)");
  return block;
}

}  // namespace

PyObject* tfidf_count_tokens_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCountTokens.bind(args, kwargs);
    std::vector<TokenDocument> docs = to_token_documents("docs", bound[0]);
    if (docs.size() >= UINT32_MAX) throw_error(PyExc_ValueError, "too many documents for one partition");
    const PartitionTokens counted = without_gil([&] { return count_partition_tokens(docs); });
    return to_py_tuple(to_py_list(counted.tokens, to_py_str), to_py_bytes(counted.doc_freq),
                       to_py_bytes(counted.offsets), to_py_bytes(counted.ids), to_py_bytes(counted.counts))
        .release();
  });
}

PyObject* tfidf_weigh_rows_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kWeighRows.bind(args, kwargs);
    const auto offsets = buffer_values<uint64_t>("offsets", bound[0]);
    const auto ids = buffer_values<uint32_t>("ids", bound[1]);
    const auto counts = buffer_values<uint32_t>("counts", bound[2]);
    const auto doc_freq = buffer_values<uint64_t>("doc_freq", bound[3]);
    const uint64_t n_docs = arg("n_docs", bound[4], to_count);
    if (ids.size() != counts.size()) value_error("counts", "ids and counts differ in length");
    check_offsets("offsets", offsets, ids.size());
    check_below("ids", ids, doc_freq.size(), "a token number has no document frequency");
    for (uint64_t df : doc_freq)
      if (df > n_docs) value_error("doc_freq", "a document frequency exceeds n_docs");
    const WeighedRows rows =
        without_gil([&] { return weigh_partition_rows(offsets, ids, counts, doc_freq, n_docs); });
    return to_py_tuple(to_py_bytes(rows.offsets), to_py_bytes(rows.ids), to_py_bytes(rows.weights),
                       to_py_bytes(rows.max_weight))
        .release();
  });
}

PyObject* tfidf_rank_rows_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRankRows.bind(args, kwargs);
    const auto offsets = buffer_values<uint64_t>("offsets", bound[0]);
    const auto ids = buffer_values<uint32_t>("ids", bound[1]);
    const auto weights = buffer_values<double>("weights", bound[2]);
    const auto rank = buffer_values<uint32_t>("rank", bound[3]);
    if (ids.size() != weights.size()) value_error("weights", "ids and weights differ in length");
    check_offsets("offsets", offsets, ids.size());
    check_below("ids", ids, rank.size(), "a token number has no rank");
    const RankedRows rows = without_gil([&] { return rank_partition_rows(offsets, ids, weights, rank); });
    return to_py_tuple(to_py_bytes(rows.ranks), to_py_bytes(rows.weights)).release();
  });
}

PyObject* cosine_join_row_blocks_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kJoinRowBlocks.bind(args, kwargs);
    const auto max_weight = buffer_values<double>("max_weight", bound[2]);
    if (max_weight.size() >= UINT32_MAX) throw_error(PyExc_ValueError, "too many features");
    const BufferBlock probe = to_buffer_block("probe", bound[0], max_weight.size());
    const bool same = bound[1] == Py_None;
    const BufferBlock indexed =
        same ? BufferBlock{{}, {0}, {}, {}} : to_buffer_block("indexed", bound[1], max_weight.size());
    const double threshold = arg("threshold", bound[3], to_real);
    const uint64_t threads = bound[4] ? arg("threads", bound[4], to_count) : 0;
    const RowBlock indexed_view = indexed.view();
    return block_join_result(probe.view(), same ? nullptr : &indexed_view, max_weight, threshold, threads);
  });
}

}  // namespace simsieve::py
