// The Arrow PyCapsule interface: wrapping exported Arrow C structs into the named capsules
// ("arrow_schema", "arrow_array", "arrow_array_stream") that `__arrow_c_array__` and
// `__arrow_c_stream__` return, and taking the structs out of capsules handed to us. A capsule
// owns its struct: its destructor calls the struct's release callback when the struct was not
// moved out, then frees it.
#pragma once

#include <Python.h>

#include <memory>

#include "columns/arrow_abi.hpp"
#include "python/pyref.hpp"

namespace simsieve::py {

// New capsules owning the given (filled) structs.
Ref schema_capsule(std::unique_ptr<ArrowSchema> schema);
Ref array_capsule(std::unique_ptr<ArrowArray> array);
Ref stream_capsule(std::unique_ptr<ArrowArrayStream> stream);

// Moves the struct out of a capsule of the expected name into *out (the capsule's copy is left
// released, so the capsule's destructor does nothing more). TypeError when obj is not a capsule
// of that name; columns::ColumnError (Value) when the struct was already released.
void take_schema(PyObject* capsule, ArrowSchema* out);
void take_array(PyObject* capsule, ArrowArray* out);
void take_stream(PyObject* capsule, ArrowArrayStream* out);

// The tuple (schema capsule, array capsule) that `__arrow_c_array__` returns.
Ref array_capsule_pair(std::unique_ptr<ArrowSchema> schema, std::unique_ptr<ArrowArray> array);

}  // namespace simsieve::py
