import copy
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

from reference import (ForwardReference, random_csr_model, tempo_lane_model,
                       two_lanes)

F32 = np.float32
U32 = np.uint32
CINIT = "cadentia.model._kernels.ForwardDecoder.__cinit__"
STEP = "cadentia.model._kernels.ForwardDecoder.step"


def no_predecessor(initial=(0.5, 0.5)):
    """State 0 has no incoming edge; state 1 advances from state 0."""
    return dict(pred=np.array([0], U32), ptr=np.array([0, 0, 1], U32),
                prob=np.array([1.0], F32), columns=np.array([0, 0], U32),
                initial=np.array(initial, F32))


def frames(rng, num_frames, num_columns=2):
    return rng.uniform(0.05, 2.0, (num_frames, num_columns)).astype(F32)


def assert_states(got, expected):
    assert type(got) is np.ndarray and got.dtype == np.uint32 and got.ndim == 1
    np.testing.assert_array_equal(got, expected)


# ---------------------------------------------------------------------------
# Worked cases


def test_two_lane_frame(kernels):
    model = two_lanes()
    decoder = kernels.ForwardDecoder(**model)
    reference = ForwardReference(**model)
    first = np.array([[0.5, 2.0]], F32)
    # States 2 and 4 tie after normalising; the lower index wins.
    assert_states(decoder.step(first), [2])
    reference.step(first)
    np.testing.assert_allclose(reference.belief, [0.1, 0.16, 0.32, 0.1, 0.32],
                               rtol=1e-6)
    later = frames(np.random.default_rng(1), 20)
    assert_states(decoder.step(later), reference.step(later))


def test_model_without_boundary_predecessors(kernels):
    decoder = kernels.ForwardDecoder(**no_predecessor())
    one = np.ones((1, 1), F32)
    assert_states(decoder.step(one), [1])
    # The belief is now [0, 1]: nothing reaches state 0 or state 1 any more.
    assert_states(decoder.step(one), [0])
    assert_states(decoder.step(np.full((3, 1), 7.0, F32)), [0, 0, 0])
    decoder.reset()
    assert_states(decoder.step(one), [1])


def test_zero_densities_zero_the_belief_until_reset(kernels):
    decoder = kernels.ForwardDecoder(**two_lanes())
    dens = np.array([[0.5, 2.0], [0.0, 0.0], [1.0, 3.0], [2.0, 0.5]], F32)
    assert_states(decoder.step(dens), [2, 0, 0, 0])
    decoder.reset()
    assert_states(decoder.step(dens[:1]), [2])


def test_single_state_model(kernels):
    decoder = kernels.ForwardDecoder(
        pred=np.array([0], U32), ptr=np.array([0, 1], U32),
        prob=np.array([0.9], F32), columns=np.array([0], U32),
        initial=np.array([1.0], F32))
    assert_states(decoder.step(np.ones((3, 1), F32)), [0, 0, 0])


@pytest.mark.parametrize("dens", [None, np.zeros((0, 2), F32),
                                  np.zeros((0, 0), F32)],
                         ids=["none", "zero-rows", "zero-shape"])
def test_empty_chunk(kernels, dens):
    decoder = kernels.ForwardDecoder(**two_lanes())
    reference = ForwardReference(**two_lanes())
    assert_states(decoder.step(dens), [])
    probe = frames(np.random.default_rng(2), 12)
    assert_states(decoder.step(probe), reference.step(probe))


def test_reset_equals_new_object(kernels):
    rng = np.random.default_rng(3)
    stream, other = frames(rng, 25), frames(rng, 9)
    decoder = kernels.ForwardDecoder(**two_lanes())
    expected = decoder.step(stream)
    decoder.step(other)
    decoder.reset()
    assert_states(decoder.step(stream), expected)
    assert_states(kernels.ForwardDecoder(**two_lanes()).step(stream), expected)


def test_unnormalised_initial(kernels):
    rng = np.random.default_rng(4)
    stream = frames(rng, 30)
    scaled = two_lanes(np.array([0.1, 0.2, 0.3, 0.2, 0.2]) * 5)
    decoder = kernels.ForwardDecoder(**scaled)
    got = decoder.step(stream)
    assert_states(got, ForwardReference(**scaled).step(stream))
    assert_states(got, kernels.ForwardDecoder(**two_lanes()).step(stream))


