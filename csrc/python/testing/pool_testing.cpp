// Test hooks for the worker pool and its parallel building blocks: each runs a small parallel
// computation with the interpreter lock released and returns what the test needs to check
// (results, the pieces a range was split into, which thread ran the work, caught failures).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/internal_error.hpp"
#include "pool/fork_join.hpp"
#include "pool/native_thread.hpp"
#include "pool/parallel.hpp"
#include "pool/pool_size.hpp"
#include "pool/thread_budget.hpp"
#include "pool/worker_pool.hpp"
#include "python/build.hpp"
#include "python/concurrency_arg.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

Ref py_bool(bool v) { return checked(PyBool_FromLong(v ? 1 : 0)); }
Ref py_none() {
  Py_INCREF(Py_None);
  return Ref(Py_None);
}
Ref py_text(const std::string& s) {
  return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
std::optional<std::string> optional_text(const char* name, PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return arg(name, obj, to_string);
}
uint64_t optional_count(const char* name, PyObject* obj, uint64_t fallback) {
  return obj ? arg(name, obj, to_count) : fallback;
}

// A cheap pure function of the index, recomputed by the tests in Python.
uint64_t mix(uint64_t i) { return (i * 2654435761u) % 4294967296u; }

constexpr Signature<1> kThreads{"pool_budget_identity()", {"threads"}, 1};

// pool_budget_identity(threads) -> (ran_on_caller, on_worker, worker_count) as seen by the op
// that with_thread_budget runs.
PyObject* pool_budget_identity(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kThreads.bind(args, kwargs);
    uint64_t threads = arg("threads", bound[0], to_count);
    struct Seen {
      bool on_caller, on_worker;
      uint64_t workers;
    };
    Seen seen = without_gil([&] {
      std::thread::id caller = std::this_thread::get_id();
      return with_thread_budget(threads, [&] {
        return Seen{std::this_thread::get_id() == caller, on_worker_thread(), current_worker_count()};
      });
    });
    return to_py_tuple(py_bool(seen.on_caller), py_bool(seen.on_worker), to_py(seen.workers)).release();
  });
}

constexpr Signature<1> kCount{"pool_requested_size()", {"n"}, 1};

// pool_requested_size(n): the worker count a pool requested with n gets (n = 0: the sizing rule).
PyObject* pool_requested_size(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kCount.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    return to_py(static_cast<uint64_t>(requested_pool_size(n))).release();
  });
}

constexpr Signature<0> kNone{"pool_current_worker_count()", {}, 0};

// pool_current_worker_count(): current_worker_count() on the calling (non-worker) thread, which
// is the size of this module's shared pool.
PyObject* pool_current_worker_count(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    kNone.bind(args, kwargs);
    uint64_t n = without_gil([] { return static_cast<uint64_t>(current_worker_count()); });
    return to_py(n).release();
  });
}

constexpr Signature<3> kRule{"pool_size_rule()", {"num_threads", "rs_num_cpus", "processors"}, 3};

// pool_size_rule(num_threads, rs_num_cpus, processors): the sizing rule on given values (None for
// an unset variable).
PyObject* pool_size_rule(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRule.bind(args, kwargs);
    auto num_threads = optional_text("num_threads", bound[0]);
    auto rs_num_cpus = optional_text("rs_num_cpus", bound[1]);
    uint64_t processors = arg("processors", bound[2], to_count);
    size_t n = pool_size_from(num_threads ? num_threads->c_str() : nullptr, rs_num_cpus ? rs_num_cpus->c_str() : nullptr,
                              static_cast<size_t>(processors));
    return to_py(static_cast<uint64_t>(n)).release();
  });
}

constexpr Signature<1> kText{"pool_parse_count()", {"text"}, 1};

// pool_parse_count(text) -> int or None.
PyObject* pool_parse_count(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kText.bind(args, kwargs);
    std::string text = arg("text", bound[0], to_string);
    std::optional<uint64_t> n = parse_thread_count(text);
    return (n ? to_py(*n) : py_none()).release();
  });
}

constexpr Signature<3> kRange{"pool_map()", {"n", "min_len", "threads"}, 1};

