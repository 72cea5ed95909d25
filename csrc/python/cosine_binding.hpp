// Argument conversion and result building shared by cosine_join and CosineJoiner: token
// documents, the (concurrency, threads) pair of a join, and the (j, i, cos) result list.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pool/concurrency.hpp"
#include "pool/thread_budget.hpp"
#include "python/build.hpp"
#include "python/column_import.hpp"
#include "python/concurrency_arg.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/join_blocks.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve::py {

// Argument `name` as token documents: a sequence (not str) of documents, each a sequence (not
// str) of str tokens (TypeErrors prefixed with the name), or an Arrow column of string lists,
// copied into owned tokens with the lock released.
inline std::vector<TokenDocument> to_token_documents(const char* name, PyObject* obj) {
  if (auto column = import_column_if_exported(name, obj, true))
    return without_gil([&] { return column->copy_lists(); });
  return arg(name, obj, [](PyObject* o) { return to_vector(o, [](PyObject* doc) { return to_vector(doc, to_string); }); });
}

struct JoinOptions {
  ConcurrencyMode mode = ConcurrencyMode::Cpu;
  uint64_t threads = 0;
};

// Converts `concurrency` (if given), then `threads` (if given), then parses the concurrency text;
// every failure raises before any work. The parsed mode selects nothing: every mode runs the
// exact CPU join.
inline JoinOptions join_options(PyObject* concurrency, PyObject* threads) {
  const std::string text = concurrency_text(concurrency, "cpu");
  JoinOptions options;
  if (threads) options.threads = arg("threads", threads, to_count);
  options.mode = concurrency_or_raise(text);
  return options;
}

inline Ref join_pairs_to_py(const std::vector<JoinPair>& pairs) {
  return to_py_list(pairs, [](const JoinPair& p) { return to_py_tuple(to_py(p.j), to_py(p.i), to_py(p.cos)); });
}

// The block join of two converted row blocks (`indexed` is null when the probe block is joined
// with itself): checks that the indexed documents precede the probe ones and that the rows fit,
// joins with the lock released, and returns the list of (j, i, cos, reach) tuples.
inline PyObject* block_join_result(const RowBlock& probe, const RowBlock* indexed, std::span<const double> max_weight,
                                   double threshold, uint64_t threads) {
  const bool same = indexed == nullptr;
  const size_t indexed_rows = same ? 0 : indexed->docs.size();
  if (!same && indexed_rows != 0 && !probe.docs.empty() && indexed->docs.back() >= probe.docs.front())
    throw_error(PyExc_ValueError, "every indexed document must precede every probe document");
  if (probe.docs.size() + indexed_rows >= UINT32_MAX) throw_error(PyExc_ValueError, "too many rows");
  std::vector<BlockPair> pairs = without_gil([&] {
    return with_thread_budget(threads,
                              [&] { return join_row_blocks(probe, same ? probe : *indexed, same, max_weight, threshold); });
  });
  return to_py_list(pairs, [](const BlockPair& p) {
           return to_py_tuple(to_py(p.j), to_py(p.i), to_py(p.cos), to_py(p.reach));
         })
      .release();
}

}  // namespace simsieve::py
