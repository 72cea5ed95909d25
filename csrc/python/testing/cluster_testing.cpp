// Test hooks for the exact clustering: form_clusters on edges given from Python, with the index
// table either empty (indexes built on demand) or filled up front, as the LSH pipeline hands it,
// and optionally a small size above which a cluster's minimum is searched by all workers; the
// candidate pairs of the edge search, screened or by the plain scan of the length window, and the
// order in which it tests them; and the minimum ratio of a block of strings and the index of short
// common runs it screens pairs with; the longest common subsequence that bounds the edge tests.
#include <optional>
#include <string>
#include <vector>

#include "cluster/block_minimum.hpp"
#include "cluster/cluster_exact.hpp"
#include "cluster/form_clusters.hpp"
#include "cluster/shared_ends.hpp"
#include "cluster/shared_grams.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/lcs_bound.hpp"
#include "gestalt/match_index.hpp"
#include "python/build.hpp"
#include "python/cluster_result.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<4> kFormClusters{"form_clusters()", {"canonicals", "edges", "ready", "task_chunk"}, 2};
constexpr Signature<4> kCandidatePairs{"candidate_pairs()", {"canonicals", "threshold", "plain_scan", "groups"}, 2};
constexpr Signature<3> kRankOrder{"rank_order()", {"bounds", "pairs", "parallel"}, 2};
constexpr Signature<4> kClusterHolding{"cluster_holding()", {"canonicals", "threshold", "hold", "chunk"}, 4};
constexpr Signature<2> kLcsLength{"lcs_length()", {"a", "b"}, 2};
constexpr Signature<3> kLcsReaches{"lcs_reaches()", {"a", "b", "need"}, 3};
constexpr Signature<3> kBlockMinimum{"block_minimum()", {"canonicals", "start", "parallel"}, 1};
constexpr Signature<3> kSharedRuns{"shared_runs()", {"canonicals", "q", "parallel"}, 2};
constexpr Signature<4> kSharedEnds{"shared_ends()", {"canonicals", "lengths", "from_end", "parallel"}, 3};

std::vector<std::vector<uint32_t>> decode_all(const std::vector<std::string>& texts) {
  std::vector<std::vector<uint32_t>> code_points;
  code_points.reserve(texts.size());
  for (const std::string& t : texts) code_points.push_back(decode_utf8(t));
  return code_points;
}

// The members 0 .. n - 1: a block of all the strings given.
std::vector<uint32_t> every_member(size_t n) {
  std::vector<uint32_t> members(n);
  for (uint32_t k = 0; k < n; ++k) members[k] = k;
  return members;
}

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
    uint64_t chunk = bound[3] ? arg("task_chunk", bound[3], to_count) : MIN_RATIO_PARALLEL_PAIRS;
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

// candidate_pairs(canonicals, threshold, plain_scan=False, groups=0) -> sorted list of (lo, hi);
// groups 8, 16 or 32 sets the screen's column count, 0 leaves it to the estimate
PyObject* candidate_pairs_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCandidatePairs.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    double threshold = arg("threshold", bound[1], to_real);
    bool plain = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    uint64_t groups = bound[3] ? arg("groups", bound[3], to_count) : 0;
    if (groups != 0 && groups != 8 && groups != 16 && groups != 32) {
      PyErr_SetString(PyExc_ValueError, "groups must be 0, 8, 16 or 32");
      throw PythonError{};
    }
    auto pairs = without_gil([&] {
      auto code_points = decode_all(texts);
      std::vector<CodepointView> views = codepoint_views(code_points);
      return simsieve::detail::candidate_pairs(views, threshold, plain, static_cast<size_t>(groups));
    });
    return to_py_list(pairs, [](const std::pair<uint32_t, uint32_t>& p) { return to_py_tuple(to_py(p.first), to_py(p.second)); })
        .release();
  });
}

