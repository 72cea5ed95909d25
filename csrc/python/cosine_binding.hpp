// Argument conversion and result building shared by cosine_join and CosineJoiner: token
// documents, the (concurrency, threads) pair of a join, and the (j, i, cos) result list.
#pragma once

#include <Python.h>

#include <cstdint>
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
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve::py {

// Argument `name` as token documents: a sequence (not str) of documents, each a sequence (not
// str) of str tokens (TypeErrors prefixed with the name), or an Arrow column of string lists,
// copied into owned tokens with the lock released.
inline std::vector<TokenDocument> to_token_documents(const char* name, PyObject* obj) {
  if (exports_arrow(obj)) {
    columns::ImportedColumn column = import_column(name, obj, true);
    return without_gil([&] { return column.copy_lists(); });
  }
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

}  // namespace simsieve::py
