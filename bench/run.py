"""Benchmarks of both decoders, printed as one table.

Builds the benchmark model (82 tempo lanes, 5,617 states, two observation
columns) and 30,000 frames of synthetic beat activation, writes the model,
both layouts and the densities to bench/out/, compiles and runs the C++
harness (kernels_bench.cpp: each recursion against its floor loop), then
times the Python entry points against the kernels alone, the pure-NumPy
models of the tests, and two threads decoding at once.

Every figure is the best of several repetitions, and every ratio is taken
from one run of this script.  Results are checked before they are timed:
the harness against its own scalar loops, `decode` and `step` against the
harness, and the NumPy models against `decode` and `step`.

    make bench
    PYTHONPATH=build/<dir>/stage .venv/bin/python bench/run.py [--no-v3]
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
OUT = BENCH / "out"
KERNEL_HEADERS = ROOT / "src" / "cadentia" / "model"
# The module's own optimisation flags (CMakeLists.txt).
CXXFLAGS = ["-std=c++20", "-O3", "-ffp-contract=off", "-fno-math-errno", "-DNDEBUG"]

NUM_FRAMES = 30_000
SHORT_FRAMES = 100
NUMPY_FRAMES = 300
RENORM_PERIOD = 1024  # decode's default

sys.path.insert(0, str(BENCH))

from cadentia.model import _kernels  # noqa: E402
from model import benchmark_densities, benchmark_model, synthetic_activation  # noqa: E402


# ---------------------------------------------------------------------------
# The benchmark model


def build_model():
    """The model's arrays, and two sequences of (log, linear) densities."""
    space = benchmark_model()
    model = {name: np.ascontiguousarray(space[name], dtype=dtype)
             for name, dtype in (("pred", np.uint32), ("ptr", np.uint32),
                                 ("log_prob", np.float32), ("prob", np.float32),
                                 ("columns", np.uint32), ("log_initial", np.float32),
                                 ("initial", np.float32))}
    sequences = []
    for seed in (0, 1):  # the second one for the two-thread figure
        act = synthetic_activation(num_frames=NUM_FRAMES, seed=seed)
        sequences.append((benchmark_densities(act, log=True), benchmark_densities(act, log=False)))
    return model, sequences


def layouts(model):
    args = (model["pred"], model["ptr"])
    vit = _kernels._split_layout(*args, model["log_prob"], model["columns"], 0.0)
    fwd = _kernels._split_layout(*args, model["prob"], model["columns"], 1.0)
    return ({k: np.asarray(v) for k, v in vit.items()},
            {k: np.asarray(v) for k, v in fwd.items()})


_DTYPES = {np.dtype(np.uint32): ("u32", "<u4"), np.dtype(np.int64): ("i64", "<i8"),
           np.dtype(np.float32): ("f32", "<f4")}


def write_model(model, vit, fwd, log_dens, dens):
    OUT.mkdir(exist_ok=True)
    arrays = dict(model, log_dens=log_dens, dens=dens)
    arrays.update({"vit_" + k: v for k, v in vit.items()})
    arrays.update({"fwd_" + k: v for k, v in fwd.items()})
    lines = [f"scalar num_states {len(model['ptr']) - 1}",
             f"scalar num_frames {log_dens.shape[0]}",
             f"scalar num_cols {log_dens.shape[1]}",
             f"scalar renorm_period {RENORM_PERIOD}"]
    for name, array in arrays.items():
        kind, little = _DTYPES[array.dtype]
        array.astype(little).tofile(OUT / f"{name}.bin")
        lines.append(f"array {name} {kind} {array.size}")
    (OUT / "model.txt").write_text("\n".join(lines) + "\n")


# ---------------------------------------------------------------------------
# The C++ harness


def compile_harness(name, extra_flags):
    cxx = shutil.which("g++")
    if cxx is None:
        sys.exit("error: g++ not found on PATH")
    binary = OUT / name
    cmd = [cxx, *CXXFLAGS, *extra_flags, f"-I{KERNEL_HEADERS}",
           str(BENCH / "kernels_bench.cpp"), "-o", str(binary)]
    subprocess.run(cmd, check=True)
    return binary


