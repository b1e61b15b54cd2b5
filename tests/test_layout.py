"""_split_layout: the interior/boundary split and the constant-column runs."""

import math
import sys
import traceback
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

from reference_layout import split_layout_reference

SOURCE_FILE = "src/cadentia/model/_kernels"
TRACE_NAME = "cadentia.model._kernels._split_layout"
DTYPES = {
    "bnd_state": np.uint32, "pred_list": np.uint32, "bnd_src": np.uint32,
    "bnd_orig": np.uint32, "bnd_ptr": np.int64, "bnd_weight": np.float32,
    "bnd_dcol": np.uint32, "run_lo": np.int64, "run_hi": np.int64,
    "run_col": np.uint32,
}
KEYS = list(DTYPES)
NAN = math.nan
TINY = float(np.nextafter(0.0, 1.0))
BELOW_ONE = float(np.nextafter(1.0, 0.0))

# Two tempo lanes, 0..2 and 3..4; each lane's first state is reached from
# both lanes' last states.
LANES = dict(pred=[2, 4, 0, 1, 2, 4, 3], ptr=[0, 2, 3, 4, 6, 7],
             weight=[-0.1, -2.3, 0.0, 0.0, -2.3, -0.1, 0.0],
             columns=[0, 1, 1, 0, 1], identity=0.0)
LANES_LAYOUT = dict(
    bnd_state=[0, 3], pred_list=[2, 4], bnd_src=[0, 1, 0, 1], bnd_orig=[2, 4, 2, 4],
    bnd_ptr=[0, 2, 4], bnd_weight=np.float32([-0.1, -2.3, -2.3, -0.1]),
    bnd_dcol=[0, 0], run_lo=[1, 1, 3, 4], run_hi=[1, 3, 4, 5], run_col=[0, 1, 0, 1])


@pytest.fixture(scope="session")
def split(kernels):
    return kernels._split_layout


def call(split, model):
    return split(model["pred"], model["ptr"], model["weight"], model["columns"],
                 model["identity"])


def bits(a, dtype):
    return np.ascontiguousarray(np.asarray(a, dtype=dtype)).view(np.uint8)


def assert_layout(got, want):
    """`got` is a well-formed layout whose entries named in `want` match it
    bit for bit (NaN payloads and signed zeros included)."""
    assert type(got) is dict and list(got) == KEYS
    for key, dtype in DTYPES.items():
        value = got[key]
        assert type(value) is np.ndarray and value.dtype == dtype, key
        assert value.ndim == 1 and value.flags.c_contiguous and value.flags.owndata, key
        if key in want:
            assert value.shape == np.shape(want[key]), key
            assert np.array_equal(bits(value, dtype), bits(want[key], dtype)), key


def raised_at(excinfo):
    last = traceback.extract_tb(excinfo.tb)[-1]
    assert (last.name, last.filename) == (TRACE_NAME, SOURCE_FILE)
    return last.lineno


# ---------------------------------------------------------------------------
# Results


def as_form(model, form):
    m = dict(model)
    if form == "tuples":
        return {k: tuple(v) if isinstance(v, list) else v for k, v in m.items()}
    if form == "decoder dtypes":  # what decode and ForwardDecoder pass on
        types = dict(pred=np.uint32, ptr=np.uint32, weight=np.float32, columns=np.uint32)
    elif form == "float indices":  # truncated toward zero by the conversion
        types = dict(pred=np.float64, ptr=np.float64, weight=np.float64, columns=np.float64)
        m = {k: list(np.add(v, 0.75)) if k in ("pred", "ptr", "columns") else v
             for k, v in m.items()}
    elif form == "strided":
        for key in ("pred", "ptr", "weight", "columns"):
            m[key] = np.repeat(np.asarray(m[key]), 2)[::2]
        return m
    else:
        return m
    return {k: np.asarray(m[k], dtype=types[k]) if k in types else v for k, v in m.items()}


@pytest.mark.parametrize("form", ["lists", "tuples", "decoder dtypes", "float indices", "strided"])
def test_two_lanes(split, form):
    assert_layout(call(split, as_form(LANES, form)), LANES_LAYOUT)


def model(ptr, pred, weight, columns, identity=0.0):
    return dict(pred=pred, ptr=ptr, weight=weight, columns=columns, identity=identity)


