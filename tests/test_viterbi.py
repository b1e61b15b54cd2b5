import builtins
import math
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

from reference import (random_csr_model, renorm_case, tempo_lane_model,
                       three_state, viterbi_reference)

F32 = np.float32
U32 = np.uint32
INF = np.inf
NAME = "cadentia.model._kernels.decode"


def assert_same(result, expected):
    path, log_probability = result
    ref_path, ref_log_probability = expected
    assert type(path) is np.ndarray and path.dtype == np.int64
    np.testing.assert_array_equal(path, ref_path)
    assert type(log_probability) is float
    if math.isnan(ref_log_probability):
        assert math.isnan(log_probability)
    else:
        assert np.float64(log_probability).tobytes() == \
            np.float64(ref_log_probability).tobytes()


# ---------------------------------------------------------------------------
# Worked cases


@pytest.mark.parametrize("renorm", [None, 0, 1, 2, -5])
def test_worked_example(kernels, renorm):
    args = three_state()
    extra = {} if renorm is None else {"renorm_period": renorm}
    result = kernels.decode(**args, **extra)
    assert type(result) is tuple and len(result) == 2
    np.testing.assert_array_equal(result[0], [0, 1, 2])
    assert result[1] == -4.0


@pytest.mark.parametrize("log_dens", [np.zeros((0, 2), F32), None],
                         ids=["zero-rows", "none"])
@pytest.mark.parametrize("log_initial, expected", [
    ((-1.0, 3.0, 3.0), 3.0),
    ((-INF, -INF, -INF), -INF),
])
def test_no_frames(kernels, log_dens, log_initial, expected):
    args = three_state(log_initial)
    args["log_dens"] = log_dens
    path, log_probability = kernels.decode(**args)
    assert path.dtype == np.int64 and path.shape == (0,)
    assert log_probability == expected


@pytest.mark.parametrize("first, second", [(2, 1), (1, 2)])
def test_equal_candidates_take_the_earliest_edge(kernels, first, second):
    # State 0 is reached from 1 and 2 with equal scores; 1 and 2 loop.
    args = dict(
        pred=np.array([first, second, 1, 2], U32),
        ptr=np.array([0, 2, 3, 4], U32),
        log_prob=np.full(4, -1.0, F32),
        log_dens=np.array([[0, 0], [0, -5]], F32),
        columns=np.array([0, 1, 1], U32),
        log_initial=np.array([-INF, 0, 0], F32),
    )
    path, log_probability = kernels.decode(**args)
    np.testing.assert_array_equal(path, [first, 0])
    assert log_probability == -2.0


@pytest.mark.parametrize("num_frames, path, log_probability", [
    (1, [1], -0.5),
    (2, [0, 0], -INF),
])
def test_edgeless_boundary_state_scores_minus_inf(kernels, num_frames, path,
                                                  log_probability):
    # State 0 has no incoming edge, so no boundary predecessor exists at all.
    args = dict(pred=np.array([0], U32), ptr=np.array([0, 0, 1], U32),
                log_prob=np.array([0.0], F32),
                log_dens=np.full((num_frames, 1), -0.5, F32),
                columns=np.array([0, 0], U32),
                log_initial=np.array([0.0, 0.0], F32))
    result = kernels.decode(**args)
    np.testing.assert_array_equal(result[0], path)
    assert result[1] == log_probability


@pytest.mark.parametrize("renorm", [0, 1])
def test_all_minus_inf_gives_zero_path(kernels, renorm):
    # A renormalisation whose maximum is -inf must not subtract it (NaN).
    args = three_state((-INF, -INF, -INF))
    path, log_probability = kernels.decode(**args, renorm_period=renorm)
    np.testing.assert_array_equal(path, [0, 0, 0])
    assert log_probability == -INF


def test_nan_final_score_wins(kernels):
    # States 1 and 2 read the NaN column in the last frame; state 0 does not.
    args = three_state(rows=((-1, -2), (-3, -1), (-2, np.nan)))
    path, log_probability = kernels.decode(**args)
    np.testing.assert_array_equal(path, [0, 0, 0])
    assert math.isnan(log_probability)


def test_renorm_periods(kernels):
    args = renorm_case()
    expected = {p: viterbi_reference(**args, renorm_period=p)
                for p in (0, 1, 2, 3, 4, 5)}
    assert len({e[1] for e in expected.values()}) == len(expected)
    for p in (0, 1, 2, 3, 4, 5):
        assert_same(kernels.decode(**args, renorm_period=p), expected[p])
    for p in (-3, 12, 13):
        assert_same(kernels.decode(**args, renorm_period=p), expected[0])
    assert_same(kernels.decode(**args), expected[0])


