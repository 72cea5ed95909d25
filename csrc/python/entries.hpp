// The module-level entry points and their docstrings, collected for the module's function table.
// Each entry point lives in its own csrc/python/entry_*.cpp.
#pragma once

#include <Python.h>

namespace simsieve::py {

PyObject* ratio_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* ratio_many_entry(PyObject* module, PyObject* args, PyObject* kwargs);
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
// Adds the CosineJoiner class to the module (0, or -1 with an exception set).
int add_cosine_joiner_class(PyObject* module);

}  // namespace simsieve::py