// pool_map(n, min_len=1, threads=0): parallel_map_collect of mix(i) over range(n).
PyObject* pool_map(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRange.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    uint64_t min_len = optional_count("min_len", bound[1], 1);
    uint64_t threads = optional_count("threads", bound[2], 0);
    auto out = without_gil([&] {
      return with_thread_budget(threads, [&] {
        return parallel_map_collect<uint64_t>(n, [](size_t i) { return mix(i); }, with_min_len(min_len));
      });
    });
    return to_py_list(out).release();
  });
}

// pool_pieces(n, min_len=1, threads=0): the (begin, end) pieces parallel_for_each_range ran, in
// ascending order.
PyObject* pool_pieces(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kRange.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    uint64_t min_len = optional_count("min_len", bound[1], 1);
    uint64_t threads = optional_count("threads", bound[2], 0);
    auto pieces = without_gil([&] {
      std::mutex mutex;
      std::vector<std::pair<uint64_t, uint64_t>> seen;
      with_thread_budget(threads, [&] {
        parallel_for_each_range(
            n, [&](size_t begin, size_t end) {
              std::lock_guard<std::mutex> lock(mutex);
              seen.emplace_back(begin, end);
            },
            min_len);
      });
      std::sort(seen.begin(), seen.end());
      return seen;
    });
    return to_py_list(pieces, [](const std::pair<uint64_t, uint64_t>& p) {
             return to_py_tuple(to_py(p.first), to_py(p.second));
           })
        .release();
  });
}

constexpr Signature<4> kFilterMap{"pool_filter_map()", {"n", "modulus", "min_len", "threads"}, 2};

// pool_filter_map(n, modulus, min_len=1, threads=0): mix(i) for the i in range(n) with
// mix(i) % modulus == 0, through parallel_filter_map.
PyObject* pool_filter_map(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFilterMap.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    uint64_t modulus = std::max<uint64_t>(arg("modulus", bound[1], to_count), 1);
    uint64_t min_len = optional_count("min_len", bound[2], 1);
    uint64_t threads = optional_count("threads", bound[3], 0);
    auto out = without_gil([&] {
      return with_thread_budget(threads, [&] {
        return parallel_filter_map<uint64_t>(
            n, [&](size_t i) -> std::optional<uint64_t> {
              uint64_t v = mix(i);
              if (v % modulus == 0) return v;
              return std::nullopt;
            },
            min_len);
      });
    });
    return to_py_list(out).release();
  });
}

constexpr Signature<4> kFilter{"pool_filter()", {"values", "modulus", "min_len", "threads"}, 2};

// pool_filter(values, modulus, min_len=1, threads=0): the values divisible by modulus, through
// parallel_filter.
PyObject* pool_filter(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFilter.bind(args, kwargs);
    auto values = arg("values", bound[0], [](PyObject* o) { return to_vector(o, to_count); });
    uint64_t modulus = std::max<uint64_t>(arg("modulus", bound[1], to_count), 1);
    uint64_t min_len = optional_count("min_len", bound[2], 1);
    uint64_t threads = optional_count("threads", bound[3], 0);
    auto out = without_gil([&] {
      return with_thread_budget(threads, [&] {
        return parallel_filter(values, [&](uint64_t v) { return v % modulus == 0; }, min_len);
      });
    });
    return to_py_list(out).release();
  });
}

constexpr Signature<3> kSort{"pool_sort_keyed()", {"keys", "key_modulus", "threads"}, 1};

// pool_sort_keyed(keys, key_modulus=0, threads=0): parallel_sort of the pairs (key, position)
// compared by key only (key % key_modulus when key_modulus > 0, to force many equal keys).
// Returns the sorted pairs.
PyObject* pool_sort_keyed(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kSort.bind(args, kwargs);
    auto keys = arg("keys", bound[0], [](PyObject* o) { return to_vector(o, to_count); });
    uint64_t key_modulus = optional_count("key_modulus", bound[1], 0);
    uint64_t threads = optional_count("threads", bound[2], 0);
    using Item = std::pair<uint64_t, uint64_t>;
    auto items = without_gil([&] {
      std::vector<Item> v(keys.size());
      for (size_t i = 0; i < keys.size(); ++i) v[i] = {key_modulus ? keys[i] % key_modulus : keys[i], i};
      with_thread_budget(threads, [&] { parallel_sort(v, [](const Item& x, const Item& y) { return x.first < y.first; }); });
      return v;
    });
    return to_py_list(items, [](const Item& p) { return to_py_tuple(to_py(p.first), to_py(p.second)); }).release();
  });
}

