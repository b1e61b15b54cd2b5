"""Threads: the recursions release the interpreter lock, concurrent calls
and distinct decoders give exactly the serial results, and one decoder used
from two threads at once refuses rather than corrupts."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from reference import random_csr_model, tempo_lane_model

F32 = np.float32
U32 = np.uint32
BUSY = "ForwardDecoder is in use by another thread"


def decode_job(seed):
    rng = np.random.default_rng(seed)
    pred, ptr, log_prob, columns = random_csr_model(rng, int(rng.integers(5, 60)), 3)
    n = len(ptr) - 1
    log_dens = rng.uniform(-5, 0, (int(rng.integers(50, 300)), 3)).astype(F32)
    log_initial = rng.uniform(-3, 0, n).astype(F32)
    return pred, ptr, log_prob, log_dens, columns, log_initial, int(rng.integers(0, 40))


def forward_job(seed):
    rng = np.random.default_rng(seed)
    pred, ptr, prob, columns = random_csr_model(rng, int(rng.integers(5, 60)), 3,
                                                domain="linear")
    initial = rng.uniform(0, 1, len(ptr) - 1).astype(F32)
    chunks = [rng.uniform(0, 2, (int(rng.integers(0, 40)), 3)).astype(F32)
              for _ in range(8)]
    return (pred, ptr, prob, columns, initial), chunks


def stream(kernels, model, chunks):
    decoder = kernels.ForwardDecoder(*model)
    return [decoder.step(chunk) for chunk in chunks]


def run_together(functions):
    """Runs the functions in threads that start at the same moment."""
    barrier = threading.Barrier(len(functions))

    def start(function):
        barrier.wait()
        return function()

    with ThreadPoolExecutor(len(functions)) as pool:
        return [f.result() for f in [pool.submit(start, fn) for fn in functions]]


def test_concurrent_decodes_equal_serial(kernels):
    jobs = [decode_job(seed) for seed in range(8)]
    # Two jobs share all their arrays: decode only reads its arguments.
    jobs.append(jobs[0])
    serial = [kernels.decode(*job) for job in jobs]
    for _ in range(3):
        together = run_together([lambda job=job: [kernels.decode(*job) for _ in range(4)]
                                 for job in jobs])
        for results, (path, score) in zip(together, serial):
            for got_path, got_score in results:
                np.testing.assert_array_equal(got_path, path)
                assert got_score == score or (np.isnan(got_score) and np.isnan(score))


def test_distinct_decoders_in_threads_equal_serial(kernels):
    jobs = [forward_job(seed) for seed in range(8)]
    serial = [stream(kernels, *job) for job in jobs]
    for _ in range(3):
        together = run_together([lambda job=job: stream(kernels, *job) for job in jobs])
        for got, expected in zip(together, serial):
            for a, b in zip(got, expected):
                np.testing.assert_array_equal(a, b)


def long_decode(kernels):
    pred, ptr, log_prob, columns = tempo_lane_model(20, 80)
    n = len(ptr) - 1
    log_dens = np.random.default_rng(1).uniform(-3, 0, (150000, 2)).astype(F32)
    args = (pred, ptr, log_prob, log_dens, columns, np.full(n, -np.log(n), F32))
    return lambda: kernels.decode(*args)


def long_step(kernels):
    decoder, _ = lane_decoder(kernels)
    dens = np.random.default_rng(1).uniform(0.1, 2, (50000, 2)).astype(F32)
    return lambda: decoder.step(dens)


@pytest.mark.parametrize("make_call", [long_decode, long_step], ids=["decode", "step"])
def test_interpreter_lock_released_during_the_recursion(kernels, make_call):
    call = make_call(kernels)
    # A Python thread notes the time, at most once a millisecond, while the
    # main thread is inside the call.  Were the lock held for the whole
    # recursion, it could not run in the middle of the call at all.
    stamps, started, stop = [], threading.Event(), threading.Event()

    def clock():
        last = 0.0
        started.set()
        while not stop.is_set():
            now = time.perf_counter()
            if now - last >= 0.001:
                stamps.append(now)
                last = now

    thread = threading.Thread(target=clock)
    thread.start()
    started.wait()
    try:
        begin = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    elapsed = end - begin
    assert elapsed > 0.05, "the call is too short to tell"
    middle = [t for t in stamps if begin + 0.2 * elapsed < t < end - 0.2 * elapsed]
    assert len(middle) >= 5, (len(middle), elapsed)


def lane_decoder(kernels):
    pred, ptr, prob, columns = tempo_lane_model(20, 80, domain="linear")
    n = len(ptr) - 1
    initial = np.full(n, 1 / n, F32)
    model = (pred, ptr, prob, columns, initial)
    return kernels.ForwardDecoder(*model), model


@pytest.mark.parametrize("other", ["reset", "step"])
def test_one_decoder_from_two_threads(kernels, other):
    decoder, model = lane_decoder(kernels)
    dens = np.random.default_rng(2).uniform(0.1, 2, (6000, 2)).astype(F32)
    expected = kernels.ForwardDecoder(*model).step(dens)
    small = dens[:3].copy()
    done = threading.Event()
    outcomes = []

    def long_step():
        try:
            while True:
                try:
                    return decoder.step(dens)
                except RuntimeError as exc:  # the other thread's step is running
                    assert BUSY in str(exc) and other == "step"
        finally:
            done.set()

    def interfere():
        while not done.is_set():
            try:
                outcomes.append(decoder.reset() if other == "reset" else decoder.step(small))
            except RuntimeError as exc:
                assert BUSY in str(exc)
                outcomes.append(exc)
            # Leave the long step a way in between.
            time.sleep(0.0002)

    got, _ = run_together([long_step, interfere])
    refused = [o for o in outcomes if isinstance(o, RuntimeError)]
    assert refused, "the second thread never met the running step"
    if other == "reset":
        # A reset before the step starts restores what was already there;
        # one during it is refused: the step sees one clean stream.
        np.testing.assert_array_equal(got, expected)
    for o in outcomes:
        assert o is None or isinstance(o, (RuntimeError, np.ndarray))
    # The decoder is intact afterwards.
    decoder.reset()
    np.testing.assert_array_equal(decoder.step(dens[:50]), expected[:50])


def test_layout_changed_by_another_thread_during_decode(kernels, monkeypatch):
    # A replaced `_split_layout` that keeps its arrays while another thread
    # scribbles over them: each call either refuses the layout it read or
    # decodes exactly what it checked.
    pred, ptr, log_prob, columns = tempo_lane_model(5, 30)
    n = len(ptr) - 1
    log_dens = np.random.default_rng(4).uniform(-3, 0, (3000, 2)).astype(F32)
    args = (pred, ptr, log_prob, log_dens, columns, np.full(n, -np.log(n), F32), 16)
    expected = kernels.decode(*args)
    lay = kernels._split_layout(pred, ptr, log_prob, columns, 0.0)
    good = {key: value.copy() for key, value in lay.items()}
    monkeypatch.setattr(kernels, "_split_layout", lambda *a: lay)
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            for key in ("pred_list", "bnd_src", "bnd_state", "run_hi", "bnd_ptr", "run_col"):
                lay[key][:] = 10**6
                lay[key][:] = good[key]
            time.sleep(0)  # a moment with the layout intact, for the next call to read

    thread = threading.Thread(target=scribble)
    thread.start()
    results = attempts = 0
    # At least 100 calls, and on a loaded machine more until one has read
    # the layout intact (the scribbler may hold the CPU for a while).
    deadline = time.monotonic() + 30.0
    try:
        while attempts < 100 or (not results and time.monotonic() < deadline):
            attempts += 1
            try:
                path, score = kernels.decode(*args)
            except ValueError:
                continue
            np.testing.assert_array_equal(path, expected[0])
            assert score == expected[1]
            results += 1
    finally:
        stop.set()
        thread.join()
    assert results, "every call met a scribbled layout"
