"""Fuzzing: random valid models against the NumPy models, and malformed input
of every kind, which must end in a result or a Python exception, never in a
crash.

CADENTIA_FUZZ=long runs many more cases; the number tried is printed at the
end of the module.  Run under tools/sanitize.sh a crash includes any
out-of-bounds access, not only one that happens to fault.
"""

import collections
import gc
import math
import os
import struct
import warnings
from collections.abc import Mapping

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from reference import ForwardReference, tempo_lane_model, two_lanes, viterbi_reference
from test_leaks import Exporter

F32 = np.float32
U32 = np.uint32
I64 = np.int64
LONG = os.environ.get("CADENTIA_FUZZ") == "long"
CASES = collections.Counter()

# Spoiled values make NumPy warn while they are built and converted.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

I64_KEYS = ("bnd_ptr", "run_lo", "run_hi")
LAYOUT_KEYS = ("bnd_state", "pred_list", "bnd_src", "bnd_orig", "bnd_ptr",
               "bnd_weight", "bnd_dcol", "run_lo", "run_hi", "run_col")


def fuzz(ci, long):
    return settings(max_examples=long if LONG else ci)


@pytest.fixture(scope="module", autouse=True)
def report_cases(request):
    yield
    if CASES:
        detail = ", ".join(f"{name} {n}" for name, n in sorted(CASES.items()))
        line = f"fuzz cases tried: {sum(CASES.values())} ({detail})"
        plugins = request.config.pluginmanager
        reporter = plugins.get_plugin("terminalreporter")
        capture = plugins.get_plugin("capturemanager")
        if reporter is None or capture is None:
            print(line)
            return
        with capture.global_and_fixture_disabled():
            reporter.write_line(line)


