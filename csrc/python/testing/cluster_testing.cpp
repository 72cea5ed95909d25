// Test hooks for cluster formation: form_clusters on edges given from Python, with the index
// table either empty (indexes built on demand) or filled up front, as the LSH pipeline hands it,
// and optionally a small chunk size for the pending pair comparisons.
#include <optional>
#include <string>
#include <vector>

#include "cluster/form_clusters.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/match_index.hpp"
#include "python/build.hpp"
#include "python/cluster_result.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<4> kFormClusters{"form_clusters()", {"canonicals", "edges", "ready", "task_chunk"}, 2};

// (i, j, ratio or None)
ClusterEdge to_edge(PyObject* obj) {
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 3) {
    PyErr_SetString(PyExc_TypeError, "an edge is a tuple (i, j, ratio or None)");
    throw PythonError{};
  }
  ClusterEdge e;
  e.i = to_count(PyTuple_GetItem(obj, 0));
  e.j = to_count(PyTuple_GetItem(obj, 1));
  PyObject* r = PyTuple_GetItem(obj, 2);
  if (r != Py_None) e.known_ratio = to_real(r);
  return e;
}

PyObject* form_clusters_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFormClusters.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    auto edges = arg("edges", bound[1], [](PyObject* o) { return to_vector(o, to_edge); });
    bool ready = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    uint64_t chunk = bound[3] ? arg("task_chunk", bound[3], to_count) : MIN_RATIO_TASK_CHUNK;
    std::vector<Cluster> clusters = without_gil([&] {
      std::vector<std::vector<uint32_t>> code_points;
      for (const std::string& t : texts) code_points.push_back(decode_utf8(t));
      std::vector<CodepointView> views = codepoint_views(code_points);
      std::optional<MatchIndexTable> table;
      if (ready) {
        std::vector<MatchIndex> built;
        for (CodepointView v : views) built.push_back(build_match_index(v));
        table.emplace(views, std::move(built));
      } else {
        table.emplace(views);
      }
      return simsieve::detail::form_clusters_chunked(views.size(), edges, views, *table, chunk);
    });
    return clusters_to_py(clusters).release();
  });
}

PyMethodDef functions[] = {
    SIMSIEVE_TEST_ENTRY("form_clusters", form_clusters_hook),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_cluster_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace simsieve::py::testing
