#!/usr/bin/env bash
# Build the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# run the whole test suite against it.  Extra arguments go to pytest;
# SANITIZE_BUILD and SANITIZE_CMAKE_ARGS choose another build (the baseline
# kernels, say).
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it.  Leak detection is off: the interpreter leaves its own
# allocations to the operating system at exit; the test suite checks the
# module's references and memory itself.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD="${SANITIZE_BUILD:-build/sanitize}"
CXX="${CXX:-g++}"

make --no-print-directory dev BUILD="$BUILD" \
    CMAKE_ARGS="-DCADENTIA_SANITIZE=ON ${SANITIZE_CMAKE_ARGS:-}"

asan="$("$CXX" -print-file-name=libasan.so)"
ubsan="$("$CXX" -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
  if [ ! -e "$lib" ]; then
    echo "error: sanitizer runtime not found: $lib (from $CXX -print-file-name)" >&2
    exit 1
  fi
done

stage="$(pwd)/$BUILD/stage"
cd tests
[ $# -gt 0 ] || set -- .
# --capture=sys: the tests' output is still captured, but a sanitizer report
# goes straight to the terminal instead of dying with the process in
# pytest's capture file.
# PYTHONMALLOC=malloc sends the interpreter's small objects through the
# sanitizer's allocator too, so overruns into them are seen.
# allocator_may_return_null: an impossible allocation becomes NumPy's
# MemoryError, as in an ordinary build, instead of a sanitizer abort.
# Tests marked numpy_only run none of the module's code: left out here.
exec env LD_PRELOAD="$asan $ubsan" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$stage" \
    ../.venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys -m "not numpy_only" "$@"