def test_callers_initial_is_copied(kernels):
    model = two_lanes()
    decoder = kernels.ForwardDecoder(**model)
    # With all mass on state 0, the first frame would pick state 1.
    model["initial"][:] = [1.0, 0.0, 0.0, 0.0, 0.0]
    first = np.array([[0.5, 2.0]], F32)
    assert_states(decoder.step(first), [2])
    decoder.reset()
    assert_states(decoder.step(first), [2])


def test_holds_no_caller_array(kernels):
    model = two_lanes()
    counts = {k: sys.getrefcount(v) for k, v in model.items()}
    decoder = kernels.ForwardDecoder(**model)
    dens = frames(np.random.default_rng(5), 4)
    dens_count = sys.getrefcount(dens)
    decoder.step(dens)
    assert {k: sys.getrefcount(v) for k, v in model.items()} == counts
    assert sys.getrefcount(dens) == dens_count


# ---------------------------------------------------------------------------
# Column limit and refusals


def test_sixteen_columns_accepted(kernels):
    stream = frames(np.random.default_rng(6), 10)
    wide = np.full((10, 16), np.nan, F32)
    wide[:, :2] = stream
    expected = kernels.ForwardDecoder(**two_lanes()).step(stream)
    assert_states(kernels.ForwardDecoder(**two_lanes()).step(wide), expected)


@pytest.mark.parametrize("num_frames", [0, 2])
def test_seventeen_columns_refused(kernels, entries, num_frames):
    rng = np.random.default_rng(7)
    before, after = frames(rng, 5), frames(rng, 8)
    decoder = kernels.ForwardDecoder(**two_lanes())
    decoder.step(before)
    with pytest.raises(ValueError) as excinfo:
        decoder.step(np.ones((num_frames, 17), F32))
    assert str(excinfo.value) == \
        "forward decoder supports at most 16 observation columns"
    assert entries(excinfo) == [(STEP, 226)]
    fresh = kernels.ForwardDecoder(**two_lanes())
    fresh.step(before)
    assert_states(decoder.step(after), fresh.step(after))


@pytest.mark.parametrize("dens, message", [
    (np.ones((2, 2), np.float64),
     "Buffer dtype mismatch, expected 'float' but got 'double'"),
    ("read-only", None),
])
def test_refused_densities(kernels, entries, dens, message):
    if isinstance(dens, str):
        dens = np.ones((2, 2), F32)
        dens.flags.writeable = False
    decoder = kernels.ForwardDecoder(**two_lanes())
    with pytest.raises(ValueError) as excinfo:
        decoder.step(dens)
    if message is not None:
        assert str(excinfo.value) == message
    assert entries(excinfo) == [(STEP, 220)]


@pytest.mark.parametrize("name, line", [
    ("pred", 189), ("ptr", 189), ("prob", 190), ("columns", 190),
    ("initial", 191)])
def test_refused_argument_reports_its_line(kernels, entries, name, line):
    model = two_lanes()
    model[name] = model[name].astype(np.float64)
    with pytest.raises(ValueError) as excinfo:
        kernels.ForwardDecoder(**model)
    kind = "float" if name in ("prob", "initial") else "uint32_t"
    assert str(excinfo.value) == \
        f"Buffer dtype mismatch, expected '{kind}' but got 'double'"
    assert entries(excinfo) == [(CINIT, line)]


def test_initial_none(kernels, entries):
    with pytest.raises(ValueError) as excinfo:
        kernels.ForwardDecoder(**two_lanes() | {"initial": None})
    assert str(excinfo.value) == \
        "Buffer has wrong number of dimensions (expected 1, got 0)"
    assert entries(excinfo) == [(CINIT, 210)]


@pytest.mark.parametrize("name", ["pred", "ptr", "prob", "columns"])
def test_model_array_none_fails_in_the_layout(kernels, entries, name):
    with pytest.raises(Exception) as excinfo:
        kernels.ForwardDecoder(**two_lanes() | {name: None})
    assert entries(excinfo)[0] == (CINIT, 195)
    assert entries(excinfo)[1][0] == "cadentia.model._kernels._split_layout"