def test_renorm_three_over_seven_frames(kernels):
    args = dict(zip(["pred", "ptr", "log_prob", "columns"],
                    tempo_lane_model(2, 5, np.random.default_rng(7))))
    rng = np.random.default_rng(8)
    args["log_dens"] = (rng.standard_normal((7, 2)) * 3).astype(F32)
    args["log_initial"] = (rng.standard_normal(len(args["ptr"]) - 1)).astype(F32)
    assert_same(kernels.decode(**args, renorm_period=3),
                viterbi_reference(**args, renorm_period=3))


# ---------------------------------------------------------------------------
# Column limit and the layout call


@pytest.fixture
def spy(kernels, monkeypatch):
    real = kernels._split_layout
    calls = []

    def split(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(kernels, "_split_layout", split)
    return calls


@pytest.mark.parametrize("num_frames", [0, 3])
def test_seventeen_columns_refused_before_the_layout(kernels, spy, entries,
                                                     num_frames):
    args = three_state()
    args["log_dens"] = np.zeros((num_frames, 17), F32)
    with pytest.raises(ValueError) as excinfo:
        kernels.decode(**args)
    assert str(excinfo.value) == \
        "compiled decoder supports at most 16 observation columns"
    assert entries(excinfo) == [(NAME, 80)]
    assert spy == []


def test_sixteen_columns_accepted(kernels):
    args = three_state()
    wide = np.full((3, 16), np.nan, F32)
    wide[:, :2] = args["log_dens"]
    args["log_dens"] = wide
    path, log_probability = kernels.decode(**args)
    np.testing.assert_array_equal(path, [0, 1, 2])
    assert log_probability == -4.0


def test_layout_receives_views_of_the_callers_arrays(kernels, monkeypatch):
    args = three_state()
    real = kernels._split_layout
    seen = []

    def split(pred, ptr, weight, columns, identity):
        views = (pred, ptr, weight, columns)
        originals = (args["pred"], args["ptr"], args["log_prob"], args["columns"])
        seen.append(dict(
            shares=[np.shares_memory(np.asarray(v), a)
                    for v, a in zip(views, originals)],
            dtypes=[np.asarray(v).dtype for v in views],
            formats=[memoryview(v).format for v in views],
            shapes=[memoryview(v).shape for v in views],
            writable=[not memoryview(v).readonly for v in views],
            elements=[type(pred[0]), type(weight[0])],
            identity=(type(identity), identity, math.copysign(1.0, identity)),
        ))
        return real(pred, ptr, weight, columns, identity)

    monkeypatch.setattr(kernels, "_split_layout", split)
    path, _ = kernels.decode(**args)
    np.testing.assert_array_equal(path, [0, 1, 2])
    assert len(seen) == 1
    call = seen[0]
    assert call["shares"] == [True] * 4
    assert call["dtypes"] == [np.uint32, np.uint32, np.float32, np.uint32]
    assert call["formats"] == [memoryview(args[k]).format
                               for k in ("pred", "ptr", "log_prob", "columns")]
    assert call["shapes"] == [(4,), (4,), (4,), (3,)]
    assert call["writable"] == [True] * 4
    assert call["elements"] == [int, float]
    assert call["identity"] == (float, 0.0, 1.0)


def test_layout_looked_up_in_builtins_then_missing(kernels, monkeypatch, spy,
                                                   entries):
    args = three_state()
    split = kernels._split_layout
    monkeypatch.delattr(kernels, "_split_layout")
    with pytest.raises(NameError) as excinfo:
        kernels.decode(**args)
    assert str(excinfo.value) == "name '_split_layout' is not defined"
    assert entries(excinfo) == [(NAME, 82)]

    monkeypatch.setattr(builtins, "_split_layout", split, raising=False)
    path, _ = kernels.decode(**args)
    np.testing.assert_array_equal(path, [0, 1, 2])
    assert len(spy) == 1


def test_layout_failure_passes_through(kernels, monkeypatch, entries):
    class Boom(Exception):
        pass

    def split(*args):
        raise Boom("layout")

    monkeypatch.setattr(kernels, "_split_layout", split)
    with pytest.raises(Boom) as excinfo:
        kernels.decode(**three_state())
    assert str(excinfo.value) == "layout"
    assert entries(excinfo) == [(NAME, 82)]


def test_split_layout_failure_shows_both_entries(kernels, entries):
    # The last state has no edge, so ptr[N-1] is past the end of pred.
    args = three_state()
    args["ptr"] = np.array([0, 2, 3, 3], U32)
    args["pred"] = args["pred"][:3].copy()
    args["log_prob"] = args["log_prob"][:3].copy()
    with pytest.raises(IndexError) as excinfo:
        kernels.decode(**args)
    names = [name for name, _ in entries(excinfo)]
    assert names == [NAME, "cadentia.model._kernels._split_layout"]
    assert entries(excinfo)[0] == (NAME, 82)


LAYOUT_LINES = {"bnd_state": 83, "pred_list": 85, "bnd_src": 87,
                "bnd_orig": 88, "bnd_ptr": 89, "bnd_weight": 90,
                "bnd_dcol": 91, "run_lo": 92, "run_hi": 93, "run_col": 95}


@pytest.mark.parametrize("key, line", LAYOUT_LINES.items())
def test_layout_key_missing(kernels, change_layout, entries, key, line):
    change_layout(lambda lay: lay.pop(key))
    with pytest.raises(KeyError) as excinfo:
        kernels.decode(**three_state())
    assert excinfo.value.args == (key,)
    assert entries(excinfo) == [(NAME, line)]


def test_layout_may_be_any_mapping(kernels, monkeypatch):
    real = kernels._split_layout
    looked_up = []

    class Layout:
        def __init__(self, lay):
            self.lay = lay

        def __getitem__(self, key):
            looked_up.append(key)
            return self.lay[key]

    monkeypatch.setattr(kernels, "_split_layout",
                        lambda *args: Layout(real(*args)))
    path, log_probability = kernels.decode(**three_state())
    np.testing.assert_array_equal(path, [0, 1, 2])
    assert log_probability == -4.0
    assert looked_up == list(LAYOUT_LINES)


# ---------------------------------------------------------------------------
# Argument refusals and what a call leaves behind


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("name, line", [
    ("pred", 70), ("ptr", 70), ("log_prob", 70), ("log_dens", 70),
    ("columns", 71), ("log_initial", 71)])
@pytest.mark.parametrize("spoil", ["float64", "read-only"])
def test_refused_array_reports_its_line(kernels, entries, name, line, spoil):
    args = three_state()
    if spoil == "float64":
        args[name] = args[name].astype(np.float64)
    else:
        args[name] = _read_only(args[name])
    with pytest.raises(ValueError) as excinfo:
        kernels.decode(**args)
    if spoil == "float64":
        kind = "uint32_t" if name in ("pred", "ptr", "columns") else "float"
        assert str(excinfo.value) == \
            f"Buffer dtype mismatch, expected '{kind}' but got 'double'"
    assert entries(excinfo) == [(NAME, line)]


def test_inputs_unchanged_and_released(kernels, monkeypatch):
    args = three_state()
    before = {k: v.copy() for k, v in args.items()}
    counts = {k: sys.getrefcount(v) for k, v in args.items()}
    kernels.decode(**args, renorm_period=1)
    for k in args:
        np.testing.assert_array_equal(args[k], before[k])
    assert {k: sys.getrefcount(v) for k, v in args.items()} == counts

    monkeypatch.setattr(kernels, "_split_layout", lambda *a: {})
    with pytest.raises(KeyError):
        kernels.decode(**args)
    assert {k: sys.getrefcount(v) for k, v in args.items()} == counts


# ---------------------------------------------------------------------------
# Randomised comparison with the reference model


def _special(rng, values, fraction, choices):
    mask = rng.random(values.shape) < fraction
    values[mask] = rng.choice(choices, size=int(mask.sum()))
    return values


def _scores(rng, num_frames, num_columns, num_states, special):
    log_dens = (rng.standard_normal((num_frames, num_columns))
                * rng.choice([0.5, 5.0, 300.0])).astype(F32)
    log_initial = (rng.standard_normal(num_states) * 2).astype(F32)
    if special:
        _special(rng, log_dens, 0.05, [-INF, np.nan, 0.0, -0.0])
        _special(rng, log_initial, 0.3, [-INF, -INF, 0.0, np.nan])
    return log_dens, log_initial


renorm_periods = st.sampled_from([-1, 0, 1, 2, 3, 5, 1024])


@given(lo=st.integers(1, 6), extra=st.integers(0, 6),
       num_frames=st.integers(0, 40), extra_columns=st.integers(0, 14),
       renorm=renorm_periods, special=st.booleans(),
       seed=st.integers(0, 2**32 - 1))
def test_tempo_lanes_match_reference(kernels, lo, extra, num_frames,
                                     extra_columns, renorm, special, seed):
    rng = np.random.default_rng(seed)
    pred, ptr, log_prob, columns = tempo_lane_model(lo, lo + extra, rng)
    log_dens, log_initial = _scores(rng, num_frames, 2 + extra_columns,
                                    len(ptr) - 1, special)
    args = (pred, ptr, log_prob, log_dens, columns, log_initial, renorm)
    assert_same(kernels.decode(*args), viterbi_reference(*args))


@given(num_states=st.integers(1, 40), num_columns=st.integers(1, 16),
       num_frames=st.integers(0, 30), renorm=renorm_periods,
       special=st.booleans(), seed=st.integers(0, 2**32 - 1))
def test_random_models_match_reference(kernels, num_states, num_columns,
                                       num_frames, renorm, special, seed):
    rng = np.random.default_rng(seed)
    pred, ptr, log_prob, columns = random_csr_model(rng, num_states,
                                                    num_columns)
    log_dens, log_initial = _scores(rng, num_frames, num_columns, num_states,
                                    special)
    args = (pred, ptr, log_prob, log_dens, columns, log_initial, renorm)
    assert_same(kernels.decode(*args), viterbi_reference(*args))
