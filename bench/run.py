"""Benchmarks of both decoders, printed as one table.

Builds the two benchmark models (the beat model: 82 tempo lanes, 5,617
states, two observation columns; the downbeat model: bars of 3 and 4 beats
over the same lanes, 39,319 states, three columns) and 30,000 frames of
synthetic activation for each, writes each model, both layouts and the
densities to bench/out/<model>/, compiles and runs the C++ harness
(kernels_bench.cpp: each recursion in every instruction-set form against its
floor loop), then times the Python entry points against the kernels alone,
the pure-NumPy models of the tests, and two threads decoding at once.

Every figure is the best of several repetitions, and every ratio is taken
from one run of this script.  Results are checked before they are timed:
the harness against its own scalar loops, `decode` and `step` against the
harness, and the NumPy models against `decode` and `step`.

    make bench
    PYTHONPATH=build/<dir>/stage .venv/bin/python bench/run.py [--models beat,downbeat]
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
DOWNBEAT_FRAMES = 10_000  # seven times the states: fewer frames for the same time
SHORT_FRAMES = 100
NUMPY_FRAMES = 300
RENORM_PERIOD = 1024  # decode's default

sys.path.insert(0, str(BENCH))

from cadentia.model import _kernels  # noqa: E402
from workloads import (benchmark_densities, benchmark_model, downbeat_densities,  # noqa: E402
                       downbeat_model, synthetic_activation, synthetic_downbeat_activation,
                       write_model_files)


# ---------------------------------------------------------------------------
# The benchmark model


def build_model(name):
    """A model's arrays, and two sequences of (log, linear) densities."""
    if name == "beat":
        space, activation, densities = benchmark_model(), synthetic_activation, benchmark_densities
    else:
        space, activation = downbeat_model(), synthetic_downbeat_activation
        densities = downbeat_densities
    model = {name: np.ascontiguousarray(space[name], dtype=dtype)
             for name, dtype in (("pred", np.uint32), ("ptr", np.uint32),
                                 ("log_prob", np.float32), ("prob", np.float32),
                                 ("columns", np.uint32), ("log_initial", np.float32),
                                 ("initial", np.float32))}
    sequences = []
    frames = NUM_FRAMES if name == "beat" else DOWNBEAT_FRAMES
    for seed in (0, 1):  # the second one for the two-thread figure
        act = activation(num_frames=frames, seed=seed)
        sequences.append((densities(act, log=True), densities(act, log=False)))
    return model, sequences


def layouts(model):
    args = (model["pred"], model["ptr"])
    vit = _kernels._split_layout(*args, model["log_prob"], model["columns"], 0.0)
    fwd = _kernels._split_layout(*args, model["prob"], model["columns"], 1.0)
    return ({k: np.asarray(v) for k, v in vit.items()},
            {k: np.asarray(v) for k, v in fwd.items()})


# ---------------------------------------------------------------------------
# The C++ harness


def compile_harness(name, extra_flags):
    cxx = shutil.which("g++")
    if cxx is None:
        sys.exit("error: g++ not found on PATH")
    binary = OUT / name
    OUT.mkdir(exist_ok=True)
    cmd = [cxx, *CXXFLAGS, *extra_flags, f"-I{KERNEL_HEADERS}",
           str(BENCH / "kernels_bench.cpp"), "-o", str(binary)]
    subprocess.run(cmd, check=True)
    return binary


