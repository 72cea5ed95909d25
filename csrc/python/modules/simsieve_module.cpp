// The _simsieve extension module: multi-phase initialisation, the function table and the classes.
#include <Python.h>

#include "python/entries.hpp"
#include "python/arrow_table.hpp"
#include "python/errors.hpp"
#include "python/float_array.hpp"
#include "python/pyref.hpp"

namespace simsieve::py {
namespace {

#define SIMSIEVE_ENTRY_WITH(name, fn, flags, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, doc }
#define SIMSIEVE_ENTRY(name, fn, doc) SIMSIEVE_ENTRY_WITH(name, fn, METH_VARARGS | METH_KEYWORDS, doc)
// Entry points taking (module, args, nargs, kwnames).
#define SIMSIEVE_FAST_ENTRY(name, fn, doc) SIMSIEVE_ENTRY_WITH(name, fn, METH_FASTCALL | METH_KEYWORDS, doc)

// Registration order is the order of the module's attributes.
PyMethodDef module_functions[] = {
    SIMSIEVE_FAST_ENTRY("ratio", ratio_entry, ratio_doc),
    SIMSIEVE_FAST_ENTRY("ratio_many", ratio_many_entry, ratio_many_doc),
    SIMSIEVE_ENTRY("cluster_canonicals", cluster_canonicals_entry, cluster_canonicals_doc),
    SIMSIEVE_ENTRY("cluster_canonicals_lsh", cluster_canonicals_lsh_entry, cluster_canonicals_lsh_doc),
    SIMSIEVE_ENTRY("cosine_join", cosine_join_entry, cosine_join_doc),
    SIMSIEVE_ENTRY("search_top", search_top_entry, search_top_doc),
    SIMSIEVE_ENTRY("search_pairs", search_pairs_entry, search_pairs_doc),
    SIMSIEVE_ENTRY("search_dense", search_dense_entry, search_dense_doc),
    SIMSIEVE_ENTRY("ratio_columns", ratio_columns_entry, ratio_columns_doc),
    SIMSIEVE_ENTRY("close_matches_scores", close_matches_scores_entry, close_matches_scores_doc),
    SIMSIEVE_ENTRY("cluster_canonicals_arrow", cluster_canonicals_arrow_entry, cluster_canonicals_arrow_doc),
    SIMSIEVE_ENTRY("cluster_canonicals_lsh_arrow", cluster_canonicals_lsh_arrow_entry, cluster_canonicals_lsh_arrow_doc),
    SIMSIEVE_ENTRY("cosine_join_arrow", cosine_join_arrow_entry, cosine_join_arrow_doc),
    SIMSIEVE_ENTRY("lsh_band_hashes", lsh_band_hashes_entry, lsh_band_hashes_doc),
    SIMSIEVE_ENTRY("verify_pairs", verify_pairs_entry, verify_pairs_doc),
    SIMSIEVE_ENTRY("cluster_block_min", cluster_block_min_entry, cluster_block_min_doc),
    SIMSIEVE_ENTRY("cosine_join_blocks", cosine_join_blocks_entry, cosine_join_blocks_doc),
    SIMSIEVE_ENTRY("tfidf_count_tokens", tfidf_count_tokens_entry, tfidf_count_tokens_doc),
    SIMSIEVE_ENTRY("tfidf_weigh_rows", tfidf_weigh_rows_entry, tfidf_weigh_rows_doc),
    SIMSIEVE_ENTRY("tfidf_rank_rows", tfidf_rank_rows_entry, tfidf_rank_rows_doc),
    SIMSIEVE_ENTRY("cosine_join_row_blocks", cosine_join_row_blocks_entry, cosine_join_row_blocks_doc),

    SIMSIEVE_ENTRY("_cluster_canonicals_progress", cluster_canonicals_progress_entry, nullptr),
    SIMSIEVE_ENTRY("_cluster_canonicals_lsh_progress", cluster_canonicals_lsh_progress_entry, nullptr),
    SIMSIEVE_ENTRY("_cosine_join_progress", cosine_join_progress_entry, nullptr),
    SIMSIEVE_ENTRY("_format_rows", format_rows_entry, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
// Adds the Rationer class to the module (rationer_class.cpp).
int add_rationer_class(PyObject* module);
namespace {

// Each class adder creates one heap type and adds it to the module; 0 on success, -1 with an
// exception set on failure.
using ClassAdder = int (*)(PyObject* module);
const ClassAdder class_adders[] = {
    add_rationer_class,
    add_cosine_joiner_class,
    add_float_array_class,
    add_arrow_table_class,
};

int exec_module(PyObject* module) {
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  for (ClassAdder add : class_adders) {
    if (add && add(module) < 0) return -1;
  }
  PyObject* panic = panic_exception_type();
  if (!panic) return -1;
  if (PyModule_AddObject(module, "PanicException", panic) < 0) {
    Py_DECREF(panic);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_simsieve",
    "Compiled core of the `simsieve` Python package (re-exported by `simsieve/__init__.py`).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace simsieve::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__simsieve(void) {
  return PyModuleDef_Init(&simsieve::py::module_def);
}