def run_harness(binary, *args):
    proc = subprocess.run([str(binary), "--dir", str(OUT), *args],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stdout.write(proc.stdout)
        sys.stderr.write(proc.stderr)
        raise RuntimeError(f"{binary.name} failed with exit status {proc.returncode}")
    times, checks, results = {}, [], {}
    for line in proc.stdout.splitlines():
        fields = line.split()
        if fields[:1] == ["time"]:
            times[(fields[1], int(fields[2]))] = float(fields[3])  # best of the repetitions
        elif fields[:1] == ["check"]:
            checks.append(" ".join(fields[1:]))
        elif fields[:1] == ["result"]:
            results[fields[1]] = float(fields[2])
        elif fields[:1] == ["model"]:
            results["model"] = " ".join(fields[1:])
    return times, checks, results


# ---------------------------------------------------------------------------
# Python-level timing


def best_of(reps, func, setup=None):
    best = float("inf")
    for _ in range(reps):
        if setup:
            setup()
        start = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - start)
    return best


def decode_args(model, log_dens):
    return (model["pred"], model["ptr"], model["log_prob"], log_dens, model["columns"],
            model["log_initial"])


def time_decode(model, log_dens, reps):
    args = decode_args(model, log_dens)
    return best_of(reps, lambda: _kernels.decode(*args))


def time_steps(model, dens, chunk_sizes, reps):
    """Best time of `step` over all frames for each chunk size, the sizes
    interleaved in every repetition so that a busy machine slows them alike;
    and the states of each."""
    fd = _kernels.ForwardDecoder(model["pred"], model["ptr"], model["prob"], model["columns"],
                                 model["initial"])
    # The chunks are views made beforehand: the figure is the cost of `step`.
    chunked = {size: [dens[i:i + size] for i in range(0, dens.shape[0], size)]
               for size in chunk_sizes}
    states = {}
    for size, chunks in chunked.items():
        fd.reset()
        states[size] = np.concatenate([fd.step(c) for c in chunks])
    best = dict.fromkeys(chunk_sizes, float("inf"))
    for _ in range(reps):
        for size, chunks in chunked.items():
            fd.reset()
            start = time.perf_counter()
            for c in chunks:
                fd.step(c)
            best[size] = min(best[size], time.perf_counter() - start)
    return best, states


def time_threads(model, log_dens_a, log_dens_b, reps):
    """Wall time of one thread decoding one sequence and of two threads
    decoding one sequence each, started together, interleaved; and the
    process's CPU time over the wall time of the best two-thread run (near
    2 when both threads ran at once, near 1 when only one CPU was free)."""

    def wall(sequences):
        barrier = threading.Barrier(len(sequences) + 1)

        def work(log_dens):
            barrier.wait()
            _kernels.decode(*decode_args(model, log_dens))

        threads = [threading.Thread(target=work, args=(ld,)) for ld in sequences]
        for t in threads:
            t.start()
        barrier.wait()
        start, cpu_start = time.perf_counter(), time.process_time()
        for t in threads:
            t.join()
        return time.perf_counter() - start, time.process_time() - cpu_start

    one = two = (float("inf"), 0.0)
    for _ in range(reps):
        one = min(one, wall([log_dens_a]))
        two = min(two, wall([log_dens_a, log_dens_b]))
    return one[0], two[0], two[1] / two[0]


def numpy_models():
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import reference
    except ImportError:
        return None, None
    return (getattr(reference, "viterbi_reference", None),
            getattr(reference, "ForwardReference", None))


# ---------------------------------------------------------------------------
# Report


def ms(seconds):
    if seconds >= 1.0:
        return f"{seconds:.3g} s"
    return f"{seconds * 1e3:.3g} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.3g} µs"


def ratio_text(value):
    return f"{value:.3g}" if value >= 0.1 else f"1/{1 / value:.0f}"