# ---------------------------------------------------------------------------
# The layout call


def test_layout_receives_views_and_identity_one(kernels, monkeypatch):
    model = two_lanes()
    real = kernels._split_layout
    seen = []

    def split(pred, ptr, weight, columns, identity):
        views = (pred, ptr, weight, columns)
        originals = [model[k] for k in ("pred", "ptr", "prob", "columns")]
        seen.append(([np.shares_memory(np.asarray(v), a)
                      for v, a in zip(views, originals)],
                     type(identity), identity))
        return real(pred, ptr, weight, columns, identity)

    monkeypatch.setattr(kernels, "_split_layout", split)
    kernels.ForwardDecoder(**model)
    assert seen == [([True] * 4, float, 1.0)]


LAYOUT_LINES = {"bnd_state": 196, "pred_list": 198, "bnd_src": 200,
                "bnd_ptr": 201, "bnd_weight": 202, "bnd_dcol": 203,
                "run_lo": 204, "run_hi": 205, "run_col": 207}


@pytest.mark.parametrize("key, line", LAYOUT_LINES.items())
def test_layout_key_missing(kernels, change_layout, entries, key, line):
    change_layout(lambda lay: lay.pop(key))
    with pytest.raises(KeyError) as excinfo:
        kernels.ForwardDecoder(**two_lanes())
    assert excinfo.value.args == (key,)
    assert entries(excinfo) == [(CINIT, line)]


def test_bnd_orig_is_not_read(kernels, monkeypatch):
    real = kernels._split_layout
    read = []

    class Layout(dict):
        def __getitem__(self, key):
            read.append(key)
            return super().__getitem__(key)

    def split(*args):
        lay = real(*args)
        del lay["bnd_orig"]
        return Layout(lay)

    monkeypatch.setattr(kernels, "_split_layout", split)
    decoder = kernels.ForwardDecoder(**two_lanes())
    assert read == list(LAYOUT_LINES)
    assert_states(decoder.step(np.array([[0.5, 2.0]], F32)), [2])


def test_layout_failure_passes_through(kernels, monkeypatch, entries):
    def split(*args):
        raise LookupError("layout")

    monkeypatch.setattr(kernels, "_split_layout", split)
    with pytest.raises(LookupError) as excinfo:
        kernels.ForwardDecoder(**two_lanes())
    assert entries(excinfo) == [(CINIT, 195)]


# ---------------------------------------------------------------------------
# Randomised comparison with the reference model


def _densities(rng, num_frames, num_columns, special):
    dens = (rng.random((num_frames, num_columns))
            * rng.choice([1.0, 1e-20, 1e20])).astype(F32)
    if special:
        mask = rng.random(dens.shape) < 0.08
        dens[mask] = rng.choice([0.0, 0.0, 1e-38, 1e-45, np.nan, np.inf, -1.0],
                                size=int(mask.sum()))
    return dens


def _initial(rng, num_states, special):
    initial = rng.random(num_states).astype(F32)
    if special:
        initial[rng.random(num_states) < 0.4] = 0.0
    return initial


def _chunks(dens, cuts):
    bounds = [0] + sorted(cuts) + [len(dens)]
    return [dens[lo:hi] for lo, hi in zip(bounds, bounds[1:])]


def _model(rng, kind, num_states, num_columns):
    if kind == "lanes":
        lo = int(rng.integers(1, 6))
        reach = rng.choice([None, 0, 1, 2])
        return tempo_lane_model(lo, lo + int(rng.integers(0, 12)), rng,
                                domain="linear", reach=reach)
    return random_csr_model(rng, num_states, num_columns, domain="linear")


@given(kind=st.sampled_from(["lanes", "random"]),
       num_states=st.integers(1, 40), num_columns=st.integers(1, 16),
       num_frames=st.integers(0, 40),
       cuts=st.lists(st.integers(0, 40), max_size=6),
       reset_at=st.one_of(st.none(), st.integers(0, 6)),
       special=st.booleans(), seed=st.integers(0, 2**32 - 1))
