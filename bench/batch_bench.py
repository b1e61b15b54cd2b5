"""Dataset-scale figures of `cadentia beats FILE... -o DIR`.

    python bench/batch_bench.py [--workdir DIR] [--hour-minutes 60] [--skip-hour] [--only PART]

Generates its own click tracks (nothing large is kept in git) and prints:

- throughput of ``--jobs 2`` over ``--jobs 1`` (worker processes, as the
  command line runs them, start-up included), with the CPU time over wall
  time of each run (on a shared machine that says how many cores the run
  actually got), and the library's ratio for two threads and for two warm
  processes;
- where two worker threads' time goes (running, waiting for a CPU,
  asleep: the GIL's share), which a busy machine does not blur;
- the time per file the command line spends beyond reading and tracking
  (state space, expanding folders, writing, progress);
- resident memory of a 1,000-file batch, sampled as it goes;
- 100 files with a corrupt one in the middle: outputs, error lines, exit
  status, leftovers;
- peak resident memory of a batch holding a one-hour recording.

Every check verifies before it reports: the parallel runs must write the
same files as the serial one.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import wave

import numpy as np

from cadentia import batch, cli
from cadentia.io.audio import write_wav
from cadentia.pool import executor_for
from cadentia.testing import synthesize_clicks


def _clicks(folder: str, count: int, seconds: float, rate: int, prefix: str) -> list[str]:
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i in range(count):
        path = os.path.join(folder, f"{prefix}{i:04d}.wav")
        if not os.path.exists(path):
            signal, _, _ = synthesize_clicks(80 + (i * 7) % 90, seconds, end_bpm=None,
                                             sample_rate=rate, noise=0.05, seed=i)
            write_wav(path, signal, rate)
        paths.append(path)
    return paths


def _quiet_main(arguments: list[str]) -> int:
    with open(os.devnull, "w") as devnull:
        saved, sys.stderr = sys.stderr, devnull
        try:
            return cli.main(arguments)
        finally:
            sys.stderr = saved


def _timed(run) -> tuple[float, float]:
    """(wall seconds, CPU seconds of this process and its reaped children)."""
    def cpu() -> float:
        own, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
        return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime

    wall, start = time.perf_counter(), cpu()
    run()
    return time.perf_counter() - wall, cpu() - start


def _contents(folder: str) -> dict[str, bytes]:
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


def throughput(work: str, rows: list) -> None:
    """The command line, a fresh process each run, start-up included."""
    pieces = _clicks(os.path.join(work, "long"), 16, 60.0, 44100, "piece")
    many = os.path.join(work, "many")  # 256 inputs: each piece under 16 names
    os.makedirs(many, exist_ok=True)
    for i, piece in enumerate(pieces * 16):
        link = os.path.join(many, f"p{i:03d}.wav")
        if not os.path.lexists(link):
            os.symlink(os.path.abspath(piece), link)
    runs = {}
    for jobs in (1, 2):
        out = os.path.join(work, f"out-jobs{jobs}")
        shutil.rmtree(out, ignore_errors=True)
        runs[jobs] = _cadentia(["beats", many, "-o", out, "--jobs", str(jobs)])
        assert runs[jobs]["status"] == 0, runs[jobs]["err"]
    assert _contents(os.path.join(work, "out-jobs1")) == _contents(os.path.join(work, "out-jobs2"))
    one, two = runs[1], runs[2]
    rows.append(("throughput --jobs 2 / --jobs 1 (processes), 256 x 60 s",
                 f"{one['wall'] / two['wall']:.2f}", ">= 1.7 on 2 free cores"))
    rows.append(("  CPU/wall: --jobs 1 | --jobs 2 (cores the run got)",
                 f"{one['cpu'] / one['wall']:.2f} | {two['cpu'] / two['wall']:.2f}", ""))
    rows.append(("  seconds per file, --jobs 1", f"{one['wall'] / 256:.3f}", ""))

    # The library on the same files: two threads against two warm processes.
    files = sorted(os.path.join(many, f) for f in os.listdir(many))[:32]
    serial = _timed(lambda: batch.track_files(files))[0]
    with cf.ThreadPoolExecutor(2) as pool:
        threads = _timed(lambda: batch.track_files(files, executor=pool))[0]
    with executor_for(2) as pool:  # the command line's: forkserver, BLAS on one thread a worker
        assert pool is not None
        list(pool.map(batch.track_file, files[:4]))  # both workers started and warm
        processes = _timed(lambda: batch.track_files(files, executor=pool))[0]
    rows.append(("  two threads | two warm processes over one (library, 32 files)",
                 f"{serial / threads:.2f} | {serial / processes:.2f}", ""))


def _schedstat() -> tuple[int, int]:
    """(ns on a CPU, ns runnable but waiting for one) of the calling thread."""
    with open("/proc/thread-self/schedstat") as stat:
        running, waiting, _ = stat.read().split()
    return int(running), int(waiting)


def _accounted(path: str) -> tuple[int, int, int]:
    """Track one file; (wall, running, waiting for a CPU) of this thread, in ns."""
    wall, (running, waiting) = time.perf_counter_ns(), _schedstat()
    batch.track_file(path)
    after = _schedstat()
    return time.perf_counter_ns() - wall, after[0] - running, after[1] - waiting


def gil_wait(work: str, rows: list) -> None:
    """Where two worker threads' time goes, whatever else the machine runs.

    A thread waiting for the GIL sleeps; one waiting for a CPU that other
    programs hold is runnable. The kernel accounts the two apart, so the
    time asleep says what the GIL costs even on a busy machine.
    """
    files = _clicks(os.path.join(work, "long"), 16, 60.0, 44100, "piece")
    batch.track_file(files[0])  # imports, state space
    for jobs in (1, 2):
        with cf.ThreadPoolExecutor(jobs) as pool:
            spent = np.array(list(pool.map(_accounted, files)), dtype=np.float64).sum(axis=0)
        wall, running, waiting = spent
        rows.append((f"  worker threads, --jobs {jobs}: running | waiting for a CPU | asleep",
                     f"{running / wall:.0%} | {waiting / wall:.0%} | {1 - (running + waiting) / wall:.0%}",
                     "asleep = GIL + I/O"))


def overhead(work: str, rows: list) -> None:
    files = _clicks(os.path.join(work, "short"), 100, 3.0, 22050, "short")
    track = batch._tracker("beats", 100.0, {})
    out = os.path.join(work, "out-short")
    shutil.rmtree(out, ignore_errors=True)

    def tracking_alone() -> None:  # state space prebuilt, nothing written
        for path in files:
            track(batch._read_activation(path, 100.0), True)

    def command() -> None:
        _quiet_main(["beats", *files, "-o", out, "--jobs", "1", "--overwrite"])

    # Alternated and the best of each kept: the machine is shared.
    tracking = wall = math.inf
    for _ in range(2):
        tracking = min(tracking, _timed(tracking_alone)[0])
        wall = min(wall, _timed(command)[0])
    assert len(os.listdir(out)) == len(files)
    rows.append(("overhead per file beyond tracking (--jobs 1, 100 x 3 s)",
                 f"{1000 * (wall - tracking) / len(files):.1f} ms", "<= 20 ms"))
    rows.append(("  tracking alone per file", f"{1000 * tracking / len(files):.1f} ms", ""))


def _tree(root: int) -> dict[int, tuple[float, int]]:
    """{pid: (CPU seconds, RSS kB)} of ``root`` and all its descendants."""
    parents, figures = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        figures[int(entry)] = (cpu, int(fields[21]) * os.sysconf("SC_PAGE_SIZE") // 1024)
    tree, grown = {root}, True
    while grown:
        more = {pid for pid, parent in parents.items() if parent in tree} - tree
        tree |= more
        grown = bool(more)
    return {pid: figures[pid] for pid in tree if pid in figures}


def _cadentia(arguments: list[str], on_sample=None) -> dict:
    """Run the command line in a child, watching it and its worker processes.

    Returns the exit status, stderr, wall seconds, CPU seconds of the whole
    process tree (last seen every 20 ms), and the peak RSS of the largest
    process and of the tree's sum, in kB.
    """
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "cadentia.cli", *arguments],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    stop = threading.Event()
    cpu: dict[int, float] = {}
    peak = {"process": 0, "tree": 0}

    def watch() -> None:
        while not stop.wait(0.02):
            tree = _tree(child.pid)
            for pid, (seconds, _) in tree.items():
                cpu[pid] = max(cpu.get(pid, 0.0), seconds)
            rss = [kb for _, kb in tree.values()]
            if rss:
                peak["process"] = max(peak["process"], max(rss))
                peak["tree"] = max(peak["tree"], sum(rss))
                if on_sample is not None:
                    on_sample(sum(rss))

    watcher = threading.Thread(target=watch)
    watcher.start()
    err = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    stop.set()
    watcher.join()
    cpu[child.pid] = usage.ru_utime + usage.ru_stime  # exact for the main process
    peak["process"] = max(peak["process"], usage.ru_maxrss)
    return {"status": os.waitstatus_to_exitcode(status), "err": err, "wall": wall,
            "cpu": sum(cpu.values()), "peak": peak["process"], "peak_tree": peak["tree"]}


def memory_over_many(work: str, rows: list) -> None:
    files = _clicks(os.path.join(work, "tiny"), 1000, 2.0, 11025, "tiny")
    out = os.path.join(work, "out-tiny")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    samples = []  # (files written, RSS kB of the command and its workers)
    run = _cadentia(["beats", *files, "-o", out, "--jobs", "2"],
                    lambda rss: samples.append((len(os.listdir(out)), rss)))
    assert run["status"] == 0 and len(os.listdir(out)) == 1000, run["err"]

    def at(count: int) -> float:
        return next((rss for done, rss in samples if done >= count), samples[-1][1]) / 1024
    rows.append(("RSS, command + workers, after 100 | 500 | 950 of 1,000 files (2 s, --jobs 2)",
                 f"{at(100):.0f} | {at(500):.0f} | {at(950):.0f} MB", "flat"))


def corrupt_in_the_middle(work: str, rows: list) -> None:
    folder = os.path.join(work, "hundred")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    sources = _clicks(os.path.join(work, "tiny"), 99, 2.0, 11025, "tiny")
    for i, source in enumerate(sources[:50] + [None] + sources[50:]):
        target = os.path.join(folder, f"f{i:03d}.wav")
        if source is None:
            with open(target, "wb") as handle:  # a RIFF header over garbage
                handle.write(b"RIFF\x00\x00\x00\x00WAVEjunk" + os.urandom(1000))
        else:
            shutil.copyfile(source, target)
    out = os.path.join(work, "out-hundred")
    shutil.rmtree(out, ignore_errors=True)
    run = _cadentia(["beats", folder, "-o", out, "--jobs", "2"])
    status, err = run["status"], run["err"]
    errors = [line for line in err.splitlines() if line.startswith("cadentia: error:")]
    leftovers = [n for n in os.listdir(out) if not n.endswith(".beats")]
    complete = all(np.loadtxt(os.path.join(out, n), ndmin=1).size > 0 for n in os.listdir(out))
    rows.append(("100 files, corrupt one in the middle: outputs, error lines, exit",
                 f"{len(os.listdir(out))}, {len(errors)}, {status}", "99, 1, 1"))
    rows.append(("  output for the corrupt file | other leftovers | all read back",
                 f"{os.path.exists(os.path.join(out, 'f050.beats'))} | {len(leftovers)} | {complete}",
                 "False | 0 | True"))


def _write_long_wav(path: str, minutes: float, rate: int = 22050) -> None:
    """A click track written a minute at a time, so the bench itself stays small."""
    if os.path.exists(path):
        return
    signal, _, _ = synthesize_clicks(120, 60.0, end_bpm=None, sample_rate=rate, noise=0.05)
    pcm = (np.clip(signal, -1, 1) * 32767).astype("<i2").tobytes()
    with wave.open(path + ".part", "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        for _ in range(math.ceil(minutes)):
            wav.writeframes(pcm)
    os.replace(path + ".part", path)


def long_recording(work: str, rows: list, minutes: float) -> None:
    hour = os.path.join(work, f"long-{minutes:g}min.wav")
    _write_long_wav(hour, minutes)
    short = _clicks(os.path.join(work, "tiny"), 2, 2.0, 11025, "tiny")
    out = os.path.join(work, "out-hour")
    shutil.rmtree(out, ignore_errors=True)
    run = _cadentia(["beats", short[0], hour, short[1], "-o", out, "--jobs", "2"])
    assert run["status"] == 0, run["err"]
    rows.append((f"peak RSS of a process, batch with a {minutes:g}-minute recording (22.05 kHz)",
                 f"{run['peak'] / 1024:.0f} MB", "< 1 GB"))
    rows.append(("  the command and its workers together | wall time",
                 f"{run['peak_tree'] / 1024:.0f} MB | {run['wall']:.1f} s", ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", help="keep the generated files here (default: a temporary folder)")
    parser.add_argument("--hour-minutes", type=float, default=60.0)
    parser.add_argument("--skip-hour", action="store_true")
    parser.add_argument("--only", choices=("throughput", "gil", "overhead", "memory", "corrupt", "hour"),
                        action="append", help="run only these parts (repeatable)")
    args = parser.parse_args()
    work = args.workdir or tempfile.mkdtemp(prefix="cadentia-batch-")
    rows: list[tuple[str, str, str]] = []
    parts = {
        "throughput": lambda: throughput(work, rows),
        "gil": lambda: gil_wait(work, rows),
        "overhead": lambda: overhead(work, rows),
        "memory": lambda: memory_over_many(work, rows),
        "corrupt": lambda: corrupt_in_the_middle(work, rows),
        "hour": lambda: long_recording(work, rows, args.hour_minutes),
    }
    if args.skip_hour:
        del parts["hour"]
    try:
        for name, run in parts.items():
            if args.only is None or name in args.only:
                run()
    finally:
        if args.workdir is None:
            shutil.rmtree(work, ignore_errors=True)
    width = max(len(r[0]) for r in rows)
    print(f"{'figure':<{width}}  {'value':>16}  target")
    for name, value, target in rows:
        print(f"{name:<{width}}  {value:>16}  {target}")


if __name__ == "__main__":
    main()
