// The Rationer heap type: a long-lived handle whose concurrency mode, thread budget and delta are
// fixed at construction. With threads > 0 it starts its own worker pool once and runs every batch
// method inside it; instances are immutable, so several Python threads may use one at a time.
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "gestalt/match_count.hpp"
#include "pool/concurrency.hpp"
#include "python/concurrency_arg.hpp"
#include "python/build.hpp"
#include "python/cluster_result.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/pyref.hpp"
#include "rationer/rationer.hpp"
#include "rationer/string_interner.hpp"

namespace simsieve::py {

namespace {

const char rationer_doc[] =
    "Rationer(concurrency=\"gpu+cpu\", threads=0, delta=0.0)\n--\n\n"
    "Stateful handle that acquires long-lived backend resources once and reuses them across calls\n"
    "(on a macOS GPU build: the Metal device and a power-boost assertion). The free functions\n"
    "rebuild that per-call state on every call; a `Rationer` pays for it once.\n\n"
    "`concurrency` is one of `\"cpu\"`, `\"gpu\"` or `\"gpu+cpu\"`. The GPU is only engaged for\n"
    "`cluster_canonicals` on a single large group; `ratio` and `ratio_many` stay on CPU. Builds\n"
    "without the GPU feature (the default Linux and Windows builds), or hosts without a Metal\n"
    "device, quietly run every call on CPU with identical output.";

const char ratio_doc[] =
    "ratio($self, a, b)\n--\n\n"
    "Single-pair exact ratio (always CPU; one pair offers no GPU win).";

const char ratio_many_doc[] =
    "ratio_many($self, pairs)\n--\n\n"
    "Batched exact ratio over `(a, b)` pairs, computed on the CPU worker threads with the "
    "interpreter lock released.";

const char cluster_canonicals_doc[] =
    "cluster_canonicals($self, canonicals, threshold)\n--\n\n"
    "Exact single-linkage clustering at `threshold`. Routes through the GPU on macOS+`gpu`\n"
    "when the group is large enough to amortize dispatch; otherwise CPU. Same output as the\n"
    "free `cluster_canonicals`.";

const char concurrency_doc[] =
    "The active backend after construction-time fallback: `\"cpu\"`, `\"gpu\"`, or `\"gpu+cpu\"`.\n"
    "A handle requested as `\"gpu\"` on a non-Metal build/host reports `\"cpu\"` here.";

const char delta_doc[] = "Active approximate-RO `delta` (0.0 = exact).";

constexpr Signature<3> kNew{"Rationer.__new__()", {"concurrency", "threads", "delta"}, 0};
constexpr Signature<2> kRatio{"Rationer.ratio()", {"a", "b"}, 2};
constexpr Signature<1> kRatioMany{"Rationer.ratio_many()", {"pairs"}, 1};
constexpr Signature<2> kClusterCanonicals{"Rationer.cluster_canonicals()", {"canonicals", "threshold"}, 2};

struct RationerObject {
  PyObject_HEAD
  RationerState state;
};

RationerObject* as_rationer(PyObject* self) { return reinterpret_cast<RationerObject*>(self); }

PyObject* rationer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kNew.bind(args, kwargs);
    std::string concurrency = concurrency_text(bound[0], "gpu+cpu");
    uint64_t threads = bound[1] ? arg("threads", bound[1], to_count) : 0;
    double delta = bound[2] ? arg("delta", bound[2], to_real) : 0.0;
    // No GPU backend: the parsed mode is only checked, every handle runs on the CPU.
    (void)concurrency_or_raise(concurrency);
    // The pool starts here, with the interpreter lock held.
    RationerState state = make_rationer_state(threads, delta);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw PythonError{};  // `state` releases the pool
    new (&as_rationer(self)->state) RationerState(std::move(state));
    return self;
  });
}

void rationer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Dropping the handle's hold tells the workers to stop; nobody waits for them here.
  as_rationer(self)->state.~RationerState();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* rationer_ratio(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRatio.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    double r = without_gil([&] { return indexed_ratio(a, b); });
    return to_py(r).release();
  });
}

PyObject* rationer_ratio_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRatioMany.bind(args, kwargs);
    auto pairs = arg("pairs", bound[0], [](PyObject* o) { return to_vector(o, to_string_pair); });
    if (pairs.size() > kMaxInternedItems)
      throw_error(PyExc_OverflowError, "Rationer.ratio_many() takes at most 4294967295 pairs");
    // The handle, and with it its pool, stays alive while the lock is released.
    Ref keep = Ref::borrow(self);
    const RationerState& state = as_rationer(self)->state;
    std::vector<double> ratios;
    try {
      ratios = without_gil([&] { return rationer_ratio_many(state, pairs); });
    } catch (const BatchLimitError& limit) {
      throw_error(PyExc_OverflowError, limit.what());
    }
    return to_py_list(ratios).release();
  });
}

PyObject* rationer_cluster_canonicals(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterCanonicals.bind(args, kwargs);
    Strings texts = to_strings("canonicals", bound[0]);
    double threshold = arg("threshold", bound[1], to_real);
    Ref keep = Ref::borrow(self);
    const RationerState& state = as_rationer(self)->state;
    std::vector<Cluster> clusters =
        without_gil([&] { return rationer_cluster(state, texts.take_owned(), threshold); });
    return clusters_to_py(clusters).release();
  });
}

PyObject* rationer_concurrency(PyObject* self, void*) {
  return call_frame([&]() -> PyObject* {
    const char* text = concurrency_name(as_rationer(self)->state.mode);
    return checked(PyUnicode_FromString(text)).release();
  });
}

PyObject* rationer_delta(PyObject* self, void*) {
  return call_frame([&]() -> PyObject* { return to_py(as_rationer(self)->state.delta).release(); });
}

#define SIMSIEVE_METHOD(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, doc }

PyMethodDef rationer_methods[] = {
    SIMSIEVE_METHOD("ratio", rationer_ratio, ratio_doc),
    SIMSIEVE_METHOD("ratio_many", rationer_ratio_many, ratio_many_doc),
    SIMSIEVE_METHOD("cluster_canonicals", rationer_cluster_canonicals, cluster_canonicals_doc),
    {nullptr, nullptr, 0, nullptr},
};

#undef SIMSIEVE_METHOD

PyGetSetDef rationer_getset[] = {
    {"concurrency", rationer_concurrency, nullptr, concurrency_doc, nullptr},
    {"delta", rationer_delta, nullptr, delta_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rationer_slots[] = {
    {Py_tp_doc, const_cast<char*>(rationer_doc)},
    {Py_tp_new, reinterpret_cast<void*>(rationer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rationer_dealloc)},
    {Py_tp_methods, rationer_methods},
    {Py_tp_getset, rationer_getset},
    {0, nullptr},
};

PyType_Spec rationer_spec = {
    "simsieve.Rationer",
    static_cast<int>(sizeof(RationerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    rationer_slots,
};

}  // namespace

int add_rationer_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&rationer_spec);
  if (!type) return -1;
  if (PyModule_AddObject(module, "Rationer", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

}  // namespace simsieve::py
