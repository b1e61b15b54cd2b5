"""References, buffer holds and memory: every entry point, on its success
path and on each failure path, called many times, leaves the reference
counts of its arguments as they were, gives every buffer back before it
returns, and keeps memory flat."""

import gc
import os
import sys
import tracemalloc
import weakref
from types import SimpleNamespace

import numpy as np
import pytest

from reference import tempo_lane_model

F32 = np.float32
U32 = np.uint32
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def arguments(lo=3, hi=6, num_frames=12):
    pred, ptr, log_prob, columns = tempo_lane_model(lo, hi)
    _, _, prob, _ = tempo_lane_model(lo, hi, domain="linear")
    n = len(ptr) - 1
    rng = np.random.default_rng(5)
    return dict(
        pred=pred, ptr=ptr, log_prob=log_prob, prob=prob, columns=columns,
        log_dens=rng.uniform(-4, 0, (num_frames, 2)).astype(F32),
        dens=rng.uniform(0.1, 2, (num_frames, 2)).astype(F32),
        log_initial=np.full(n, -np.log(n), F32), initial=np.full(n, 1 / n, F32),
        dens17=np.ones((2, 17), F32), dens1=np.ones((2, 1), F32),
        dens64=np.ones((2, 2)), short=np.zeros(n - 1, F32),
        truncated=pred[:len(pred) // 2].copy())


class Fakes:
    """Replacements for `_split_layout`, installed for one call."""

    def __init__(self, kernels):
        self.kernels = kernels
        self.real = kernels._split_layout

    def call(self, fake, function, *args):
        self.kernels._split_layout = fake
        try:
            return function(*args)
        finally:
            self.kernels._split_layout = self.real

    def raising(self, *args):
        raise ValueError("layout failed")

    def missing_key(self, *args):
        lay = self.real(*args)
        del lay["run_col"]
        return lay

    def out_of_range(self, *args):
        lay = self.real(*args)
        lay["bnd_src"][-1] = 10**6
        return lay


def cases(kernels):
    """name -> (call(a, decoder), whether it fails)."""
    k, f = kernels, Fakes(kernels)

    def decode(a, log_dens="log_dens", log_initial="log_initial", *extra, **kw):
        return k.decode(a["pred"], a["ptr"], a["log_prob"], a[log_dens], a["columns"],
                        a[log_initial], *extra, **kw)

    def construct(a, initial="initial", prob="prob"):
        return k.ForwardDecoder(a["pred"], a["ptr"], a[prob], a["columns"], a[initial])

    return {
        "decode": (lambda a, d: decode(a), False),
        "decode 17 columns": (lambda a, d: decode(a, "dens17"), True),
        "decode too few columns": (lambda a, d: decode(a, "dens1"), True),
        "decode log_initial refused": (lambda a, d: decode(a, log_initial="dens64"), True),
        "decode log_initial short": (lambda a, d: decode(a, log_initial="short"), True),
        "decode renorm None": (lambda a, d: decode(a, "log_dens", "log_initial", None), True),
        "decode keyword": (lambda a, d: decode(a, bogus=1), True),
        "decode layout raises": (lambda a, d: f.call(f.raising, decode, a), True),
        "decode layout key missing": (lambda a, d: f.call(f.missing_key, decode, a), True),
        "decode layout out of range": (lambda a, d: f.call(f.out_of_range, decode, a), True),
        "decode split fails": (lambda a, d: k.decode(a["truncated"], a["ptr"], a["log_prob"],
                                                     a["log_dens"], a["columns"],
                                                     a["log_initial"]), True),
        "split": (lambda a, d: k._split_layout(a["pred"], a["ptr"], a["log_prob"],
                                               a["columns"], 0.0), False),
        "split fails": (lambda a, d: k._split_layout(a["truncated"], a["ptr"], a["log_prob"],
                                                     a["columns"], 0.0), True),
        "construct": (lambda a, d: construct(a), False),
        "construct initial short": (lambda a, d: construct(a, "short"), True),
        "construct prob refused": (lambda a, d: construct(a, prob="dens64"), True),
        "construct layout raises": (lambda a, d: f.call(f.raising, construct, a), True),
        "construct layout out of range": (lambda a, d: f.call(f.out_of_range, construct, a),
                                          True),
        "step": (lambda a, d: d.step(a["dens"]), False),
        "step 17 columns": (lambda a, d: d.step(a["dens17"]), True),
        "step too few columns": (lambda a, d: d.step(a["dens1"]), True),
        "step refused": (lambda a, d: d.step(a["dens64"]), True),
        "step keyword": (lambda a, d: d.step(dens=a["dens"], more=1), True),
        "reset": (lambda a, d: d.reset(), False),
        "reset argument": (lambda a, d: d.reset(a["dens"]), True),
    }


CASE_NAMES = list(cases(SimpleNamespace(_split_layout=None)))


def run(call, a, decoder, fails):
    try:
        call(a, decoder)
    except Exception:
        assert fails, "the success path failed"
    else:
        assert not fails, "the failure path succeeded"


@pytest.fixture
def decoder(kernels):
    a = arguments()
    return kernels.ForwardDecoder(a["pred"], a["ptr"], a["prob"], a["columns"], a["initial"])


@pytest.mark.parametrize("name", CASE_NAMES)
def test_reference_counts_unchanged(kernels, decoder, name):
    call, fails = cases(kernels)[name]
    a = arguments()
    run(call, a, decoder, fails)
    gc.collect()
    before = {key: sys.getrefcount(value) for key, value in a.items()}
    decoder_before = sys.getrefcount(decoder)
    for _ in range(200):
        run(call, a, decoder, fails)
    gc.collect()
    assert {key: sys.getrefcount(value) for key, value in a.items()} == before
    assert sys.getrefcount(decoder) == decoder_before


class Exporter:
    """A buffer exporter over a bytearray that counts its open exports."""

    def __init__(self, array):
        self.storage = bytearray(array.tobytes())
        self.dtype, self.shape = array.dtype, array.shape
        self.open = 0

    def __buffer__(self, flags):
        self.open += 1
        return memoryview(np.frombuffer(self.storage, self.dtype).reshape(self.shape))

    def __release_buffer__(self, view):
        self.open -= 1

    def resize(self):
        # Raises BufferError while anything still holds the storage.
        self.storage.extend(b"\0" * 64)
        del self.storage[-64:]


@pytest.mark.parametrize("name", CASE_NAMES)
def test_buffers_given_back_after_every_call(kernels, decoder, name):
    call, fails = cases(kernels)[name]
    a = {key: Exporter(value) for key, value in arguments().items()}
    for _ in range(3):
        run(call, a, decoder, fails)
        for exporter in a.values():
            assert exporter.open == 0
            exporter.resize()


def test_decoder_holds_no_buffer_of_its_arguments(kernels):
    a = {key: Exporter(value) for key, value in arguments().items()}
    decoder = kernels.ForwardDecoder(a["pred"], a["ptr"], a["prob"], a["columns"], a["initial"])
    for exporter in a.values():
        assert exporter.open == 0
        exporter.resize()
    assert decoder.step(arguments()["dens"]).shape == (12,)


def test_traced_memory_flat(kernels, decoder):
    all_cases = cases(kernels).values()
    a = arguments()

    def round_of_calls():
        for call, fails in all_cases:
            run(call, a, decoder, fails)

    tracemalloc.start()
    try:
        for _ in range(20):
            round_of_calls()
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            round_of_calls()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # 5000 calls: a leak of even 8 bytes a call would show.
    assert growth < 32 * 1024, f"traced memory grew by {growth} bytes"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_flat(kernels):
    # Large enough that each call allocates about a megabyte.
    a = arguments(30, 90, num_frames=400)
    decoder = kernels.ForwardDecoder(a["pred"], a["ptr"], a["prob"], a["columns"], a["initial"])
    all_cases = cases(kernels).values()
    for _ in range(5):
        for call, fails in all_cases:
            run(call, a, decoder, fails)
    gc.collect()
    start = resident_bytes()
    for _ in range(60):
        for call, fails in all_cases:
            run(call, a, decoder, fails)
    gc.collect()
    growth = resident_bytes() - start
    assert growth < 8 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


def chain(num_states):
    """State 0 is reached from the last state and itself; the others
    advance.  Built with NumPy, so that it can be large."""
    pred = np.concatenate([[num_states - 1, 0], np.arange(num_states - 1)]).astype(U32)
    ptr = np.concatenate([[0], np.arange(2, num_states + 2)]).astype(U32)
    prob = np.concatenate([[0.5, 0.5], np.ones(num_states - 1)]).astype(F32)
    return pred, ptr, prob, np.zeros(num_states, U32)


@pytest.mark.parametrize("initial_length", [0, -1], ids=["built", "refused late"])
def test_dropped_decoder_frees_its_arrays(kernels, monkeypatch, initial_length):
    num_states = 1_000_000
    pred, ptr, prob, columns = chain(num_states)
    initial = np.full(num_states + initial_length, 1 / num_states, F32)
    made = []
    real = kernels._split_layout

    def recording(*args):
        lay = real(*args)
        made.extend(weakref.ref(value) for value in lay.values())
        return lay

    monkeypatch.setattr(kernels, "_split_layout", recording)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        if initial_length:
            with pytest.raises(ValueError):
                kernels.ForwardDecoder(pred, ptr, prob, columns, initial)
        else:
            decoder = kernels.ForwardDecoder(pred, ptr, prob, columns, initial)
            # initial, belief and spare: three float32 arrays of N entries.
            assert tracemalloc.get_traced_memory()[0] - start >= 3 * 4 * num_states
            decoder.step(np.ones((2, 1), F32))
            del decoder
        gc.collect()
        remaining = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert remaining < 64 * 1024, f"{remaining} bytes still held"
    assert len(made) == 10 and all(ref() is None for ref in made)
