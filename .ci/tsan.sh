#!/usr/bin/env bash
# ThreadSanitizer run of the worker-pool, batch-ratio and long-list search tests, and of the stress test that drives
# every entry point (clustering, LSH, the join, the handles) from many Python threads at once. Builds the extension with
# -fsanitize=thread into its own venv, preloads the TSan runtime into the interpreter (which is
# not instrumented itself) and fails on any report, from the test process or from the
# subprocesses some tests start.
#
# The sanitizer build compiles thread_local variables with the initial-exec TLS model: with the
# default model, glibc allocates a dlopen()ed module's thread-local block lazily and later frees
# it from whichever thread reuses the dead thread's stack; TSan cannot see the ordering glibc
# provides there and would report that free as a race with the dead thread's last writes.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1

python=${PYTHON:-python3}
venv=.venv-tsan
"$python" -m venv "$venv"
"$venv/bin/pip" install -q \
  -C build-dir=build/tsan \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.SIMSIEVE_WERROR=ON \
  -C cmake.define.SIMSIEVE_SANITIZE=thread \
  -C cmake.define.SIMSIEVE_TESTING_MODULE=ON \
  -C cmake.define.CMAKE_CXX_FLAGS=-ftls-model=initial-exec \
  . 'pytest>=7' 'hypothesis>=6'

runtime=$(${CXX:-g++} -print-file-name=libtsan.so)
[ -e "$runtime" ] || { echo "libtsan.so not found ($runtime)" >&2; exit 1; }

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
SIMSIEVE_TEST_PROFILE=sanitize \
SIMSIEVE_STRESS_ROUNDS=2 \
LD_PRELOAD="$runtime" \
TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=$logs/tsan" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_pool.py tests/test_ratio_many.py tests/test_stress.py \
  "tests/test_search.py::test_long_lists_are_scanned_while_they_are_read" || status=$?

if compgen -G "$logs/tsan.*" >/dev/null; then
  echo "== ThreadSanitizer reports" >&2
  cat "$logs"/tsan.* >&2
  exit 1
fi
exit "$status"