def test_chunked_stream_matches_reference(kernels, kind, num_states, num_columns, num_frames,
                           cuts, reset_at, special, seed):
    rng = np.random.default_rng(seed)
    pred, ptr, prob, columns = _model(rng, kind, num_states, num_columns)
    num_columns = max(num_columns, int(columns.max()) + 1)
    initial = _initial(rng, len(ptr) - 1, special)
    dens = _densities(rng, num_frames, num_columns, special)
    decoder = kernels.ForwardDecoder(pred, ptr, prob, columns, initial)
    reference = ForwardReference(pred, ptr, prob, columns, initial)
    chunks = _chunks(dens, [c for c in cuts if c <= num_frames])
    for i, chunk in enumerate(chunks):
        if i == reset_at:
            decoder.reset()
            reference.reset()
        assert_states(decoder.step(chunk), reference.step(chunk))


def _probe(num_columns, c1, c2, bits):
    dens = np.zeros((1, num_columns), F32)
    dens[0, c1] = 1.0
    dens[0, c2] = np.uint32(bits).view(F32)
    return dens


def _flip_point(reference, columns, num_columns, c1, c2):
    """Adjacent float32 bit patterns x0 < x1 for the density of column c2
    (column c1 at 1, all others 0) such that the reference picks a state
    outside c2 at x0 and one in c2 at x1.  At such a point the choice hangs
    on the last bits of the belief and of the frame's arithmetic."""
    def picks_c2(bits):
        state = copy.deepcopy(reference).step(
            _probe(num_columns, c1, c2, bits))[0]
        return columns[state] == c2

    lo = int(np.float32(1e-30).view(np.uint32))
    hi = int(np.float32(1e30).view(np.uint32))
    if picks_c2(lo) or not picks_c2(hi):
        return None
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if picks_c2(mid):
            hi = mid
        else:
            lo = mid
    return lo, hi


@given(kind=st.sampled_from(["lanes", "random"]),
       num_states=st.integers(2, 30), num_columns=st.integers(2, 16),
       num_frames=st.integers(0, 12), seed=st.integers(0, 2**32 - 1))
def test_belief_is_bit_exact(kernels, kind, num_states, num_columns, num_frames,
                             seed):
    # The states a step reports hide most of the belief; probing at a flip
    # point of the reference exposes last-bit differences.
    rng = np.random.default_rng(seed)
    model = _model(rng, kind, num_states, num_columns)
    num_states = len(model[1]) - 1
    columns = model[3]
    used = np.unique(columns)
    if len(used) < 2:
        return
    c1, c2 = (int(c) for c in rng.choice(used, 2, replace=False))
    initial = _initial(rng, num_states, False)
    stream = _densities(rng, num_frames, num_columns, False)
    reference = ForwardReference(*model, initial)
    expected = reference.step(stream)
    flip = _flip_point(reference, columns, num_columns, c1, c2)
    if flip is None:
        return
    for bits in flip:
        decoder = kernels.ForwardDecoder(*model, initial)
        assert_states(decoder.step(stream), expected)
        probe = _probe(num_columns, c1, c2, bits)
        assert_states(decoder.step(probe), copy.deepcopy(reference).step(probe))


# Lanes that reach only their neighbours: summed in groups, each lane's
# sources are a part of the entries its group reads.  A non-finite entry
# must not leak into the lanes that do not read it (inf * 0 is NaN).
@pytest.mark.parametrize("value", [np.inf, np.nan, -np.inf])
@pytest.mark.parametrize("lane", [0, 5, 11])
def test_non_finite_predecessor_reaches_only_its_lanes(kernels, value, lane):
    model = tempo_lane_model(2, 13, domain="linear", reach=1)
    ptr = model[1]
    ends = np.cumsum(np.arange(2, 14)) - 1
    initial = np.full(len(ptr) - 1, 0.01, F32)
    initial[ends[lane]] = value
    stream = frames(np.random.default_rng(lane), 6)
    decoder = kernels.ForwardDecoder(*model, initial)
    assert_states(decoder.step(stream),
                  ForwardReference(*model, initial).step(stream))
