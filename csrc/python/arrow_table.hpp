// ArrowTable: a result handed out as one Arrow record batch. The heap type exports it through
// `__arrow_c_stream__` (pyarrow.table, polars.DataFrame, pandas) and `__arrow_c_array__`
// (pyarrow.record_batch) without copying the columns; `len()` is its number of rows.
#pragma once

#include <Python.h>

#include <memory>

#include "columns/export.hpp"
#include "python/pyref.hpp"

namespace simsieve::py {

// A new ArrowTable over the table (shared, never modified).
Ref make_arrow_table(std::shared_ptr<const columns::OutputTable> table);

// The table of an ArrowTable object (shared); nullptr when obj is not one.
std::shared_ptr<const columns::OutputTable> arrow_table_of(PyObject* obj);

// Creates the ArrowTable type and adds it to the module (0, or -1 with an exception set).
int add_arrow_table_class(PyObject* module);

}  // namespace simsieve::py
