#!/usr/bin/env bash
# Cross-compile the kernel harness (bench/kernels_bench.cpp, kernel headers
# only) for aarch64, run its bit-for-bit checks under qemu-aarch64 on the
# beat and downbeat models, and compare the results with the native build's:
# the same bits on every platform.  Installs the cross compiler and qemu
# through apt-get when they are missing (as root), or says what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=build/cross-check
PY=.venv/bin/python
FLAGS=(-std=c++20 -O3 -ffp-contract=off -fno-math-errno -DNDEBUG -Wall -Wno-psabi
       -Isrc/cadentia/model)

need() {  # package, command it provides
  if ! command -v "$2" >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "error: $2 is missing: install the Debian package $1 (apt-get install $1)" >&2
      exit 1
    fi
    dpkg -s "$1" >/dev/null 2>&1 || { apt-get update && apt-get install -y "$1"; }
  fi
}
need g++-aarch64-linux-gnu aarch64-linux-gnu-g++
need qemu-user qemu-aarch64

mkdir -p "$OUT"
g++ "${FLAGS[@]}" bench/kernels_bench.cpp -o "$OUT/kernels_bench.native"
aarch64-linux-gnu-g++ "${FLAGS[@]}" bench/kernels_bench.cpp -o "$OUT/kernels_bench.aarch64"

# Short sequences: the harness's scalar reference runs under emulation too.
"$PY" - "$OUT" <<'PY'
import sys
from pathlib import Path
sys.path.insert(0, "bench")
import workloads as m
from cadentia.model import _kernels

out = Path(sys.argv[1])
for name, build, activation, densities, frames in (
        ("beat", m.benchmark_model, m.synthetic_activation, m.benchmark_densities, 3000),
        ("downbeat", m.downbeat_model, m.synthetic_downbeat_activation, m.downbeat_densities, 300)):
    model = build()
    act = activation(num_frames=frames, seed=2)
    layouts = [_kernels._split_layout(model["pred"], model["ptr"], model[w], model["columns"], i)
               for w, i in (("log_prob", 0.0), ("prob", 1.0))]
    for platform in ("native", "aarch64"):
        m.write_model_files(out / f"{name}.{platform}", model, *layouts,
                            densities(act, log=True), densities(act, log=False), 128)
PY

status=0
for name in beat downbeat; do
  "$OUT/kernels_bench.native" --dir "$OUT/$name.native" --verify-only > "$OUT/$name.native.txt"
  if ! qemu-aarch64 -L /usr/aarch64-linux-gnu "$OUT/kernels_bench.aarch64" \
        --dir "$OUT/$name.aarch64" --verify-only > "$OUT/$name.aarch64.txt"; then
    echo "FAILED: aarch64 harness checks on the $name model" >&2
    status=1
  fi
  grep -c " ok " "$OUT/$name.aarch64.txt" | xargs echo "$name model: aarch64 checks passed:"
  grep FAILED "$OUT/$name.aarch64.txt" >&2 && status=1
  # The aarch64 build has the portable form only; it must match every native form.
  result() { grep "^result viterbi_log_probability.$2 " "$1" | cut -d' ' -f3; }
  expected="$(result "$OUT/$name.aarch64.txt" portable)"
  for form in $(grep '^form ' "$OUT/$name.native.txt" | cut -d' ' -f2); do
    if [ "$(result "$OUT/$name.native.txt" "$form")" != "$expected" ] ||
       ! cmp -s "$OUT/$name.native/viterbi_path.$form.out" "$OUT/$name.aarch64/viterbi_path.portable.out" ||
       ! cmp -s "$OUT/$name.native/forward_states.$form.out" "$OUT/$name.aarch64/forward_states.portable.out"; then
      echo "FAILED: $name model: native $form form and aarch64 differ" >&2
      status=1
    else
      echo "$name model: native $form form and aarch64 portable form agree bit for bit"
    fi
  done
done
exit $status