class Table:
    def __init__(self):
        self.rows = []

    def ratio(self, figure, num, den, target=None, detail=None):
        """A row num/den, met when at most `target` (a number) if one is given."""
        value = num / den
        if target is None:
            shown, met = "—", ""
        else:
            shown = f"≤ {ratio_text(target)}"
            met = "yes" if value <= target else "NO"
        detail = detail or f"{ms(num)} / {ms(den)}"
        self.rows.append((figure, f"{ratio_text(value)} ({detail})", shown, met))

    def info(self, figure, value):
        self.rows.append((figure, value, "—", ""))

    def print(self):
        header = ("figure", "value", "target", "met?")
        widths = [max(len(r[i]) for r in [header, *self.rows]) for i in range(4)]
        line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
        print(line(header))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(line(r))


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, " \
           f"Python {platform.python_version()}, NumPy {np.__version__}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-v3", action="store_true",
                        help="skip the information build for x86-64-v3")
    opts = parser.parse_args()
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    log = lambda msg: print(f"[{time.perf_counter() - started:5.1f} s] {msg}", file=sys.stderr,
                            flush=True)

    model, sequences = build_model()
    (log_dens, dens), (log_dens_2, _) = sequences
    vit, fwd = layouts(model)
    write_model(model, vit, fwd, log_dens, dens)
    log(f"model: {len(model['ptr']) - 1} states, {len(model['pred'])} edges, "
        f"{len(vit['bnd_state'])} boundary states, {len(vit['bnd_src'])} boundary edges, "
        f"{len(vit['run_lo'])} runs; {log_dens.shape[0]} frames")

    binary = compile_harness("kernels_bench", [])
    times, checks, results = run_harness(binary, "--short-frames", str(SHORT_FRAMES))
    for c in checks:
        log(f"harness check: {c}")

    # The harness ran the same work as the module: same path, same score.
    path, log_probability = _kernels.decode(*decode_args(model, log_dens))
    cpp_path = np.fromfile(OUT / "viterbi_path.out", dtype="<i8")
    if not (np.array_equal(path, cpp_path)
            and log_probability == results["viterbi_log_probability"]):
        sys.exit("error: decode and the harness's Viterbi recursion disagree")
    log("decode matches the harness's recursion")
    log("timing decode")
    t_decode = time_decode(model, log_dens, 9)
    t_decode_short = time_decode(model, np.ascontiguousarray(log_dens[:SHORT_FRAMES]), 300)

    log("timing ForwardDecoder.step")
    step_times, step_states = time_steps(model, dens, (NUM_FRAMES, 64, 1), 3)
    t_step_1chunk, t_step_64, t_step_1 = (step_times[n] for n in (NUM_FRAMES, 64, 1))
    states = step_states[NUM_FRAMES]
    cpp_states = np.fromfile(OUT / "forward_states.out", dtype="<u4")
    if not np.array_equal(states, cpp_states):
        sys.exit("error: ForwardDecoder.step and the harness's forward recursion disagree")
    if not (np.array_equal(step_states[64], states) and np.array_equal(step_states[1], states)):
        sys.exit("error: ForwardDecoder.step depends on the chunking")

    log("timing two threads")
    t_one_thread, t_two_threads, parallelism = time_threads(model, log_dens, log_dens_2, 7)

    viterbi_np, forward_np = numpy_models()
    t_np_vit = t_np_fwd = None
    if viterbi_np is not None:
        log(f"timing the NumPy models on {NUMPY_FRAMES} frames")
        short = np.ascontiguousarray(log_dens[:NUMPY_FRAMES])
        args = decode_args(model, short)
        expected = _kernels.decode(*args)
        got = viterbi_np(*args, renorm_period=RENORM_PERIOD, layout=vit)
        if not (np.array_equal(got[0], expected[0]) and got[1] == expected[1]):
            sys.exit("error: the NumPy Viterbi model and decode disagree")
        t_np_vit = best_of(1, lambda: viterbi_np(*args, renorm_period=RENORM_PERIOD, layout=vit))
    if forward_np is not None:
        short = np.ascontiguousarray(dens[:NUMPY_FRAMES])
        ref = forward_np(model["pred"], model["ptr"], model["prob"], model["columns"],
                         model["initial"], layout=fwd)
        if not np.array_equal(ref.step(short), states[:NUMPY_FRAMES]):
            sys.exit("error: the NumPy forward model and ForwardDecoder.step disagree")
        ref.reset()
        t_np_fwd = best_of(1, lambda: ref.step(short), setup=ref.reset)

    v3 = None
    if not opts.no_v3:
        log("information build for x86-64-v3")
        try:
            v3_binary = compile_harness("kernels_bench_v3", ["-march=x86-64-v3"])
            v3 = run_harness(v3_binary, "--reps", "5", "--short-reps", "1")
        except (subprocess.CalledProcessError, RuntimeError) as exc:
            log(f"x86-64-v3 build skipped: {exc}")

    # ---- the table
    T, S = NUM_FRAMES, SHORT_FRAMES
    vit_rec = times[("viterbi_recursion", T)]
    fwd_rec = times[("forward_recursion", T)]
    table = Table()
    table.ratio(f"Viterbi recursion / floor loop, {T:,} frames", vit_rec,
                times[("viterbi_floor", T)], 1.5)
    table.ratio(f"forward recursion / serial-sum floor, {T:,} frames", fwd_rec,
                times[("forward_floor", T)], 1.3)
    table.ratio(f"decode end to end / Viterbi recursion alone, {T:,} frames", t_decode, vit_rec,
                1.1)
    table.ratio(f"decode end to end / Viterbi recursion alone, {S} frames", t_decode_short,
                times[("viterbi_recursion", S)], 2)
    table.ratio(f"step over {T:,} frames: chunks of 1 / one chunk", t_step_1, t_step_1chunk, 1.5)
    table.ratio("two threads, two sequences / one thread, one sequence (wall)", t_two_threads,
                t_one_thread, 1.2)
    if t_np_vit is not None:
        per_np = t_np_vit / NUMPY_FRAMES
        per_decode = t_decode / T
        table.ratio(f"decode / pure-NumPy Viterbi, per frame (NumPy on {NUMPY_FRAMES} frames)",
                    per_decode, per_np, 1 / 100,
                    f"{ms(per_decode)} / {ms(per_np)} per frame")
    else:
        table.info("decode / pure-NumPy Viterbi", "tests/reference.py not found")
    table.ratio(f"step over {T:,} frames: chunks of 64 / one chunk", t_step_64, t_step_1chunk)
    table.ratio(f"step in one chunk / forward recursion alone, {T:,} frames", t_step_1chunk,
                fwd_rec)
    if t_np_fwd is not None:
        per_np = t_np_fwd / NUMPY_FRAMES
        per_step = t_step_1chunk / T
        table.ratio(f"step / pure-NumPy forward, per frame (NumPy on {NUMPY_FRAMES} frames)",
                    per_step, per_np, detail=f"{ms(per_step)} / {ms(per_np)} per frame")
    table.info("two threads: CPU time / wall time (2 = both ran at once)",
               f"{parallelism:.2f}")
    table.info("Viterbi recursion, per frame", ms(vit_rec / T))
    table.info("forward recursion, per frame", ms(fwd_rec / T))
    if v3 is not None:
        v3_times = v3[0]
        table.ratio("  x86-64-v3 build: Viterbi recursion / floor",
                    v3_times[("viterbi_recursion", T)], v3_times[("viterbi_floor", T)])
        table.ratio("  x86-64-v3 build: forward recursion / floor",
                    v3_times[("forward_recursion", T)], v3_times[("forward_floor", T)])
        table.ratio("  x86-64-v3 build / baseline build: Viterbi recursion",
                    v3_times[("viterbi_recursion", T)], vit_rec)
        table.ratio("  x86-64-v3 build / baseline build: forward recursion",
                    v3_times[("forward_recursion", T)], fwd_rec)
    log("done")
    print(f"\nMachine: {machine()}; load average {load_before:.2f} at the start, "
          f"{os.getloadavg()[0]:.2f} at the end")
    print(f"Model: {results['model']}; best of several repetitions each; "
          f"C++ harness built with g++ {' '.join(CXXFLAGS)}\n")
    table.print()


if __name__ == "__main__":
    main()