std::pair<uint32_t, uint32_t> to_index_pair(PyObject* obj) {
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 2) {
    PyErr_SetString(PyExc_TypeError, "a pair is a tuple (lo, hi)");
    throw PythonError{};
  }
  const uint64_t lo = to_count(PyTuple_GetItem(obj, 0)), hi = to_count(PyTuple_GetItem(obj, 1));
  if (lo > UINT32_MAX || hi > UINT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "pair indices must fit 32 bits");
    throw PythonError{};
  }
  return {static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
}

// rank_order(bounds, pairs, parallel=False) -> the pairs in the order the edge search tests them
PyObject* rank_order_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRankOrder.bind(args, kwargs);
    auto bounds = arg("bounds", bound[0], [](PyObject* o) { return to_vector(o, to_real); });
    auto pairs = arg("pairs", bound[1], [](PyObject* o) { return to_vector(o, to_index_pair); });
    bool parallel = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    if (bounds.size() != pairs.size()) {
      PyErr_SetString(PyExc_ValueError, "one bound for every pair");
      throw PythonError{};
    }
    auto ordered = without_gil([&] { return simsieve::detail::rank_order(bounds, pairs, parallel); });
    return to_py_list(ordered, [](const std::pair<uint32_t, uint32_t>& p) { return to_py_tuple(to_py(p.first), to_py(p.second)); })
        .release();
  });
}

// cluster_holding(canonicals, threshold, hold, chunk) -> the clusters of cluster_canonicals, found
// with the candidate scan handing its candidates on whenever more than `hold` wait after a chunk of
// `chunk` probes
PyObject* cluster_holding_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kClusterHolding.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    double threshold = arg("threshold", bound[1], to_real);
    uint64_t hold = arg("hold", bound[2], to_count);
    uint64_t chunk = arg("chunk", bound[3], to_count);
    auto clusters = without_gil([&] {
      auto code_points = decode_all(texts);
      std::vector<CodepointView> views = codepoint_views(code_points);
      return simsieve::detail::cluster_exact_holding(views, threshold, static_cast<size_t>(hold),
                                                           static_cast<size_t>(chunk));
    });
    return clusters_to_py(clusters).release();
  });
}

// block_minimum(canonicals, start=1.0, parallel=False) -> min(start, minimum ratio over all pairs
// i < j, compared in that orientation)
PyObject* block_minimum_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kBlockMinimum.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    double start = bound[1] ? arg("start", bound[1], to_real) : 1.0;
    bool parallel = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    double low = without_gil([&] {
      auto code_points = decode_all(texts);
      std::vector<CodepointView> views = codepoint_views(code_points);
      const std::vector<uint32_t> members = every_member(views.size());
      MatchIndexTable table(views);
      return block_minimum(MinimumBlock{members, {}, {}}, views, table, start, parallel, nullptr);
    });
    return to_py(low).release();
  });
}

// shared_runs(canonicals, q, parallel=False) -> for every x, the y > x (ascending) that the run index
// reports as sharing a run of q characters with x
PyObject* shared_runs_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSharedRuns.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    uint64_t q = arg("q", bound[1], to_count);
    bool parallel = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    if (q < 1 || q > kMaxSharedGram) {
      PyErr_SetString(PyExc_ValueError, "q must be between 1 and 18");
      throw PythonError{};
    }
    auto rows = without_gil([&] {
      auto code_points = decode_all(texts);
      std::vector<CodepointView> views = codepoint_views(code_points);
      const std::vector<uint32_t> members = every_member(views.size());
      SharedGrams grams(members, views, static_cast<uint32_t>(q), parallel);
      std::vector<std::vector<uint32_t>> out(members.size());
      std::vector<uint64_t> bits;
      for (size_t x = 0; x < members.size(); ++x) {
        grams.sharers_after(x, bits);
        for (size_t y = x + 1; y < members.size(); ++y)
          if (bits[y / 64] >> (y % 64) & 1) out[x].push_back(static_cast<uint32_t>(y));
      }
      return out;
    });
    return to_py_list(rows, [](const std::vector<uint32_t>& row) { return to_py_list(row); }).release();
  });
}

