#!/usr/bin/env bash
# The module under valgrind's memcheck: a subset of the test suite that
# reaches every entry point and every kernel path (all three forms of both
# recursions, the layout split, argument matching, array views, failures),
# run by an interpreter whose small objects go through malloc, so that
# memcheck sees every allocation.  Fails on any invalid read or write or use
# of an uninitialised value in the module's code; what belongs to the
# interpreter or NumPy is suppressed (tools/memcheck.supp).  The check
# AddressSanitizer cannot do: uninitialised values.  Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD="${MEMCHECK_BUILD:-build/memcheck}"
if ! command -v valgrind >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: valgrind is missing: install the Debian package valgrind" >&2
    exit 1
  fi
  dpkg -s valgrind >/dev/null 2>&1 || { apt-get update && apt-get install -y valgrind; }
fi
# Optimised as shipped, with line tables for the reports.
make --no-print-directory dev BUILD="$BUILD" CMAKE_ARGS="-DCMAKE_CXX_FLAGS=-g"

stage="$(pwd)/$BUILD/stage"
supp="$(pwd)/tools/memcheck.supp"
cd tests
[ $# -gt 0 ] || set -- test_viterbi.py test_forward_decoder.py test_layout.py \
    test_arguments.py test_array_view.py test_safety.py test_module.py test_forms.py
exec env PYTHONMALLOC=malloc PYTHONPATH="$stage" CADENTIA_FUZZ="${CADENTIA_FUZZ:-ci}" \
    valgrind --tool=memcheck --error-exitcode=3 --leak-check=no --track-origins=yes \
    --suppressions="$supp" --num-callers=30 --trace-children=no \
    ../.venv/bin/python -m pytest -q -p no:cacheprovider -x "$@"