def outcome(call, *args, **kwargs):
    """The call's result, or the Exception it raised.  Anything else (a
    BaseException that is not an Exception) propagates and fails the test."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return call(*args, **kwargs)
        except Exception as exc:
            return exc


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def rows(array):
    return 0 if array is None else len(array)


def states_of(ptr):
    return len(np.asarray(ptr)) - 1


def check_decode_result(result, num_frames, num_states):
    path, score = result
    assert type(path) is np.ndarray and path.dtype == I64 and path.shape == (num_frames,)
    assert type(score) is float
    assert ((path >= 0) & (path < max(num_states, 1))).all()


def check_step_result(states, num_frames, num_states):
    assert type(states) is np.ndarray and states.dtype == U32
    assert states.shape == (num_frames,)
    assert (states < max(num_states, 1)).all()


# ---------------------------------------------------------------------------
# Strategies

LOG_WEIGHTS = st.one_of(
    st.floats(-30, 0, width=32),
    st.sampled_from([0.0, -0.0, -np.inf, np.nan, np.inf, -1e-45, 3.0]))
LINEAR_WEIGHTS = st.one_of(
    st.floats(0, 2, width=32),
    st.sampled_from([1.0, 0.0, np.nan, np.inf, 1.0000001, -0.5]))
LOG_DENSITIES = st.one_of(
    st.floats(-40, 5, width=32),
    st.sampled_from([0.0, -0.0, -np.inf, np.inf, np.nan, -3e38]))
DENSITIES = st.one_of(
    st.floats(0, 4, width=32),
    st.sampled_from([0.0, np.nan, np.inf, -1.0, 1e-38, 3e38]))


def csr(incoming, num_states):
    ptr = np.zeros(num_states + 1, U32)
    ptr[1:] = np.cumsum([len(edges) for edges in incoming])
    pred = np.array([src for edges in incoming for src, _ in edges], U32)
    weight = np.array([w for edges in incoming for _, w in edges], F32)
    return pred, ptr, weight


@st.composite
def models(draw, weights, identity, max_states=10):
    """(pred, ptr, weight, columns, num_cols) of a well-formed model: every
    index in range, and the last state has an edge, so that every row
    pointer below N addresses one."""
    if draw(st.integers(0, 9)) == 0:
        lo = draw(st.integers(1, 4))
        pred, ptr, weight, columns = tempo_lane_model(
            lo, lo + draw(st.integers(0, 3)),
            np.random.default_rng(draw(st.integers(0, 2**32 - 1))),
            domain="log" if identity == 0.0 else "linear")
        return pred, ptr, weight, columns, 2
    num_states = draw(st.integers(1, max_states))
    num_cols = draw(st.integers(1, 16))
    incoming = []
    for s in range(num_states):
        if s > 0 and draw(st.booleans()):
            incoming.append([(s - 1, identity)])
        else:
            edge = st.tuples(st.integers(0, num_states - 1), weights)
            incoming.append(draw(st.lists(edge, min_size=int(s == num_states - 1),
                                          max_size=4)))
    columns = np.array(draw(st.lists(st.integers(0, num_cols - 1), min_size=num_states,
                                     max_size=num_states)), U32)
    return (*csr(incoming, num_states), columns, num_cols)


def matrix(draw, rows, cols, elements):
    values = draw(st.lists(elements, min_size=rows * cols, max_size=rows * cols))
    return np.array(values, F32).reshape(rows, cols)


# ---------------------------------------------------------------------------
# Valid models, bit for bit


@fuzz(150, 10000)
@given(data=st.data())
def test_decode_matches_reference(kernels, data):
    CASES["valid decode"] += 1
    pred, ptr, log_prob, columns, num_cols = data.draw(models(LOG_WEIGHTS, 0.0))
    num_states = len(ptr) - 1
    num_frames = data.draw(st.integers(0, 9))
    log_dens = matrix(data.draw, num_frames, num_cols, LOG_DENSITIES)
    log_initial = matrix(data.draw, 1, num_states, LOG_DENSITIES)[0]
    renorm = data.draw(st.sampled_from([None, 0, 1, 2, 3, -1, 1024]))
    extra = () if renorm is None else (renorm,)
    before = log_initial.copy()

    path, score = kernels.decode(pred, ptr, log_prob, log_dens, columns, log_initial, *extra)
    with np.errstate(all="ignore"):
        ref_path, ref_score = viterbi_reference(pred, ptr, log_prob, log_dens, columns,
                                                log_initial, *extra)
    check_decode_result((path, score), num_frames, num_states)
    np.testing.assert_array_equal(path, ref_path)
    assert same_float(score, ref_score), (score, ref_score)
    np.testing.assert_array_equal(log_initial.view(U32), before.view(U32))


@fuzz(150, 10000)
@given(data=st.data())
def test_forward_matches_reference(kernels, data):
    CASES["valid forward"] += 1
    pred, ptr, prob, columns, num_cols = data.draw(models(LINEAR_WEIGHTS, 1.0))
    num_states = len(ptr) - 1
    initial = matrix(data.draw, 1, num_states, DENSITIES)[0]
    decoder = kernels.ForwardDecoder(pred, ptr, prob, columns, initial)
    with np.errstate(all="ignore"):
        reference = ForwardReference(pred, ptr, prob, columns, initial)
    for action in data.draw(st.lists(st.integers(0, 6), min_size=1, max_size=5)):
        if action == 0:
            decoder.reset()
            reference.reset()
            continue
        dens = matrix(data.draw, action - 1, num_cols, DENSITIES)
        got = decoder.step(dens)
        with np.errstate(all="ignore"):
            expected = reference.step(dens)
        check_step_result(got, len(dens), num_states)
        np.testing.assert_array_equal(got, expected)


# ---------------------------------------------------------------------------
# Malformed arguments

INDEX_VALUES = [0, 1, 15, 16, 17, 2**31 - 1, 2**31, 2**32 - 1]
FLOAT_VALUES = [np.nan, np.inf, -np.inf, -0.0, 3e38, -3e38, 1e-45]
ODD_DTYPES = ["int32", "int64", "uint64", "float64", "float16", "uint8", "bool",
              ">u4", ">f4", "complex64", "object", "uint16"]


@st.composite
def spoil(draw, value, n):
    """`value` spoiled in one of the ways callers get arrays wrong: entries
    out of range (n is the natural bound), lengths, dtypes, ranks, layouts,
    or something that is no array at all."""
    how = draw(st.sampled_from(["entry", "entry", "length", "dtype", "rank", "strided",
                                "read-only", "junk"]))
    a = np.array(value, copy=True)
    if how == "entry" and a.size:
        i = draw(st.integers(0, a.size - 1))
        if a.dtype.kind == "f":
            a.flat[i] = draw(st.sampled_from(FLOAT_VALUES))
        else:
            a.flat[i] = draw(st.sampled_from(INDEX_VALUES + [n, n + 1]))
        return a
    if how == "length":
        if a.ndim == 2:
            rows, cols = a.shape
            return np.zeros((rows + draw(st.integers(-rows, 2)),
                             draw(st.sampled_from([0, 1, cols - 1, cols + 1, 16, 17]))), a.dtype)
        size = draw(st.integers(-3, 3))
        if size <= 0:
            return a[:max(0, a.size + size)]
        extreme = FLOAT_VALUES if a.dtype.kind == "f" else INDEX_VALUES + [n, n + 1]
        return np.concatenate([a, np.full(size, draw(st.sampled_from(extreme)), a.dtype)])
    if how == "dtype":
        return a.astype(draw(st.sampled_from(ODD_DTYPES)))
    if how == "rank":
        return draw(st.sampled_from([a.reshape(1, -1), a.reshape(-1, 1, 1),
                                     np.array(a.flat[0] if a.size else 0, a.dtype)]))
    if how == "strided":
        if a.ndim == 2 and a.shape[0] > 1 and a.shape[1] > 1:
            return np.asfortranarray(a) if draw(st.booleans()) else a[::, ::-1]
        return np.repeat(a, 2, axis=0)[::2] if a.size > 1 else a.T
    if how == "read-only":
        a.flags.writeable = False
        return a
    return draw(st.sampled_from([None, 0, 2.5, "text", b"\x00" * 8, [], [0, 1],
                                 bytearray(8), object(), np.float32(1)]))


@fuzz(200, 16000)
@given(data=st.data())
def test_malformed_arguments(kernels, data):
    CASES["malformed arguments"] += 1
    pred, ptr, log_prob, columns, num_cols = data.draw(models(LOG_WEIGHTS, 0.0))
    num_states = len(ptr) - 1
    num_frames = data.draw(st.integers(0, 4))
    args = dict(
        pred=pred, ptr=ptr, log_prob=log_prob, columns=columns,
        prob=np.exp(log_prob),
        log_dens=matrix(data.draw, num_frames, num_cols, LOG_DENSITIES),
        dens=np.exp(matrix(data.draw, num_frames, num_cols, LOG_DENSITIES)),
        log_initial=np.zeros(num_states, F32),
        initial=np.ones(num_states, F32))
    bounds = dict(pred=num_states, ptr=len(pred), columns=num_cols)
    for name in data.draw(st.lists(st.sampled_from(sorted(args)), min_size=1, max_size=3,
                                   unique=True)):
        args[name] = data.draw(spoil(args[name], bounds.get(name, num_states)))
    a = args
    renorm = data.draw(st.sampled_from([1024, 1, 0, -7, 2**31 - 1]))

    outcome(kernels._split_layout, a["pred"], a["ptr"], a["log_prob"], a["columns"], 0.0)
    result = outcome(kernels.decode, a["pred"], a["ptr"], a["log_prob"], a["log_dens"],
                     a["columns"], a["log_initial"], renorm)
    if not isinstance(result, Exception):
        check_decode_result(result, rows(a["log_dens"]), states_of(a["ptr"]))
    decoder = outcome(kernels.ForwardDecoder, a["pred"], a["ptr"], a["prob"], a["columns"],
                      a["initial"])
    if isinstance(decoder, Exception):
        # Chunks from a spoiled stream into an intact decoder.
        decoder = kernels.ForwardDecoder(pred, ptr, np.exp(log_prob), columns,
                                         np.ones(num_states, F32))
    else:
        num_states = states_of(a["ptr"])
    for _ in range(2):
        states = outcome(decoder.step, a["dens"])
        if not isinstance(states, Exception):
            check_step_result(states, rows(a["dens"]), num_states)
        assert outcome(decoder.reset) is None


@pytest.mark.parametrize("args", [
    # Empty and single-state models.
    dict(pred=[], ptr=[0], columns=[]),
    dict(pred=[], ptr=[0], columns=[0]),
    dict(pred=[], ptr=[], columns=[0]),
    dict(pred=[0], ptr=[0, 1], columns=[0]),
    dict(pred=[], ptr=[0, 0], columns=[0]),
    # The last state without edges: ptr[N-1] is one past the edges.
    dict(pred=[0], ptr=[0, 1, 1], columns=[0, 0]),
    # Row pointers past the edges, decreasing, or ptr[0] above 0.
    dict(pred=[0, 0], ptr=[0, 5, 2], columns=[0, 0]),
    dict(pred=[0, 0, 1], ptr=[0, 2, 1, 3], columns=[0, 0, 0]),
    dict(pred=[0, 0, 1], ptr=[1, 2, 3, 3], columns=[0, 0, 0]),
    dict(pred=[0, 0, 1], ptr=[0, 1, 2, 2**32 - 1], columns=[0, 0, 0]),
    # Predecessors and columns out of range; columns too short or long.
    dict(pred=[0, 9, 1], ptr=[0, 1, 2, 3], columns=[0, 0, 0]),
    dict(pred=[2**32 - 1, 0, 1], ptr=[0, 1, 2, 3], columns=[0, 0, 0]),
    dict(pred=[0, 0, 1], ptr=[0, 1, 2, 3], columns=[0, 2**32 - 1, 0]),
    dict(pred=[0, 0, 1], ptr=[0, 1, 2, 3], columns=[0]),
    dict(pred=[0, 0, 1], ptr=[0, 1, 2, 3], columns=[0, 0, 0, 99]),
    dict(pred=[0, 0, 1], ptr=[0, 1, 2, 3], columns=[0, 0, 0, 99, 1, 1]),
])
@pytest.mark.parametrize("num_frames", [0, 3])
def test_degenerate_models(kernels, args, num_frames):
    pred, ptr, columns = (np.array(args[k], U32) for k in ("pred", "ptr", "columns"))
    n = max(len(ptr) - 1, 0)
    weight = np.full(len(pred), -0.5, F32)
    log_dens = np.zeros((num_frames, 1), F32)
    result = outcome(kernels.decode, pred, ptr, weight, log_dens, columns, np.zeros(n, F32))
    if not isinstance(result, Exception):
        check_decode_result(result, num_frames, n)
    decoder = outcome(kernels.ForwardDecoder, pred, ptr, np.exp(weight), columns,
                      np.ones(n, F32))
    if not isinstance(decoder, Exception):
        states = outcome(decoder.step, np.ones((num_frames, 1), F32))
        if not isinstance(states, Exception):
            check_step_result(states, num_frames, n)
        assert decoder.reset() is None


def test_columns_beyond_the_states_are_never_read(kernels):
    # A columns array longer than N gives an empty last run whose column
    # no density row has; the model never reads it.
    pred, ptr = np.array([0, 0, 1], U32), np.array([0, 1, 2, 3], U32)
    columns = np.array([0, 0, 0, 99], U32)
    lay = kernels._split_layout(pred, ptr, np.array([-1, 0, 0], F32), columns, 0.0)
    assert list(lay["run_lo"]) == [1, 3] and list(lay["run_hi"]) == [3, 3]
    log_dens = np.array([[-1], [-2], [-3]], F32)
    result = kernels.decode(pred, ptr, np.array([-1, 0, 0], F32), log_dens, columns,
                            np.zeros(3, F32))
    expected = viterbi_reference(pred, ptr, np.array([-1, 0, 0], F32), log_dens, columns,
                                 np.zeros(3, F32))
    np.testing.assert_array_equal(result[0], expected[0])
    assert result[1] == expected[1]
    decoder = kernels.ForwardDecoder(pred, ptr, np.array([0.5, 1, 1], F32), columns,
                                     np.ones(3, F32))
    assert list(decoder.step(np.ones((3, 1), F32))) == [1, 2, 2]


# ---------------------------------------------------------------------------
# Replaced _split_layout

U32_VALUES = ["n-1", "n", "n+1", "p", "e", "c", 15, 16, 2**31, 2**32 - 1, 0, 1]
# Runs that are empty at full width, some of them not once narrowed to 32
# bits.
EMPTY_RUNS = [(1, 1), ("n", "n"), (3, 2), (2**32, 3), (2**40, 2**33 + 2), (5, -2**32 + 9),
              (2**31, -2**31), (2**63 - 1, 2**32 + 1)]
I64_VALUES = ["n-1", "n", "n+1", "e", "e+1", -1, 0, 1, 2, -2**32, 2**31 - 1, 2**31,
              2**32, 2**32 + 1, 2**40, 2**33 + 2, 2**63 - 1, -2**63]


class LayoutMapping(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, entries):
        self.entries = entries

    def __getitem__(self, key):
        return self.entries[key]

    def __iter__(self):
        return iter(self.entries)

    def __len__(self):
        return len(self.entries)


def resolve(value, sizes):
    """A layout value, possibly relative to the model's sizes ("n+1")."""
    if not isinstance(value, str):
        return value
    for sign in "+-":
        if sign in value:
            base, delta = value.split(sign)
            return sizes[base] + int(sign + delta)
    return sizes[value]