EDGE_CASES = {
    "weight off by one bit": (
        model([0, 1, 2], [0, 0], [0.5, BELOW_ONE], [0, 0], identity=1.0),
        dict(bnd_state=[0, 1], bnd_ptr=[0, 1, 2], bnd_weight=np.float32([0.5, BELOW_ONE]))),
    "subnormal weight": (
        model([0, 1, 2], [0, 0], [0.0, TINY], [0, 0]),
        dict(bnd_state=[0, 1], bnd_weight=[0.0, 0.0])),
    "identity weight from elsewhere": (
        model([0, 1, 2, 3], [2, 0, 0], [0.0, 0.0, 0.0], [0, 0, 0]),
        dict(bnd_state=[0, 2], bnd_orig=[2, 0], pred_list=[0, 2], bnd_src=[1, 0])),
    "two predecessors": (
        model([0, 1, 3], [0, 0, 1], [0.0, 0.0, -1.0], [0, 0]),
        dict(bnd_state=[0, 1], bnd_ptr=[0, 1, 3], bnd_orig=[0, 0, 1],
             bnd_weight=[0.0, 0.0, -1.0])),
    "NaN weight": (
        model([0, 1, 2], [1, 0], [0.0, NAN], [0, 0]),
        dict(bnd_state=[0, 1], bnd_weight=np.float32([0.0, NAN]))),
    "NaN identity": (
        model([0, 1, 2], [1, 0], [NAN, NAN], [0, 0], identity=NAN),
        dict(bnd_state=[0, 1])),
    "negative zero": (
        model([0, 1, 2, 3], [2, 0, 1], [1.0, -0.0, 0.0], [0, 0, 0], identity=-0.0),
        dict(bnd_state=[0], bnd_weight=[1.0])),
    "linear identity": (
        model([0, 1, 2, 3], [2, 0, 1], [1.0, 1.0, 0.0], [0, 0, 0], identity=1.0),
        dict(bnd_state=[0, 2], bnd_ptr=[0, 1, 2], bnd_weight=[1.0, 0.0])),
    "boundary without edges": (
        model([0, 1, 1, 2], [2, 1], [-1.0, 0.0], [0, 0, 0]),
        dict(bnd_state=[0, 1], bnd_ptr=[0, 1, 1], bnd_orig=[2])),
    "every state a boundary": (
        model([0, 1, 2, 3], [0, 0, 0], [-1.0, -1.0, -1.0], [0, 0, 1]),
        dict(bnd_state=[0, 1, 2], bnd_dcol=[0, 0, 1], run_lo=[1, 2], run_hi=[2, 3],
             run_col=[0, 1])),
    "one state with a self-edge": (
        model([0, 1], [0], [0.0], [3]),
        dict(bnd_state=[0], bnd_ptr=[0, 1], pred_list=[0], bnd_src=[0], run_lo=[1],
             run_hi=[1], run_col=[3])),
    "one column": (
        model([0, 1, 2, 3, 4], [3, 0, 1, 2], [0.0] * 4, [2, 2, 2, 2]),
        dict(bnd_state=[0], run_lo=[1], run_hi=[4], run_col=[2])),
    "infinite weights": (
        model([0, 2], [0, 0], [-math.inf, math.inf], [0]),
        dict(bnd_weight=np.float32([-math.inf, math.inf]))),
    "no states": (
        model([0], [], [], [5]),
        dict(bnd_state=[], bnd_ptr=[0], bnd_orig=[], run_lo=[1], run_hi=[0], run_col=[5])),
    "empty row pointers": (
        model([], [], [], [5, 6]),
        dict(bnd_state=[], bnd_ptr=[0], run_lo=[1, 1], run_hi=[1, -1], run_col=[5, 6])),
    "wrapping casts": (
        model([0, 2], [-1, 2**32 + 7], [0.0, 0.0], [-1]),
        dict(bnd_orig=[2**32 - 1, 7], pred_list=[7, 2**32 - 1], bnd_src=[1, 0],
             bnd_dcol=[2**32 - 1], run_col=[2**32 - 1])),
    "positions from the end": (
        model([-2, -1], [5, 7], [0.5, 0.25], [0]),
        dict(bnd_state=[0], bnd_ptr=[0, 1], bnd_orig=[5], bnd_weight=[0.5])),
    "reversed row": (
        model([0, 3, 1, 2], [1, 1, 1, 0], [0.0, 0.0, -1.0, 0.0], [0, 0, 0]),
        dict(bnd_state=[0, 1], bnd_ptr=[0, 3, 1], bnd_orig=[1, 1, 1])),
}


@pytest.mark.parametrize("case", list(EDGE_CASES))
def test_edge_cases(split, case):
    inputs, want = EDGE_CASES[case]
    got = call(split, inputs)
    assert_layout(got, want)
    assert_layout(got, split_layout_reference(**inputs))


def test_arguments_by_keyword(split):
    # keyword names built at run time are not the interned ones
    by_keyword = split(**{"".join(k): v for k, v in LANES.items()})
    assert_layout(by_keyword, LANES_LAYOUT)


def test_outputs_are_private(split):
    inputs = {k: np.asarray(v, dtype=np.float64 if k == "weight" else np.int64)
              for k, v in LANES.items() if k != "identity"}
    got = split(identity=0.0, **inputs)
    arrays = list(inputs.values()) + list(got.values())
    for i, a in enumerate(arrays):
        for b in arrays[i + 1:]:
            assert not np.shares_memory(a, b)
    for a in inputs.values():
        a[...] = 0
    assert_layout(got, LANES_LAYOUT)


