// The `concurrency` argument of an entry point: converted as a string, then parsed; an unknown
// text raises ValueError with the parser's message.
//
// Entry points convert all their arguments first and parse `concurrency` last:
//   std::string text = concurrency_text(bound[2], "cpu");       // TypeError "argument 'concurrency': ..."
//   uint64_t threads = bound[3] ? arg("threads", bound[3], to_count) : 0;
//   ConcurrencyMode mode = concurrency_or_raise(text);          // ValueError "unknown concurrency ..."
// or, when nothing is converted after it, in one step:
//   ConcurrencyMode mode = concurrency_arg(bound[0], "gpu+cpu");
#pragma once

#include <Python.h>

#include <string>

#include "pool/concurrency.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace simsieve::py {

// The argument's text, or default_text when it was not given (obj == nullptr).
inline std::string concurrency_text(PyObject* obj, const char* default_text) {
  return obj ? arg("concurrency", obj, to_string) : std::string(default_text);
}

// The parsed mode; raises ValueError (throws PythonError) for an unknown text.
inline ConcurrencyMode concurrency_or_raise(const std::string& text) {
  ConcurrencyParse parsed = parse_concurrency(text);
  if (!parsed.mode) throw_error(PyExc_ValueError, parsed.error.c_str());
  return *parsed.mode;
}

inline ConcurrencyMode concurrency_arg(PyObject* obj, const char* default_text) {
  return concurrency_or_raise(concurrency_text(obj, default_text));
}

}  // namespace simsieve::py