@st.composite
def layout_edits(draw):
    """A list of edits that break a layout the ways a replaced
    `_split_layout` could: runs outside 1..N, overlapping or missing runs,
    bnd_ptr decreasing or past the edges, indices out of range, entries
    missing, duplicated or of the wrong type, or no mapping at all."""
    edits = []
    for _ in range(draw(st.integers(1, 3))):
        key = draw(st.sampled_from(LAYOUT_KEYS))
        op = draw(st.sampled_from(["set", "set", "set", "shift", "swap", "drop", "dup",
                                   "empty run", "delete", "retype", "container"]))
        if op == "empty run":
            edits.append((op, "run_lo", draw(st.integers(0, 50)),
                          (draw(st.sampled_from(EMPTY_RUNS)), draw(st.sampled_from(U32_VALUES)))))
        elif op == "set":
            values = (I64_VALUES if key in I64_KEYS else
                      FLOAT_VALUES if key == "bnd_weight" else U32_VALUES)
            edits.append((op, key, draw(st.integers(0, 50)), draw(st.sampled_from(values))))
        elif op == "shift":
            edits.append((op, key, draw(st.integers(0, 50)), draw(st.sampled_from([-1, 1]))))
        elif op in ("swap", "drop", "dup"):
            edits.append((op, key, draw(st.integers(0, 50)), draw(st.integers(0, 50))))
        elif op == "retype":
            edits.append((op, key, draw(st.sampled_from(
                ["list", "float64", "int32", "int64", "uint32", "uint64", "2-D", "none",
                 "scalar", "text", "strided", "read-only", ">", "empty"])), None))
        else:
            edits.append((op, key, draw(st.sampled_from(
                ["mapping", "none", "list", "int", "raise", "keys-only"])), None))
    return edits