def test_reference_counts(split):
    inputs = {k: np.asarray(v) for k, v in LANES.items() if k != "identity"}
    before = [sys.getrefcount(a) for a in inputs.values()]
    for _ in range(3):
        split(identity=0.0, **inputs)
        with pytest.raises(IndexError):
            split(identity=0.0, **dict(inputs, columns=np.asarray([], dtype=np.int64)))
    assert [sys.getrefcount(a) for a in inputs.values()] == before


# ---------------------------------------------------------------------------
# Failures


def failing(line, exc_type, message=None, **changes):
    return pytest.param(dict(LANES, **changes), exc_type, message, line,
                        id=f"{line}-{exc_type.__name__}")


FAILURES = [
    failing(22, TypeError, "must be real number, not str", identity="0"),
    failing(22, OverflowError, "int too large to convert to float", identity=10**400),
    failing(32, ValueError, None, ptr=["a"]),
    failing(33, TypeError, None, pred=[None, 1]),
    failing(34, ValueError, None, weight=["x"]),
    failing(34, ValueError, None, weight=[[1.0], 2.0]),
    failing(35, IndexError, "tuple index out of range", ptr=3),
    failing(38, IndexError, "too many indices for array: array is 0-dimensional, but 1 were indexed",
            pred=0, ptr=[]),
    failing(38, IndexError, "index 1 is out of bounds for axis 0 with size 1",
            ptr=[0, 1, 1], pred=[0], weight=[]),
    failing(38, IndexError, "index -3 is out of bounds for axis 0 with size 2",
            ptr=[-3, 0], pred=[0, 0]),
    failing(39, IndexError, "too many indices for array: array is 0-dimensional, but 1 were indexed",
            weight=0.0),
    failing(39, IndexError, "index 3 is out of bounds for axis 0 with size 3",
            weight=[0.0] * 3, columns=[]),
    failing(45, IndexError, "index 2 is out of bounds for axis 0 with size 2",
            ptr=[0, 3], pred=[0, 1], weight=[0.0] * 3, columns=[]),
    failing(49, ValueError, None, columns=["a", 1]),
    failing(50, ValueError, "diff requires input that is at least one dimensional", columns=0),
    failing(61, IndexError, "index 2 is out of bounds for axis 0 with size 2",
            ptr=[0, 3], pred=[0, 1, 2], weight=[0.0] * 2, columns=[]),
    failing(62, IndexError, "index 3 is out of bounds for axis 0 with size 3",
            columns=[0, 1, 1]),
    failing(62, IndexError, "index 0 is out of bounds for axis 0 with size 0", columns=[]),
    failing(66, IndexError, "index 0 is out of bounds for axis 0 with size 0",
            ptr=[0], pred=[], weight=[], columns=[]),
]


@pytest.mark.parametrize("inputs, exc_type, message, line", FAILURES)
def test_failures(split, inputs, exc_type, message, line):
    with pytest.raises(Exception) as reference:
        split_layout_reference(**inputs)
    with pytest.raises(exc_type) as excinfo:
        call(split, inputs)
    assert type(excinfo.value) is type(reference.value) is exc_type
    assert str(excinfo.value) == str(reference.value)
    if message is not None:
        assert str(excinfo.value) == message
    assert raised_at(excinfo) == reference.value.layout_line == line


@pytest.mark.parametrize("param, line", [("ptr", 32), ("pred", 33), ("weight", 34),
                                         ("columns", 49)])
def test_more_than_one_dimension_refused(split, param, line):
    inputs = dict(LANES)
    inputs[param] = np.asarray(inputs[param])[None, :]
    with pytest.raises(ValueError) as excinfo:
        call(split, inputs)
    assert str(excinfo.value) == (
        f"_split_layout() argument '{param}' must be one-dimensional, not 2-dimensional")
    assert raised_at(excinfo) == line


HUGE_EDGE = dict(LANES, weight=[-0.1, 1e300, 0.0, 0.0, -2.3, -0.1, 0.0])
TINY_EDGE = dict(LANES, weight=[-0.1, 1e-300, 0.0, 0.0, -2.3, -0.1, 0.0])


