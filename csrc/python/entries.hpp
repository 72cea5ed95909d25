// The module-level entry points and their docstrings, collected for the module's function table.
// Each entry point lives in its own csrc/python/entry_*.cpp.
#pragma once

#include <Python.h>

namespace simsieve::py {

// ratio and ratio_many use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
PyObject* ratio_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ratio_many_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char ratio_doc[];
extern const char ratio_many_doc[];
PyObject* cluster_canonicals_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cluster_canonicals_doc[];
PyObject* cluster_canonicals_lsh_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cluster_canonicals_lsh_doc[];
PyObject* cosine_join_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cosine_join_doc[];
PyObject* search_top_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char search_top_doc[];
PyObject* search_pairs_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char search_pairs_doc[];
PyObject* search_dense_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char search_dense_doc[];
PyObject* cluster_canonicals_arrow_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cluster_canonicals_arrow_doc[];
PyObject* cluster_canonicals_lsh_arrow_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cluster_canonicals_lsh_arrow_doc[];
PyObject* cosine_join_arrow_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cosine_join_arrow_doc[];
PyObject* ratio_columns_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char ratio_columns_doc[];
PyObject* close_matches_scores_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char close_matches_scores_doc[];
// The batch kernels of distributed pipelines (entry_kernels.cpp).
PyObject* lsh_band_hashes_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* verify_pairs_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cluster_block_min_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cosine_join_blocks_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char lsh_band_hashes_doc[];
extern const char verify_pairs_doc[];
extern const char cluster_block_min_doc[];
extern const char cosine_join_blocks_doc[];
// The TF-IDF partition passes and the buffer block join (entry_tfidf_kernels.cpp).
PyObject* tfidf_count_tokens_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* tfidf_weigh_rows_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* tfidf_rank_rows_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cosine_join_row_blocks_entry(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char tfidf_count_tokens_doc[];
extern const char tfidf_weigh_rows_doc[];
extern const char tfidf_rank_rows_doc[];
extern const char cosine_join_row_blocks_doc[];

// The same three calls with a progress callable (None: no progress) and the as_arrow flag as their
// last two, required arguments; the package-level wrappers pass their `progress=` keyword here.
PyObject* cluster_canonicals_progress_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cluster_canonicals_lsh_progress_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cosine_join_progress_entry(PyObject* module, PyObject* args, PyObject* kwargs);
// The command line's row formatter (entry_format_rows.cpp).
PyObject* format_rows_entry(PyObject* module, PyObject* args, PyObject* kwargs);
// Adds the CosineJoiner class to the module (0, or -1 with an exception set).
int add_cosine_joiner_class(PyObject* module);

}  // namespace simsieve::py