def run_harness(binary, out, *args):
    proc = subprocess.run([str(binary), "--dir", str(out), *args],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stdout.write(proc.stdout)
        sys.stderr.write(proc.stderr)
        raise RuntimeError(f"{binary.name} failed with exit status {proc.returncode}")
    times, checks, results = {}, [], {"forms": []}
    for line in proc.stdout.splitlines():
        fields = line.split()
        if fields[:1] == ["form"]:
            results["forms"].append(fields[1])
        elif fields[:1] == ["time"]:
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


def harness_figures(binary, name, model, sequences, log, *args):
    """Writes the model's files, runs the harness on them (every form
    checked, then timed) and checks `decode` and `step` against it."""
    out = OUT / name
    (log_dens, dens), _ = sequences
    vit, fwd = layouts(model)
    write_model_files(out, model, vit, fwd, log_dens, dens, RENORM_PERIOD)
    log(f"{name} model: {len(model['ptr']) - 1} states, {len(model['pred'])} edges, "
        f"{len(vit['bnd_state'])} boundary states, {len(vit['bnd_src'])} boundary edges, "
        f"{len(vit['run_lo'])} runs; {log_dens.shape[0]} frames")
    times, checks, results = run_harness(binary, out, "--short-frames", str(SHORT_FRAMES), *args)
    for c in checks:
        log(f"harness check: {c}")
    widest = results["forms"][-1]
    # The harness ran the same work as the module: same path, same score.
    path, log_probability = _kernels.decode(*decode_args(model, log_dens))
    cpp_path = np.fromfile(out / f"viterbi_path.{widest}.out", dtype="<i8")
    if not (np.array_equal(path, cpp_path)
            and log_probability == results[f"viterbi_log_probability.{widest}"]):
        sys.exit(f"error: decode and the harness's Viterbi recursion disagree ({name} model)")
    fd = _kernels.ForwardDecoder(model["pred"], model["ptr"], model["prob"], model["columns"],
                                 model["initial"])
    cpp_states = np.fromfile(out / f"forward_states.{widest}.out", dtype="<u4")
    if not np.array_equal(fd.step(dens), cpp_states):
        sys.exit(f"error: ForwardDecoder.step and the harness's forward recursion disagree "
                 f"({name} model)")
    log(f"decode and step match the harness ({name} model)")
    return times, results, widest, vit, fwd


def form_rows(table, name, times, results, T):
    """Each form's speed over the portable form, both recursions."""
    for kernel in ("viterbi", "forward"):
        portable = times[(f"{kernel}_recursion.portable", T)]
        for form in results["forms"][1:]:
            table.ratio(f"  {name} model, {kernel}: {form} speed / portable speed", portable,
                        times[(f"{kernel}_recursion.{form}", T)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", default="beat,downbeat",
                        help="comma-separated models to run (beat, downbeat)")
    opts = parser.parse_args()
    models = opts.models.split(",")
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    log = lambda msg: print(f"[{time.perf_counter() - started:5.1f} s] {msg}", file=sys.stderr,
                            flush=True)
    binary = compile_harness("kernels_bench", [])
    T, S = NUM_FRAMES, SHORT_FRAMES
    table = Table()
    model_line = []

    if "beat" in models:
        model, sequences = build_model("beat")
        (log_dens, dens), (log_dens_2, _) = sequences
        times, results, widest, vit, fwd = harness_figures(binary, "beat", model, sequences, log,
                                                           "--reps", "15")
        model_line.append(f"beat model: {results['model']}")
        log("timing decode")
        t_decode = time_decode(model, log_dens, 9)
        t_decode_short = time_decode(model, np.ascontiguousarray(log_dens[:S]), 300)

        log("timing ForwardDecoder.step")
        step_times, step_states = time_steps(model, dens, (T, 64, 1), 3)
        t_step_1chunk, t_step_64, t_step_1 = (step_times[n] for n in (T, 64, 1))
        states = step_states[T]
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
            t_np_vit = best_of(1, lambda: viterbi_np(*args, renorm_period=RENORM_PERIOD,
                                                     layout=vit))
        if forward_np is not None:
            short = np.ascontiguousarray(dens[:NUMPY_FRAMES])
            ref = forward_np(model["pred"], model["ptr"], model["prob"], model["columns"],
                             model["initial"], layout=fwd)
            if not np.array_equal(ref.step(short), states[:NUMPY_FRAMES]):
                sys.exit("error: the NumPy forward model and ForwardDecoder.step disagree")
            ref.reset()
            t_np_fwd = best_of(1, lambda: ref.step(short), setup=ref.reset)

        vit_rec = times[(f"viterbi_recursion.{widest}", T)]
        fwd_rec = times[(f"forward_recursion.{widest}", T)]
        table.ratio(f"Viterbi recursion / floor loop, {T:,} frames", vit_rec,
                    times[("viterbi_floor", T)], 1.4)
        table.ratio(f"forward recursion / serial-sum floor, {T:,} frames", fwd_rec,
                    times[("forward_floor", T)], 1.3)
        table.ratio(f"decode end to end / Viterbi recursion alone, {T:,} frames", t_decode,
                    vit_rec, 1.1)
        table.ratio(f"decode end to end / Viterbi recursion alone, {S} frames", t_decode_short,
                    times[(f"viterbi_recursion.{widest}", S)], 2)
        table.ratio(f"step over {T:,} frames: chunks of 1 / one chunk", t_step_1, t_step_1chunk,
                    1.5)
        table.ratio("two threads, two sequences / one thread, one sequence (wall)",
                    t_two_threads, t_one_thread, 1.2)
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
        table.info(f"Viterbi recursion, per frame ({widest})", ms(vit_rec / T))
        table.info(f"forward recursion, per frame ({widest})", ms(fwd_rec / T))
        form_rows(table, "beat", times, results, T)

    if "downbeat" in models:
        model, sequences = build_model("downbeat")
        (log_dens, dens), _ = sequences
        times, results, widest, _, _ = harness_figures(binary, "downbeat", model, sequences, log,
                                                       "--reps", "9", "--short-reps", "1")
        T = DOWNBEAT_FRAMES
        model_line.append(f"downbeat model: {results['model']}")
        log("timing decode and step on the downbeat model")
        t_decode = time_decode(model, log_dens, 5)
        fd = _kernels.ForwardDecoder(model["pred"], model["ptr"], model["prob"], model["columns"],
                                     model["initial"])
        t_step = best_of(3, lambda: fd.step(dens), setup=fd.reset)
        vit_rec = times[(f"viterbi_recursion.{widest}", T)]
        fwd_rec = times[(f"forward_recursion.{widest}", T)]
        table.ratio(f"downbeat model: Viterbi recursion / floor loop, {T:,} frames", vit_rec,
                    times[("viterbi_floor", T)], 1.4)
        table.ratio(f"downbeat model: forward recursion / serial-sum floor, {T:,} frames",
                    fwd_rec, times[("forward_floor", T)], 1.3)
        seconds_of_audio = T / 100.0  # 100 frames per second
        table.info("downbeat model: decode, per frame (times real time)",
                   f"{ms(t_decode / T)} ({seconds_of_audio / t_decode:,.0f}x)")
        table.info("downbeat model: step in one chunk, per frame (times real time)",
                   f"{ms(t_step / T)} ({seconds_of_audio / t_step:,.0f}x)")
        form_rows(table, "downbeat", times, results, T)

    log("done")
    print(f"\nMachine: {machine()}; load average {load_before:.2f} at the start, "
          f"{os.getloadavg()[0]:.2f} at the end")
    print(f"Models: {'; '.join(model_line)}; best of several repetitions each; "
          f"C++ harness built with g++ {' '.join(CXXFLAGS)}\n")
    table.print()


if __name__ == "__main__":
    main()