def edit_layout(layout, edits, sizes):
    lay = {key: np.array(value, copy=True) for key, value in layout.items()}
    for op, key, x, y in edits:
        if not isinstance(lay, dict):
            break
        a = lay.get(key)
        if op == "delete":
            lay.pop(key, None)
        elif op == "container":
            lay = {"mapping": lambda: LayoutMapping(lay), "none": lambda: None,
                   "list": lambda: list(lay.values()), "int": lambda: 42,
                   "raise": lambda: ValueError("layout failed"),
                   "keys-only": lambda: dict.fromkeys(lay)}[x]()
        elif not isinstance(a, np.ndarray) or a.ndim != 1 or not a.flags.writeable:
            continue
        elif op == "empty run":
            (lo, hi), col = y
            at = x % (len(a) + 1)
            for name, value in (("run_lo", lo), ("run_hi", hi), ("run_col", col)):
                if isinstance(lay.get(name), np.ndarray) and lay[name].ndim == 1:
                    value = np.array(resolve(value, sizes)).astype(lay[name].dtype)
                    lay[name] = np.insert(lay[name], min(at, len(lay[name])), value)
        elif op == "set" and len(a):
            value = resolve(y, sizes)
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                a[x % len(a)] = np.array(value).astype(a.dtype)
        elif op == "shift" and len(a):
            a[x % len(a)] += a.dtype.type(y) if a.dtype.kind != "u" else U32(y % 2**32)
        elif op == "swap" and len(a):
            a[[x % len(a), y % len(a)]] = a[[y % len(a), x % len(a)]]
        elif op == "drop" and len(a):
            lay[key] = np.delete(a, x % len(a))
        elif op == "dup":
            lay[key] = np.insert(a, x % (len(a) + 1), a[y % len(a)] if len(a) else 0)
        elif op == "retype":
            lay[key] = {"list": lambda: a.tolist(), "float64": lambda: a.astype(np.float64),
                        "int32": lambda: a.astype(np.int32), "int64": lambda: a.astype(I64),
                        "uint32": lambda: a.astype(U32), "uint64": lambda: a.astype(np.uint64),
                        "2-D": lambda: a.reshape(1, -1), "none": lambda: None,
                        "scalar": lambda: a.dtype.type(1), "text": lambda: "bnd",
                        "strided": lambda: np.repeat(a, 2)[::2] if len(a) > 1 else a[::-1],
                        "read-only": lambda: np.frombuffer(a.tobytes(), a.dtype),
                        ">": lambda: a.astype(a.dtype.newbyteorder(">")),
                        "empty": lambda: a[:0]}[x]()
    return lay


