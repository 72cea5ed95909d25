// Test hooks for the ratio engine: the bounded checks, the match count and the match index's
// end-position queries, each on strings given from Python, with the interpreter lock released.
#include <optional>
#include <string>
#include <vector>

#include "gestalt/bounded.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/common_run.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "gestalt/match_search.hpp"
#include "gestalt/sparse_ratio.hpp"
#include "gestalt/work_factor.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<3> kThreshold{"ratio_reaches()", {"a", "b", "t"}, 3};
constexpr Signature<3> kThresholdFast{"ratio_reaches_fast()", {"a", "b", "t"}, 3};
constexpr Signature<3> kCapped{"capped_ratio()", {"a", "b", "limit"}, 3};
constexpr Signature<2> kPair{"pair()", {"a", "b"}, 2};
constexpr Signature<2> kNeed{"need_for()", {"t", "total"}, 2};
constexpr Signature<1> kText{"parse_work_factor()", {"text"}, 1};
constexpr Signature<3> kEnds{"index_ends()", {"b", "sub", "bound"}, 3};
constexpr Signature<1> kIndex{"index_summary()", {"b"}, 1};
constexpr Signature<4> kRun{"shares_run()", {"a", "b", "run", "start"}, 3};
constexpr Signature<4> kRunCount{"run_match_count()", {"a", "b", "limit", "path"}, 3};

Ref py_bool(bool v) { return checked(PyBool_FromLong(v ? 1 : 0)); }
Ref py_none() {
  Py_INCREF(Py_None);
  return Ref(Py_None);
}
Ref py_end(uint32_t e) { return e == MatchIndex::kNoEnd ? py_none() : to_py(e); }

struct Decoded {
  std::vector<uint32_t> a, b;
  MatchIndex index;
};

Decoded prepare(const std::string& a, const std::string& b) {
  Decoded d{decode_utf8(a), decode_utf8(b), {}};
  d.index = build_match_index(d.b);
  return d;
}

// ratio_reaches(a, b, t) -> (reached, ratio)
PyObject* ratio_reaches_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kThreshold.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    double t = arg("t", bound[2], to_real);
    Reach r = without_gil([&] {
      Decoded d = prepare(a, b);
      return ratio_reaches(d.a, d.index, d.b, t);
    });
    return to_py_tuple(py_bool(r.reached), to_py(r.ratio)).release();
  });
}

PyObject* ratio_reaches_fast_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kThresholdFast.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    double t = arg("t", bound[2], to_real);
    bool r = without_gil([&] {
      Decoded d = prepare(a, b);
      return ratio_reaches_fast(d.a, d.index, d.b, t);
    });
    return py_bool(r).release();
  });
}

PyObject* capped_ratio_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCapped.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    uint64_t limit = arg("limit", bound[2], to_count);
    double r = without_gil([&] {
      Decoded d = prepare(a, b);
      return capped_ratio(d.a, d.index, d.b, limit);
    });
    return to_py(r).release();
  });
}

// shares_run(a, b, run, start=0) -> whether a (the pattern, at most 128 characters) and b have a
// common substring of at least `run` characters, both from position `start` on.
PyObject* shares_run_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRun.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    uint64_t run = arg("run", bound[2], to_count);
    uint64_t start = bound[3] ? arg("start", bound[3], to_count) : 0;
    bool r = without_gil([&] {
      RunPattern pattern;
      pattern.build(decode_utf8(a));
      return pattern.shares_run_after(decode_utf8(b), static_cast<size_t>(start), run);
    });
    return py_bool(r).release();
  });
}