// shared_ends(canonicals, lengths, from_end, parallel=False) -> for each length, in turn on one
// index: for every x, the y > x (ascending) reported as sharing x's first (last) `length`
// characters, or None for a length the index does not serve
PyObject* shared_ends_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSharedEnds.bind(args, kwargs);
    auto texts = arg("canonicals", bound[0], [](PyObject* o) { return to_vector(o, to_string); });
    auto lengths = arg("lengths", bound[1], [](PyObject* o) { return to_vector(o, to_count); });
    bool from_end = PyObject_IsTrue(bound[2]) == 1;
    bool parallel = bound[3] && PyObject_IsTrue(bound[3]) == 1;
    auto found = without_gil([&] {
      auto code_points = decode_all(texts);
      std::vector<CodepointView> views = codepoint_views(code_points);
      const std::vector<uint32_t> members = every_member(views.size());
      SharedEnds ends(members, views, from_end, parallel);
      std::vector<std::optional<std::vector<std::vector<uint32_t>>>> out;
      std::vector<uint64_t> bits;
      for (uint64_t length : lengths) {
        std::vector<std::vector<uint32_t>> rows(members.size());
        bool served = true;
        for (size_t x = 0; x < members.size() && served; ++x) {
          served = ends.sharers_after(x, static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX)), bits);
          for (size_t y = x + 1; served && y < members.size(); ++y)
            if (bits[y / 64] >> (y % 64) & 1) rows[x].push_back(static_cast<uint32_t>(y));
        }
        out.push_back(served ? std::optional(std::move(rows)) : std::nullopt);
      }
      return out;
    });
    return to_py_list(found, [](const auto& rows) -> Ref {
             if (!rows) {
               Py_INCREF(Py_None);
               return Ref(Py_None);
             }
             return to_py_list(*rows, [](const std::vector<uint32_t>& row) { return to_py_list(row); });
           }).release();
  });
}

// lcs_length(a, b) -> length of the longest common subsequence of the two strings
PyObject* lcs_length_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kLcsLength.bind(args, kwargs);
    std::vector<uint32_t> a = decode_utf8(arg("a", bound[0], to_string));
    std::vector<uint32_t> b = decode_utf8(arg("b", bound[1], to_string));
    return to_py(lcs_length(a, b)).release();
  });
}

// lcs_reaches(a, b, need) -> whether that length is at least need, by the early-leaving test
PyObject* lcs_reaches_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kLcsReaches.bind(args, kwargs);
    std::vector<uint32_t> a = decode_utf8(arg("a", bound[0], to_string));
    std::vector<uint32_t> b = decode_utf8(arg("b", bound[1], to_string));
    uint64_t need = arg("need", bound[2], to_count);
    return checked(PyBool_FromLong(lcs_reaches(a, b, need) ? 1 : 0)).release();
  });
}

PyMethodDef functions[] = {
    SIMSIEVE_TEST_ENTRY("lcs_length", lcs_length_hook),
    SIMSIEVE_TEST_ENTRY("lcs_reaches", lcs_reaches_hook),
    SIMSIEVE_TEST_ENTRY("form_clusters", form_clusters_hook),
    SIMSIEVE_TEST_ENTRY("candidate_pairs", candidate_pairs_hook),
    SIMSIEVE_TEST_ENTRY("cluster_holding", cluster_holding_hook),
    SIMSIEVE_TEST_ENTRY("rank_order", rank_order_hook),
    SIMSIEVE_TEST_ENTRY("block_minimum", block_minimum_hook),
    SIMSIEVE_TEST_ENTRY("shared_runs", shared_runs_hook),
    SIMSIEVE_TEST_ENTRY("shared_ends", shared_ends_hook),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_cluster_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace simsieve::py::testing
