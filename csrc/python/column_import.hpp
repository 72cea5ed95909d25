// Taking Arrow columns out of Python objects: any object with `__arrow_c_stream__` (pyarrow
// arrays and chunked arrays, polars and pandas Series, one-column tables) or
// `__arrow_c_array__` hands over its schema and batches through PyCapsules; they are validated
// with the interpreter lock released and read in place for the rest of the call.
#pragma once

#include <Python.h>

#include <optional>

#include "columns/import.hpp"

namespace simsieve::py {

// Whether obj offers the Arrow PyCapsule interface (and so is taken as a column, never as a
// Python sequence).
bool exports_arrow(PyObject* obj);

// Imports obj as a column when it exports Arrow data. An object that is also a sequence and
// whose export fails with ImportError (a pandas Series without pyarrow installed) is left to
// the sequence conversion: nullopt, no error pending.
std::optional<columns::ImportedColumn> import_column_if_exported(const char* name, PyObject* obj, bool lists,
                                                                 columns::Nulls nulls = columns::Nulls::Reject);

// The column obj exports, validated, with every item checked (valid UTF-8, and no null unless
// `nulls` allows them: a string column's nulls are then left for the caller to skip). Errors
// name the argument: TypeError "argument 'NAME': ..." for a column that is not of strings (or
// of string lists when lists is set), ValueError "argument 'NAME': item K is null" and
// "argument 'NAME': item K is not valid UTF-8", ValueError for a malformed array or capsule.
columns::ImportedColumn import_column(const char* name, PyObject* obj, bool lists,
                                      columns::Nulls nulls = columns::Nulls::Reject);

// Drops an imported column (the interpreter lock held), keeping a pending Python exception
// pending: a producer's release callback may run Python code.
void release_column(std::optional<columns::ImportedColumn>& column) noexcept;

}  // namespace simsieve::py
