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
memcheck=(valgrind --tool=memcheck --error-exitcode=3 --leak-check=no
          --track-origins="${MEMCHECK_ORIGINS:-no}" --suppressions="$supp" --num-callers=30)

# Every form of both recursions, through the C++ harness on short sequences
# of the beat and downbeat models (the module itself runs the widest form).
g++ -std=c++20 -O3 -g -ffp-contract=off -fno-math-errno -DNDEBUG -Wno-psabi \
    -Isrc/cadentia/model bench/kernels_bench.cpp -o "$BUILD/kernels_bench"
PYTHONPATH="$stage" .venv/bin/python - "$BUILD" <<'PY'
import sys
from pathlib import Path
sys.path.insert(0, "bench")
import workloads as m
from cadentia.model import _kernels

for name, build, activation, densities, frames in (
        ("beat", m.benchmark_model, m.synthetic_activation, m.benchmark_densities, 200),
        ("downbeat", m.downbeat_model, m.synthetic_downbeat_activation, m.downbeat_densities, 30)):
    model = build()
    act = activation(num_frames=frames, seed=3)
    layouts = [_kernels._split_layout(model["pred"], model["ptr"], model[w], model["columns"], i)
               for w, i in (("log_prob", 0.0), ("prob", 1.0))]
    m.write_model_files(Path(sys.argv[1]) / f"model-{name}", model, *layouts,
                        densities(act, log=True), densities(act, log=False), 64)
PY
for name in beat downbeat; do
  "${memcheck[@]}" -q "$BUILD/kernels_bench" --dir "$BUILD/model-$name" --verify-only >/dev/null
  echo "memcheck: kernel harness, $name model, every form: clean"
done

cd tests
[ $# -gt 0 ] || set -- test_viterbi.py test_forward_decoder.py test_layout.py \
    test_arguments.py test_array_view.py test_safety.py
# valgrind keeps no floating-point status flags, so NumPy's overflow
# warnings on casts never come: the tests of those are left out.
exec env PYTHONMALLOC=malloc PYTHONPATH="$stage" CADENTIA_FUZZ="${CADENTIA_FUZZ:-memcheck}" \
    "${memcheck[@]}" ../.venv/bin/python -m pytest -q -p no:cacheprovider -x \
    -k "not follows_errstate" "$@"