def fake_returning(lay):
    def fake(pred, ptr, weight, columns, identity):
        if isinstance(lay, Exception):
            raise lay
        if isinstance(lay, dict):
            return {key: np.array(v, copy=True) if isinstance(v, np.ndarray) else v
                    for key, v in lay.items()}
        return lay
    return fake


def layout_sizes(lay, num_states, num_cols):
    return dict(n=num_states, p=len(lay["pred_list"]), e=len(lay["bnd_src"]), c=num_cols)


@fuzz(200, 16000)
@given(data=st.data())
def test_replaced_layout(kernels, data):
    CASES["replaced layout"] += 1
    real = kernels._split_layout
    pred, ptr, log_prob, columns, num_cols = data.draw(models(LOG_WEIGHTS, 0.0))
    prob = np.exp(log_prob)
    num_states = len(ptr) - 1
    num_frames = data.draw(st.integers(0, 4))
    log_dens = matrix(data.draw, num_frames, num_cols, LOG_DENSITIES)
    log_initial = matrix(data.draw, 1, num_states, LOG_DENSITIES)[0]
    initial = matrix(data.draw, 1, num_states, DENSITIES)[0]
    chunks = [matrix(data.draw, t, num_cols - data.draw(st.sampled_from([0, 0, 0, 1])),
                     DENSITIES) for t in data.draw(st.lists(st.integers(0, 3), max_size=3))]
    edits = data.draw(layout_edits())

    log_lay = real(pred, ptr, log_prob, columns, 0.0)
    log_lay = edit_layout(log_lay, edits, layout_sizes(log_lay, num_states, num_cols))
    lin_lay = real(pred, ptr, prob, columns, 1.0)
    lin_lay = edit_layout(lin_lay, edits, layout_sizes(lin_lay, num_states, num_cols))

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kernels, "_split_layout", fake_returning(log_lay))
        result = outcome(kernels.decode, pred, ptr, log_prob, log_dens, columns, log_initial, 2)
        mp.setattr(kernels, "_split_layout", fake_returning(lin_lay))
        decoder = outcome(kernels.ForwardDecoder, pred, ptr, prob, columns, initial)

    # What the module accepts it must compute faithfully: wherever the NumPy
    # model gets through the same layout too, the results agree.
    if not isinstance(result, Exception):
        check_decode_result(result, num_frames, num_states)
        with np.errstate(all="ignore"):
            expected = outcome(viterbi_reference, pred, ptr, log_prob, log_dens, columns,
                               log_initial, 2, log_lay)
        if not isinstance(expected, Exception):
            np.testing.assert_array_equal(result[0], expected[0])
            assert same_float(result[1], expected[1])
    if isinstance(decoder, Exception):
        return
    with np.errstate(all="ignore"):
        reference = outcome(ForwardReference, pred, ptr, prob, columns, initial, lin_lay)
    for dens in chunks + [None]:
        states = outcome(decoder.step, dens)
        if isinstance(states, Exception):
            assert outcome(decoder.reset) is None
            reference = None
            continue
        check_step_result(states, 0 if dens is None else len(dens), num_states)
        if isinstance(reference, ForwardReference) and dens is not None:
            with np.errstate(all="ignore"):
                expected = outcome(reference.step, dens)
            if isinstance(expected, Exception):
                reference = None
            else:
                np.testing.assert_array_equal(states, expected)