@pytest.mark.parametrize("inputs, setting, message", [
    (HUGE_EDGE, "over", "overflow encountered in cast"),
    (TINY_EDGE, "under", "underflow encountered in cast"),
])
def test_float32_cast_follows_errstate(split, inputs, setting, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(**{setting: "warn"}):
            got = call(split, inputs)
            assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, message)]
            assert_layout(got, split_layout_reference(**inputs))
    with np.errstate(**{setting: "raise"}), pytest.raises(FloatingPointError) as excinfo:
        call(split, inputs)
    assert str(excinfo.value) == message and raised_at(excinfo) == 61
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(**{setting: "ignore"}):
            call(split, inputs)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4), {}, "_split_layout() takes exactly 5 positional arguments (4 given)"),
    ((1, 2, 3, 4, 5, 6), {}, "_split_layout() takes exactly 5 positional arguments (6 given)"),
    ((), dict(pred=1, ptr=2), "_split_layout() takes exactly 5 positional arguments (2 given)"),
    ((1,), dict(ptr=2, weight=3, columns=4, identity=5, weights=6),
     "_split_layout() got an unexpected keyword argument 'weights'"),
    ((1, 2), dict(ptr=2, weight=3, columns=4, identity=5),
     "_split_layout() got multiple values for keyword argument 'ptr'"),
])
def test_argument_errors(split, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        split(*args, **kwargs)
    assert str(excinfo.value) == message
    assert raised_at(excinfo) == 22


# ---------------------------------------------------------------------------
# Against the NumPy model

WEIGHTS = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, NAN, -math.inf, math.inf, -0.1, -2.3, TINY, BELOW_ONE,
                     1e300, -1e-300]),
    st.floats(width=64))
FORMS = st.sampled_from(["list", np.int64, np.uint32, np.int32, np.float64])


@st.composite
def csr_models(draw):
    """CSR models as a state space builds them: interior states with the
    identity edge from s-1 (sometimes spoiled), boundary states with a few
    edges from anywhere."""
    n = draw(st.integers(1, 12))
    identity = draw(st.sampled_from([0.0, -0.0, 1.0]))
    plain = st.sampled_from([identity, identity, -identity, NAN, float(np.nextafter(identity, 2))])
    pred, ptr, weight = [], [0], []
    for s in range(n):
        if s and draw(st.booleans()):
            pred.append(s - 1)
            weight.append(draw(plain))
        else:
            for _ in range(draw(st.integers(0, 4))):
                pred.append(draw(st.integers(0, n - 1)))
                weight.append(draw(WEIGHTS))
        ptr.append(len(pred))
    columns = draw(st.lists(st.integers(0, 3), min_size=n, max_size=n))
    return dict(pred=draw(FORMS), ptr=draw(FORMS), columns=draw(FORMS),
                weight=draw(st.sampled_from(["list", np.float64, np.float32]))), \
        model(ptr, pred, weight, columns, identity)


def in_form(values, form):
    if form == "list":
        return list(values)
    with np.errstate(all="ignore"):
        return np.asarray(values).astype(form)


@st.composite
def malformed_models(draw):
    """Anything goes, but sizes stay close enough together that every step
    gets reached: row pointers around the edge count, negative positions,
    wrapping values, 0-d arguments, columns of the wrong length."""
    edges = draw(st.integers(0, 10))

    def vector(elements, usual_length):
        if draw(st.integers(0, 11)) == 0:
            return draw(elements)  # a bare scalar: a 0-d array
        if draw(st.booleans()):
            length = max(usual_length, 0)
        else:
            length = draw(st.integers(0, 12))
        return draw(st.lists(elements, min_size=length, max_size=length))

    inside = st.integers(-edges, edges - 1) if edges else st.just(0)
    wide = st.integers(-edges - 2, edges + 2)
    ptr = vector(st.one_of(inside, inside, inside, wide), draw(st.integers(0, 8)))
    num_states = len(ptr) - 1 if isinstance(ptr, list) else 0
    return model(ptr=ptr,
                 pred=vector(st.one_of(st.integers(-8, 12), st.integers(0, 2**40)), edges),
                 weight=vector(WEIGHTS, edges),
                 columns=vector(st.integers(-2, 3), num_states),
                 identity=draw(st.sampled_from([0.0, 1.0, NAN, -0.0])))


def outcome(function, inputs):
    """Result or (type, message, line) of a call, with the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = function(**inputs)
        except Exception as exc:
            tb = traceback.extract_tb(exc.__traceback__)[-1]
            line = getattr(exc, "layout_line", None) or (
                tb.lineno if tb.filename == SOURCE_FILE else None)
            result = (type(exc), str(exc), line)
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same_outcome(split, inputs):
    got, got_warnings = outcome(split, inputs)
    want, want_warnings = outcome(split_layout_reference, inputs)
    assert got_warnings == want_warnings
    if isinstance(want, dict):
        assert_layout(got, want)
    else:
        assert got == want


@given(csr_models())
def test_matches_reference(split, drawn):
    forms, inputs = drawn
    for key, form in forms.items():
        inputs[key] = in_form(inputs[key], form)
    assert_same_outcome(split, inputs)


@given(malformed_models())
def test_malformed_input_matches_reference(split, inputs):
    assert_same_outcome(split, inputs)