// run_match_count(a, b, limit, path="fastest") -> the gestalt match count of (a, b) through a's run
// pattern (a has at most 255 characters): exact below `limit`, at least `limit` otherwise; None when
// the pattern is too long to be counted. With path "sse2", by the run lengths in 16-byte vectors
// wherever bytes serve; with "bitwise", by the position sets even for an ASCII pattern (of at most
// 128 characters).
PyObject* run_match_count_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRunCount.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    uint64_t limit = arg("limit", bound[2], to_count);
    const std::string path = bound[3] ? arg("path", bound[3], to_string) : std::string("fastest");
    RunPattern::CountPath how = RunPattern::CountPath::fastest;
    if (path == "sse2")
      how = RunPattern::CountPath::bytes_sse2;
    else if (path == "bitwise")
      how = RunPattern::CountPath::bitwise;
    else if (path != "fastest") {
      PyErr_SetString(PyExc_ValueError, "path must be 'fastest', 'sse2' or 'bitwise'");
      throw PythonError{};
    }
    std::optional<uint64_t> m = without_gil([&]() -> std::optional<uint64_t> {
      RunPattern pattern;
      pattern.build(decode_utf8(a));
      if (!pattern.countable()) return std::nullopt;
      return pattern.match_count(decode_utf8(b), limit, how);
    });
    if (!m) Py_RETURN_NONE;
    return to_py(*m).release();
  });
}

// count_matches(a, b) -> M through the match index of b.
PyObject* count_matches_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kPair.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    uint64_t m = without_gil([&] {
      Decoded d = prepare(a, b);
      return count_matches(d.a, d.index, d.b);
    });
    return to_py(m).release();
  });
}

PyObject* indexed_ratio_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kPair.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    double r = without_gil([&] { return indexed_ratio(a, b); });
    return to_py(r).release();
  });
}

// sparse_match_count(a, b) -> M through the sparse path, or None unless both strings are
// non-empty and all-ASCII.
PyObject* sparse_match_count_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kPair.bind(args, kwargs);
    std::string a = arg("a", bound[0], to_string);
    std::string b = arg("b", bound[1], to_string);
    std::optional<uint64_t> m = without_gil([&]() -> std::optional<uint64_t> {
      auto ca = decode_utf8(a), cb = decode_utf8(b);
      AsciiHistogram ha = ascii_histogram(ca), hb = ascii_histogram(cb);
      if (ca.empty() || cb.empty() || ha.non_ascii || hb.non_ascii) return std::nullopt;
      return sparse_match_count(ca, cb, hb);
    });
    return (m ? to_py(*m) : py_none()).release();
  });
}

PyObject* need_for_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kNeed.bind(args, kwargs);
    double t = arg("t", bound[0], to_real);
    uint64_t total = arg("total", bound[1], to_count);
    return to_py(need_for(t, total)).release();
  });
}

PyObject* parse_work_factor_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kText.bind(args, kwargs);
    std::string text = arg("text", bound[0], to_string);
    std::optional<uint64_t> k = parse_work_factor(text);
    return (k ? to_py(*k) : py_none()).release();
  });
}

PyObject* work_factor_hook(PyObject*, PyObject*, PyObject*) {
  return call_frame([&]() -> PyObject* { return to_py(work_factor()).release(); });
}

// index_ends(b, sub, bound) -> None when sub does not occur in b, else a tuple (state, len,
// link_len, min_end, max_end, ends in slice order, largest end <= bound or None, smallest end
// >= bound or None).
PyObject* index_ends_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kEnds.bind(args, kwargs);
    std::string b = arg("b", bound[0], to_string);
    std::string sub = arg("sub", bound[1], to_string);
    uint64_t limit = arg("bound", bound[2], to_count);
    struct Answer {
      int32_t state = -1;
      PositionRecord rec{};
      std::vector<uint32_t> ends;
      uint32_t below = MatchIndex::kNoEnd, above = MatchIndex::kNoEnd;
    };
    Answer ans = without_gil([&] {
      Answer out;
      auto cb = decode_utf8(b);
      MatchIndex index = build_match_index(cb);
      out.state = index.walk(decode_utf8(sub));
      if (out.state < 0) return out;
      auto s = static_cast<uint32_t>(out.state);
      out.rec = index.position(s);
      auto slice = index.end_slice(s);
      out.ends.assign(slice.begin(), slice.end());
      auto b32 = static_cast<uint32_t>(std::min<uint64_t>(limit, 0xFFFFFFFEu));
      out.below = index.largest_end_at_most(s, b32);
      out.above = index.smallest_end_at_least(s, b32);
      return out;
    });
    if (ans.state < 0) return py_none().release();
    return to_py_tuple(to_py(static_cast<uint32_t>(ans.state)), to_py(ans.rec.len), to_py(ans.rec.link_len),
                       to_py(ans.rec.min_end), to_py(ans.rec.max_end), to_py_list(ans.ends), py_end(ans.below),
                       py_end(ans.above))
        .release();
  });
}