LANES = tempo_lane_model(2, 4, domain="linear")


@pytest.mark.parametrize("key, value", [
    ("bnd_state", 10**6), ("pred_list", 10**6), ("bnd_src", 10**6), ("bnd_ptr", 10**6),
    ("bnd_dcol", 10**6), ("run_lo", 0), ("run_hi", 10**6), ("run_col", 10**6)])
def test_layout_changed_after_construction(kernels, monkeypatch, key, value):
    # The maker of the layout may keep its arrays; the decoder must not see
    # what is done to them after it has checked them.
    kept = []
    real = kernels._split_layout

    def keeping(*args):
        kept.append(real(*args))
        return kept[-1]

    monkeypatch.setattr(kernels, "_split_layout", keeping)
    pred, ptr, prob, columns = LANES
    initial = np.full(len(ptr) - 1, 0.1, F32)
    decoder = kernels.ForwardDecoder(pred, ptr, prob, columns, initial)
    kept[0][key][:] = value
    dens = np.random.default_rng(3).uniform(0.1, 2, (20, 2)).astype(F32)
    np.testing.assert_array_equal(
        decoder.step(dens), ForwardReference(pred, ptr, prob, columns, initial).step(dens))


@pytest.mark.parametrize("lo, hi", [(2**32, 3), (2**40, 2**33 + 2), (5, -2**32 + 9)])
def test_runs_empty_at_full_width_stay_empty(kernels, monkeypatch, lo, hi):
    # Narrowed to 32 bits these runs would not be empty: they would write
    # states other runs own, read state -1 or run past the end.
    pred, ptr, log_prob, columns = tempo_lane_model(2, 4)
    n = len(ptr) - 1
    log_dens = np.random.default_rng(6).uniform(-3, 0, (6, 2)).astype(F32)
    args = (pred, ptr, log_prob, log_dens, columns, np.zeros(n, F32))
    dens = np.exp(log_dens)
    expected = kernels.decode(*args)
    expected_states = kernels.ForwardDecoder(pred, ptr, np.exp(log_prob), columns,
                                             np.ones(n, F32)).step(dens)
    real = kernels._split_layout

    def with_empty_run(*args):
        lay = real(*args)
        for key, value in (("run_lo", lo), ("run_hi", hi), ("run_col", 2**32 - 1)):
            lay[key] = np.append(lay[key], np.array(value).astype(lay[key].dtype))
        return lay

    monkeypatch.setattr(kernels, "_split_layout", with_empty_run)
    path, score = kernels.decode(*args)
    np.testing.assert_array_equal(path, expected[0])
    assert score == expected[1]
    decoder = kernels.ForwardDecoder(pred, ptr, np.exp(log_prob), columns, np.ones(n, F32))
    np.testing.assert_array_equal(decoder.step(dens), expected_states)


