// The CosineJoiner heap type: builds the TF-IDF corpus once in its constructor and joins it at
// any threshold per `join` call. Instances are immutable, so joins may run concurrently on one
// instance from several Python threads; each join holds its own reference to the corpus.
#include <Python.h>

#include <memory>
#include <new>
#include <vector>

#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/cosine_binding.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve::py {

namespace {

const char cosine_joiner_doc[] =
    "CosineJoiner(docs)\n--\n\n"
    "`CosineJoiner(docs)` \xe2\x80\x94 stateful similarity-join handle that builds the TF-IDF corpus and (on a\n"
    "macOS `gpu` wheel) acquires the Metal device + uploads the corpus **once**, then answers\n"
    "repeated `join(threshold, concurrency=...)` calls reusing them. The free `cosine_join` rebuilds\n"
    "everything per call; a `CosineJoiner` pays it once \xe2\x80\x94 use it to sweep thresholds.";

const char join_doc[] =
    "join($self, threshold, concurrency=\"cpu\", threads=0)\n--\n\n"
    "Join at `threshold` under `concurrency` (`\"cpu\" | \"gpu\" | \"gpu+cpu\"`), reusing the handle's\n"
    "resources. Returns `(j, i, cos)` pairs with `j < i`. GIL released for the compute.";

const char has_gpu_doc[] =
    "Whether a Metal GPU backend was acquired (always `False` off a macOS `gpu` wheel). When\n"
    "`False`, every `join` runs on CPU regardless of the `concurrency` argument.";

constexpr Signature<1> kNew{"CosineJoiner.__new__()", {"docs"}, 1};
constexpr Signature<3> kJoin{"CosineJoiner.join()", {"threshold", "concurrency", "threads"}, 1};


struct CosineJoinerObject {
  PyObject_HEAD
  // Set once by the constructor; shared with every join in flight.
  std::shared_ptr<const TfIdfCorpus> corpus;
};

CosineJoinerObject* as_joiner(PyObject* self) { return reinterpret_cast<CosineJoinerObject*>(self); }

PyObject* joiner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kNew.bind(args, kwargs);
    std::vector<TokenDocument> docs = to_token_documents("docs", bound[0]);
    auto corpus = without_gil([&] {
      auto built = std::make_shared<const TfIdfCorpus>(build_tfidf_corpus(docs));
      std::vector<TokenDocument>().swap(docs);
      return built;
    });
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw PythonError{};
    new (&as_joiner(self)->corpus) std::shared_ptr<const TfIdfCorpus>(std::move(corpus));
    return self;
  });
}

void joiner_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_joiner(self)->corpus.~shared_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

std::vector<JoinPair> run_join(PyObject* self, const Signature<3>& signature, PyObject* args, PyObject* kwargs) {
  auto bound = signature.bind(args, kwargs);
  const double threshold = arg("threshold", bound[0], to_real);
  const JoinOptions options = join_options(bound[1], bound[2]);
  std::shared_ptr<const TfIdfCorpus> corpus = as_joiner(self)->corpus;
  ensure(corpus != nullptr, "CosineJoiner without a corpus");
  return without_gil(
      [&] { return with_thread_budget(options.threads, [&] { return join_corpus(*corpus, threshold); }); });
}

PyObject* joiner_join(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* { return join_pairs_to_py(run_join(self, kJoin, args, kwargs)).release(); });
}

PyObject* joiner_has_gpu(PyObject*, void*) { Py_RETURN_FALSE; }

PyMethodDef joiner_methods[] = {
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(joiner_join)),
     METH_VARARGS | METH_KEYWORDS, join_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef joiner_getset[] = {
    {"has_gpu", joiner_has_gpu, nullptr, has_gpu_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot joiner_slots[] = {
    {Py_tp_doc, const_cast<char*>(cosine_joiner_doc)},
    {Py_tp_new, reinterpret_cast<void*>(joiner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(joiner_dealloc)},
    {Py_tp_methods, joiner_methods},
    {Py_tp_getset, joiner_getset},
    {0, nullptr},
};

PyType_Spec joiner_spec = {
    "simsieve.CosineJoiner",
    static_cast<int>(sizeof(CosineJoinerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    joiner_slots,
};

}  // namespace

int add_cosine_joiner_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&joiner_spec);
  if (!type) return -1;
  if (PyModule_AddObject(module, "CosineJoiner", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

}  // namespace simsieve::py