constexpr Signature<3> kFail{"pool_fail_at()", {"n", "fail_at", "threads"}, 2};

// pool_fail_at(n, fail_at, threads=0): parallel_for_each over range(n) whose element fail_at
// throws InternalError("element <fail_at> failed"); returns n when nothing failed.
PyObject* pool_fail_at(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFail.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    uint64_t fail_at = arg("fail_at", bound[1], to_count);
    uint64_t threads = optional_count("threads", bound[2], 0);
    uint64_t ran = without_gil([&] {
      std::atomic<uint64_t> count{0};
      with_thread_budget(threads, [&] {
        parallel_for_each(n, [&](size_t i) {
          if (i == fail_at) internal_failure("element " + std::to_string(i) + " failed");
          count.fetch_add(1, std::memory_order_relaxed);
        });
      });
      return count.load();
    });
    return to_py(ran).release();
  });
}

constexpr Signature<2> kForkFail{"pool_fork_join_failure()", {"which", "threads"}, 1};

// Some work that takes a little while, so that the other side of a fork_join is still running
// when the failing side throws.
uint64_t busy_work(uint64_t rounds) {
  uint64_t x = 1;
  for (uint64_t i = 0; i < rounds; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
  return x;
}

// pool_fork_join_failure(which, threads=0): fork_join in which side `which` ("a", "b" or
// "both") throws at once while the other side works for a while and then records that it
// finished. The failure is caught in C++ after fork_join returns: (message, other_side_finished).
PyObject* pool_fork_join_failure(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kForkFail.bind(args, kwargs);
    std::string which = arg("which", bound[0], to_string);
    uint64_t threads = optional_count("threads", bound[1], 0);
    struct Caught {
      std::string message;
      bool other_finished;
    };
    Caught caught = without_gil([&] {
      return with_thread_budget(threads, [&] {
        std::atomic<bool> finished{false};
        std::atomic<uint64_t> sink{0};
        auto side = [&](const char* name) {
          if (which == name || which == "both") internal_failure(std::string("side ") + name + " failed");
          sink.fetch_add(busy_work(20'000'000));
          finished.store(true);
        };
        try {
          fork_join([&] { side("a"); }, [&] { side("b"); });
          return Caught{"", finished.load()};
        } catch (const InternalError& e) {
          return Caught{e.what(), finished.load()};
        }
      });
    });
    return to_py_tuple(py_text(caught.message), py_bool(caught.other_finished)).release();
  });
}

constexpr Signature<3> kNested{"pool_nested_install()", {"outer_threads", "inner_workers", "n"}, 3};

// pool_nested_install(outer_threads, inner_workers, n): runs a parallel map over range(n) under
// the outer budget whose every element installs a small parallel sum into a second pool of
// inner_workers workers. Element i is (worker count seen inside the second pool, sum of mix(i+k)
// for k < 64).
PyObject* pool_nested_install(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kNested.bind(args, kwargs);
    uint64_t outer = arg("outer_threads", bound[0], to_count);
    uint64_t inner_workers = arg("inner_workers", bound[1], to_count);
    uint64_t n = arg("n", bound[2], to_count);
    using Item = std::pair<uint64_t, uint64_t>;
    auto out = without_gil([&] {
      WorkerPool inner(inner_workers);
      return with_thread_budget(outer, [&] {
        return parallel_map_collect<Item>(n, [&](size_t i) {
          return inner.install([&] {
            auto parts = parallel_map_collect<uint64_t>(64, [&](size_t k) { return mix(i + k); });
            uint64_t sum = 0;
            for (uint64_t p : parts) sum += p;
            return Item{current_worker_count(), sum};
          });
        });
      });
    });
    return to_py_list(out, [](const Item& p) { return to_py_tuple(to_py(p.first), to_py(p.second)); }).release();
  });
}

constexpr Signature<1> kShared{"pool_install_held()", {"n"}, 1};