def test_decode_refuses_bnd_orig_apart_from_pred_list(kernels, monkeypatch):
    # Backtracking would follow a state whose scores the frame never used,
    # into back-pointers no frame wrote.
    real = kernels._split_layout

    def disagreeing(*args):
        lay = real(*args)
        lay["bnd_orig"][1] = 1
        return lay

    monkeypatch.setattr(kernels, "_split_layout", disagreeing)
    with pytest.raises(ValueError, match=r"bnd_orig\[1\] = 1 differs from its pred_list entry 0"):
        kernels.decode(np.array([2, 0, 0, 1], U32), np.array([0, 2, 3, 4], U32),
                       np.array([-0.5, -1.0, 0.0, 0.0], F32), np.zeros((3, 2), F32),
                       np.array([0, 1, 1], U32), np.zeros(3, F32))


# ---------------------------------------------------------------------------
# Argument matching, exported views, the type

PARAMETERS = {
    "decode": ["pred", "ptr", "log_prob", "log_dens", "columns", "log_initial",
               "renorm_period"],
    "_split_layout": ["pred", "ptr", "weight", "columns", "identity"],
    "ForwardDecoder": ["pred", "ptr", "prob", "columns", "initial"],
    "step": ["dens"],
    "reset": [],
}


@fuzz(100, 8000)
@given(data=st.data())
def test_argument_matching(kernels, data):
    CASES["argument matching"] += 1
    model = dict(pred=np.array([0, 0, 1], U32), ptr=np.array([0, 1, 2, 3], U32),
                 log_prob=np.array([-1, 0, 0], F32), log_dens=np.zeros((2, 1), F32),
                 columns=np.zeros(3, U32), log_initial=np.zeros(3, F32), renorm_period=3,
                 weight=np.array([-1, 0, 0], F32), identity=0.0,
                 prob=np.array([0.5, 1, 1], F32), initial=np.ones(3, F32),
                 dens=np.ones((2, 1), F32))
    decoder = kernels.ForwardDecoder(*(model[p] for p in PARAMETERS["ForwardDecoder"]))
    name = data.draw(st.sampled_from(sorted(PARAMETERS)))
    function = {"decode": kernels.decode, "_split_layout": kernels._split_layout,
                "ForwardDecoder": kernels.ForwardDecoder, "step": decoder.step,
                "reset": decoder.reset}[name]
    names = PARAMETERS[name] + ["bogus", "self", "dens", "pred"]
    num_positional = data.draw(st.integers(0, len(PARAMETERS[name]) + 2))
    positional = [model.get(p, 0) for p in (PARAMETERS[name] + ["pred", "ptr"])[:num_positional]]
    keywords = {key: model.get(key, 1) for key in data.draw(st.lists(st.sampled_from(names),
                                                                     unique=True, max_size=4))}
    result = outcome(function, *positional, **keywords)
    if isinstance(result, Exception):
        assert isinstance(result, (TypeError, ValueError)), repr(result)


VIEW_KEYS = [0, 1, -1, -4, 3, 4, 2**63 - 1, -2**63, 10**20, -10**20, (0,), (0, 0), (),
             slice(0, 1), 0.5, None, "a", np.int64(2), True]
VIEW_VALUES = [0, 1, -1, 2**32, 2**64, 1.5, np.nan, 1e39, None, "x", np.float32(2)]


@fuzz(100, 8000)
@given(data=st.data())
def test_exported_views_in_a_replaced_layout(kernels, data):
    # The replaced `_split_layout` gets views of the caller's arrays and may
    # do anything with them, keep them included.
    CASES["exported views"] += 1
    model = tempo_lane_model(1, 3)
    n = len(model[1]) - 1
    pred, ptr, log_prob, columns = (Exporter(a) for a in model)
    ops = data.draw(st.lists(st.tuples(
        st.integers(0, 3),
        st.sampled_from(["get", "set", "len", "memoryview", "asarray", "keep", "decode"]),
        st.sampled_from(VIEW_KEYS), st.sampled_from(VIEW_VALUES)), max_size=6))
    real, kept, depth = kernels._split_layout, [], []

    def probing(*views):
        # A nested decode comes back here once; deeper it gets the real split.
        if depth:
            return real(*views)
        depth.append(1)
        for which, op, key, value in ops:
            v = views[which]
            action = {"get": lambda: v[key], "len": lambda: len(v),
                      "set": lambda: v.__setitem__(key, value),
                      "memoryview": lambda: memoryview(v).tolist(),
                      "asarray": lambda: np.asarray(v).sum(),
                      "keep": lambda: kept.append(v),
                      "decode": lambda: kernels.decode(views[0], views[1], views[2],
                                                       None, views[3], None)}[op]
            outcome(action)
        return real(*views)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kernels, "_split_layout", probing)
        result = outcome(kernels.decode, pred, ptr, log_prob, np.zeros((3, 2), F32), columns,
                         np.zeros(n, F32))
    if not isinstance(result, Exception):
        check_decode_result(result, 3, n)
    assert all(len(np.asarray(v)) in (len(model[0]), n + 1, n) for v in kept)
    del kept[:]
    # Nothing holds the caller's arrays any more.
    for exporter in (pred, ptr, log_prob, columns):
        assert exporter.open == 0
        exporter.resize()