// index_summary(b) -> (state count, prefix states, number of root-table entries, how states
// with many end positions are searched: "scan" (none has), "sorted" (sorted copies) or "tree"
// (wavelet matrix), root count).
PyObject* index_summary_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kIndex.bind(args, kwargs);
    std::string b = arg("b", bound[0], to_string);
    struct Summary {
      uint32_t states, root_entries = 0, root_count;
      std::vector<uint32_t> prefix;
      const char* mode;
    };
    Summary sm = without_gil([&] {
      MatchIndex index = build_match_index(decode_utf8(b));
      const char* mode = index.has_range_tree() ? "tree" : index.has_sorted_copies() ? "sorted" : "scan";
      Summary out{index.state_count(), 0, index.position(MatchIndex::kRoot).count, {}, mode};
      for (uint32_t c = 0; c < 128; ++c) out.root_entries += index.root_target(c) >= 0;
      for (uint32_t i = 0; i < index.length(); ++i) out.prefix.push_back(static_cast<uint32_t>(index.prefix_state(i)));
      return out;
    });
    return to_py_tuple(to_py(sm.states), to_py_list(sm.prefix), to_py(sm.root_entries),
                       checked(PyUnicode_FromString(sm.mode)),
                       to_py(sm.root_count))
        .release();
  });
}

// reenter_match_search() counts matches while the calling thread's search scratch is already
// leased, as a nested call would; the engine must refuse with an internal failure.
PyObject* reenter_match_search_hook(PyObject*, PyObject*, PyObject*) {
  return call_frame([&]() -> PyObject* {
    uint64_t m = without_gil([&] {
      simsieve::detail::ScratchLease outer(simsieve::detail::thread_match_scratch(), "outer lease");
      std::vector<uint32_t> a{1, 2, 3}, b{1, 2, 3};
      MatchIndex index = build_match_index(b);
      return count_matches(a, index, b);
    });
    return to_py(m).release();
  });
}

PyMethodDef gestalt_functions[] = {
    SIMSIEVE_TEST_ENTRY("reenter_match_search", reenter_match_search_hook),
    SIMSIEVE_TEST_ENTRY("ratio_reaches", ratio_reaches_hook),
    SIMSIEVE_TEST_ENTRY("ratio_reaches_fast", ratio_reaches_fast_hook),
    SIMSIEVE_TEST_ENTRY("capped_ratio", capped_ratio_hook),
    SIMSIEVE_TEST_ENTRY("shares_run", shares_run_hook),
    SIMSIEVE_TEST_ENTRY("run_match_count", run_match_count_hook),
    SIMSIEVE_TEST_ENTRY("count_matches", count_matches_hook),
    SIMSIEVE_TEST_ENTRY("indexed_ratio", indexed_ratio_hook),
    SIMSIEVE_TEST_ENTRY("sparse_match_count", sparse_match_count_hook),
    SIMSIEVE_TEST_ENTRY("need_for", need_for_hook),
    SIMSIEVE_TEST_ENTRY("parse_work_factor", parse_work_factor_hook),
    SIMSIEVE_TEST_ENTRY("work_factor", work_factor_hook),
    SIMSIEVE_TEST_ENTRY("index_ends", index_ends_hook),
    SIMSIEVE_TEST_ENTRY("index_summary", index_summary_hook),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_gestalt_functions(PyObject* module) { return PyModule_AddFunctions(module, gestalt_functions); }

}  // namespace simsieve::py::testing