// pool_install_held(n): installs a parallel map of mix(i) over range(n) into one pool of three
// workers held by this module for the whole process (as a long-lived handle keeps its pool), so
// that several Python threads install into the same pool at once.
PyObject* pool_install_held(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kShared.bind(args, kwargs);
    uint64_t n = arg("n", bound[0], to_count);
    auto out = without_gil([&] {
      static const WorkerPool held(3);
      return held.install([&] { return parallel_map_collect<uint64_t>(n, [](size_t i) { return mix(i); }); });
    });
    return to_py_list(out).release();
  });
}

constexpr Signature<1> kDepth{"pool_fork_order()", {"depth"}, 1};

// pool_fork_order(depth): on a pool of one worker, a complete binary tree of fork_join calls of
// the given depth; returns the leaves in the order they ran.
PyObject* pool_fork_order(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kDepth.bind(args, kwargs);
    uint64_t depth = std::min<uint64_t>(arg("depth", bound[0], to_count), 16);
    auto order = without_gil([&] {
      std::mutex mutex;
      std::vector<uint64_t> leaves;
      auto visit = [&](auto& self, uint64_t level, uint64_t index) -> void {
        if (level == depth) {
          std::lock_guard<std::mutex> lock(mutex);
          leaves.push_back(index);
          return;
        }
        fork_join([&] { self(self, level + 1, 2 * index); }, [&] { self(self, level + 1, 2 * index + 1); });
      };
      WorkerPool one(1);
      one.install([&] { visit(visit, 0, 0); });
      return leaves;
    });
    return to_py_list(order).release();
  });
}

constexpr Signature<1> kConcurrency{"pool_concurrency()", {"concurrency"}, 0};

// pool_concurrency(concurrency="cpu"): the canonical name of the parsed mode, through the binding
// helper every entry point uses (ValueError for an unknown text).
PyObject* pool_concurrency(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kConcurrency.bind(args, kwargs);
    ConcurrencyMode mode = concurrency_arg(bound[0], "cpu");
    return py_text(concurrency_name(mode)).release();
  });
}

constexpr Signature<1> kLimit{"pool_limit_thread_starts()", {"n"}, 1};

// pool_limit_thread_starts(n): from now on only n more worker threads start in this module (None
// lifts the limit); the starts after that fail as if the system had no threads left.
PyObject* pool_limit_thread_starts(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kLimit.bind(args, kwargs);
    long n = bound[0] == Py_None ? -1 : static_cast<long>(arg("n", bound[0], to_count));
    simsieve::detail::limit_thread_starts_for_testing(n);
    return py_none().release();
  });
}

PyMethodDef pool_functions[] = {
    SIMSIEVE_TEST_ENTRY("pool_limit_thread_starts", pool_limit_thread_starts),
    SIMSIEVE_TEST_ENTRY("pool_budget_identity", pool_budget_identity),
    SIMSIEVE_TEST_ENTRY("pool_requested_size", pool_requested_size),
    SIMSIEVE_TEST_ENTRY("pool_current_worker_count", pool_current_worker_count),
    SIMSIEVE_TEST_ENTRY("pool_size_rule", pool_size_rule),
    SIMSIEVE_TEST_ENTRY("pool_parse_count", pool_parse_count),
    SIMSIEVE_TEST_ENTRY("pool_map", pool_map),
    SIMSIEVE_TEST_ENTRY("pool_pieces", pool_pieces),
    SIMSIEVE_TEST_ENTRY("pool_filter_map", pool_filter_map),
    SIMSIEVE_TEST_ENTRY("pool_filter", pool_filter),
    SIMSIEVE_TEST_ENTRY("pool_sort_keyed", pool_sort_keyed),
    SIMSIEVE_TEST_ENTRY("pool_fail_at", pool_fail_at),
    SIMSIEVE_TEST_ENTRY("pool_fork_join_failure", pool_fork_join_failure),
    SIMSIEVE_TEST_ENTRY("pool_nested_install", pool_nested_install),
    SIMSIEVE_TEST_ENTRY("pool_install_held", pool_install_held),
    SIMSIEVE_TEST_ENTRY("pool_fork_order", pool_fork_order),
    SIMSIEVE_TEST_ENTRY("pool_concurrency", pool_concurrency),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_pool_functions(PyObject* module) { return PyModule_AddFunctions(module, pool_functions); }

}  // namespace simsieve::py::testing