def test_odd_uses_of_the_type(kernels):
    import copy
    import gc
    import pickle
    import weakref

    FD = kernels.ForwardDecoder
    model = (np.array([0, 0, 1], U32), np.array([0, 1, 2, 3], U32),
             np.array([0.5, 1, 1], F32), np.zeros(3, U32), np.ones(3, F32))
    dens = np.ones((2, 1), F32)
    resurrected = []

    class Sub(FD):
        def __init__(self, *args):
            self.extra = len(args)

    class Resurrecting(FD):
        def __del__(self):
            resurrected.append(self)

    for attempt in [lambda: FD.__new__(FD), lambda: FD.__new__(int, *model),
                    lambda: object.__new__(FD), lambda: FD.step(None, dens),
                    lambda: FD.reset(object()), lambda: FD.step(dens),
                    lambda: pickle.dumps(FD(*model)), lambda: copy.copy(FD(*model)),
                    lambda: copy.deepcopy(FD(*model)), lambda: FD(*model).__setstate__({}),
                    lambda: Sub(*model, extra=1), lambda: Sub(*model[:4]),
                    lambda: weakref.ref(FD(*model))]:
        outcome(attempt)
    sub = Sub(*model)
    ref = weakref.ref(sub)
    assert sub.extra == 5 and list(sub.step(dens)) == [1, 2]
    plain = FD(*model)
    plain.step(dens)
    FD.__init__(plain, *model)  # initialising again changes nothing
    assert list(plain.step(dens)) == [2, 2]
    del sub
    gc.collect()
    assert ref() is None
    made = Resurrecting(*model)
    del made
    gc.collect()
    assert list(resurrected.pop().step(dens)) == [1, 2]
    gc.collect()


@pytest.mark.parametrize("failing, line", [
    (dict(initial=np.ones(4, F32)), 213),   # after the layout, before the check
    (dict(initial=None), 210),              # buffers missing
    (dict(ptr=np.array([], U32)), 212),
    (dict(extra=1), 189),
])
def test_failed_construction_kept_by_del_is_refused(kernels, entries, failing, line):
    # A subclass's __del__ can keep the half-built object of a failed
    # construction; its methods must refuse it rather than touch its buffers.
    kept = []

    class Keeper(kernels.ForwardDecoder):
        def __del__(self):
            kept.append(self)

    args = two_lanes()
    args.update(failing)
    with pytest.raises(Exception) as excinfo:
        Keeper(**args)
    assert entries(excinfo)[0] == ("cadentia.model._kernels.ForwardDecoder.__cinit__", line)
    gc.collect()
    message = "this ForwardDecoder cannot be used: its construction failed"
    for call in (lambda d: d.step(np.ones((2, 2), F32)), lambda d: d.reset()):
        with pytest.raises(RuntimeError, match=message):
            call(kept[0])
    kept.clear()
    gc.collect()


@pytest.mark.parametrize("key, value", [
    ("bnd_ptr", -2**32), ("bnd_ptr", 2**40), ("bnd_src", 2**32 - 1),
    ("pred_list", 2**32 - 1), ("run_lo", -5), ("run_col", 2**32 - 1)])
def test_no_frames_read_no_edges(kernels, monkeypatch, key, value):
    # Without frames nothing but the boundary states is read, so nothing
    # else may be walked, however wild.
    pred, ptr, log_prob, columns = tempo_lane_model(2, 5)
    real = kernels._split_layout

    def wild(*args):
        lay = real(*args)
        lay[key][1] = value
        return lay

    monkeypatch.setattr(kernels, "_split_layout", wild)
    log_initial = np.linspace(-3, 0, len(ptr) - 1).astype(F32)
    result = outcome(kernels.decode, pred, ptr, log_prob, np.zeros((0, 2), F32), columns,
                     log_initial)
    if isinstance(result, Exception):
        assert isinstance(result, ValueError)
    else:
        assert result[0].shape == (0,) and result[1] == 0.0
