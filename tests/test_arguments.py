import math
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from reference import renorm_case, three_state, two_lanes, viterbi_reference

SPLIT = ("cadentia.model._kernels._split_layout", 22)
DECODE = ("cadentia.model._kernels.decode", 70)
CINIT = ("cadentia.model._kernels.ForwardDecoder.__cinit__", 189)
STEP = ("cadentia.model._kernels.ForwardDecoder.step", 220)


def runtime(*parts):
    """A keyword name built at run time, so it is not the interned one."""
    return "".join(parts)


class Args:
    """Valid arguments for every function, and a decoder to call methods on."""

    def __init__(self, kernels):
        v = three_state()
        self.p, self.q, self.w = v["pred"], v["ptr"], v["log_prob"]
        self.ld, self.c, self.li = v["log_dens"], v["columns"], v["log_initial"]
        f = two_lanes()
        self.fargs = tuple(f.values())
        self.x = np.array([[0.5, 2.0]], np.float32)
        self.k = kernels
        self.d = kernels.ForwardDecoder(*self.fargs)

    @property
    def split(self):
        return (self.p, self.q, self.w, self.c)

    @property
    def decode(self):
        return (self.p, self.q, self.w, self.ld, self.c, self.li)


@pytest.fixture
def a(kernels):
    return Args(kernels)


# ---------------------------------------------------------------------------
# Argument matching


MATCHING = [
    # _split_layout: five required
    (lambda a: a.k._split_layout(*a.split),
     "_split_layout() takes exactly 5 positional arguments (4 given)", SPLIT),
    (lambda a: a.k._split_layout(),
     "_split_layout() takes exactly 5 positional arguments (0 given)", SPLIT),
    (lambda a: a.k._split_layout(*a.split, 0.0, 0.0),
     "_split_layout() takes exactly 5 positional arguments (6 given)", SPLIT),
    (lambda a: a.k._split_layout(*a.split, 0.0, 0.0, identity=0.0),
     "_split_layout() takes exactly 5 positional arguments (6 given)", SPLIT),
    (lambda a: a.k._split_layout(pred=a.p, ptr=a.q),
     "_split_layout() takes exactly 5 positional arguments (2 given)", SPLIT),
    (lambda a: a.k._split_layout(a.p, a.q, columns=a.c, identity=0.0),
     "_split_layout() takes exactly 5 positional arguments (2 given)", SPLIT),
    (lambda a: a.k._split_layout(ptr=a.q, weight=a.w, columns=a.c, identity=0.0),
     "_split_layout() takes exactly 5 positional arguments (0 given)", SPLIT),
    (lambda a: a.k._split_layout(*a.split, 0.0, pred=a.p),
     "_split_layout() got multiple values for keyword argument 'pred'", SPLIT),
    (lambda a: a.k._split_layout(*a.split, weights=a.w),
     "_split_layout() got an unexpected keyword argument 'weights'", SPLIT),
    # decode: six required, renorm_period optional
    (lambda a: a.k.decode(*a.decode[:5]),
     "decode() takes at least 6 positional arguments (5 given)", DECODE),
    (lambda a: a.k.decode(),
     "decode() takes at least 6 positional arguments (0 given)", DECODE),
    (lambda a: a.k.decode(*a.decode, 1, 2),
     "decode() takes at most 7 positional arguments (8 given)", DECODE),
    (lambda a: a.k.decode(*a.decode, 1, 2, renorm_period=1),
     "decode() takes at most 7 positional arguments (8 given)", DECODE),
    (lambda a: a.k.decode(a.p, a.q, log_dens=a.ld, columns=a.c,
                          log_initial=a.li),
     "decode() takes at least 6 positional arguments (2 given)", DECODE),
    (lambda a: a.k.decode(*a.decode[:5], renorm_period=1),
     "decode() takes at least 6 positional arguments (5 given)", DECODE),
    (lambda a: a.k.decode(a.p, renorm=1),
     "decode() got an unexpected keyword argument 'renorm'", DECODE),
    (lambda a: a.k.decode(*a.decode, pred=a.p),
     "decode() got multiple values for keyword argument 'pred'", DECODE),
    (lambda a: a.k.decode(*a.decode, 3, **{runtime("renorm_", "period"): 3}),
     "decode() got multiple values for keyword argument 'renorm_period'",
     DECODE),
    # construction: five required, matched from a tuple and a dictionary
    (lambda a: a.k.ForwardDecoder(*a.fargs[:2]),
     "__cinit__() takes exactly 5 positional arguments (2 given)", CINIT),
    (lambda a: a.k.ForwardDecoder(),
     "__cinit__() takes exactly 5 positional arguments (0 given)", CINIT),
    (lambda a: a.k.ForwardDecoder(*a.fargs, 1),
     "__cinit__() takes exactly 5 positional arguments (6 given)", CINIT),
    (lambda a: a.k.ForwardDecoder(pred=a.fargs[0], ptr=a.fargs[1]),
     "__cinit__() takes exactly 5 positional arguments (2 given)", CINIT),
    (lambda a: a.k.ForwardDecoder(*a.fargs[:3], columns=a.fargs[3]),
     "__cinit__() takes exactly 5 positional arguments (4 given)", CINIT),
    (lambda a: a.k.ForwardDecoder(*a.fargs, initial=a.fargs[4]),
     "__cinit__() got multiple values for keyword argument 'initial'", CINIT),
    (lambda a: a.k.ForwardDecoder(*a.fargs, extra=1),
     "__cinit__() got an unexpected keyword argument 'extra'", CINIT),
    (lambda a: a.k.ForwardDecoder(*a.fargs, **{1: 2}),
     "__cinit__() keywords must be strings", CINIT),
    (lambda a: a.k.ForwardDecoder(**{1: 2}),
     "__cinit__() keywords must be strings", CINIT),
    # step: one required besides the instance
    (lambda a: a.d.step(),
     "step() takes exactly 1 positional argument (0 given)", STEP),
    (lambda a: a.d.step(a.x, a.x),
     "step() takes exactly 1 positional argument (2 given)", STEP),
    (lambda a: type(a.d).step(a.d),
     "step() takes exactly 1 positional argument (0 given)", STEP),
    (lambda a: a.d.step(a.x, dens=a.x),
     "step() got multiple values for keyword argument 'dens'", STEP),
    (lambda a: a.d.step(a.x, **{runtime("de", "ns"): a.x}),
     "step() got multiple values for keyword argument 'dens'", STEP),
    (lambda a: a.d.step(density=a.x),
     "step() got an unexpected keyword argument 'density'", STEP),
    # reset: nothing besides the instance, and no traceback entry
    (lambda a: a.d.reset(1),
     "reset() takes exactly 0 positional arguments (1 given)", None),
    (lambda a: a.d.reset(x=1),
     "reset() got an unexpected keyword argument 'x'", None),
    (lambda a: a.d.reset(y=1, x=2),
     "reset() got an unexpected keyword argument 'y'", None),
]


@pytest.mark.parametrize("call, message, entry", MATCHING)
def test_argument_matching(a, entries, call, message, entry):
    with pytest.raises(TypeError) as excinfo:
        call(a)
    assert str(excinfo.value) == message
    assert entries(excinfo) == ([entry] if entry else [])


@pytest.mark.parametrize("method", ["step", "reset"])
def test_method_refuses_foreign_instance(a, method):
    args = (a.x,) if method == "step" else ()
    with pytest.raises(TypeError):
        getattr(type(a.d), method)(object(), *args)


def test_keywords_built_at_run_time(a):
    split = a.k._split_layout(**{runtime("pr", "ed"): a.p,
                                 runtime("pt", "r"): a.q,
                                 runtime("wei", "ght"): a.w,
                                 runtime("colu", "mns"): a.c,
                                 runtime("iden", "tity"): 0.0})
    np.testing.assert_array_equal(split["bnd_state"], [0])
    path, _ = a.k.decode(*a.decode[:2], **{
        runtime("log_", "prob"): a.w, runtime("log_", "dens"): a.ld,
        runtime("col", "umns"): a.c, runtime("log_", "initial"): a.li,
        runtime("renorm_", "period"): 2})
    np.testing.assert_array_equal(path, [0, 1, 2])
    names = [runtime("pr", "ed"), runtime("p", "tr"), runtime("pr", "ob"),
             runtime("colu", "mns"), runtime("init", "ial")]
    d = a.k.ForwardDecoder(**dict(zip(names, a.fargs)))
    np.testing.assert_array_equal(d.step(**{runtime("de", "ns"): a.x}), [2])


def test_arguments_checked_before_values(a, entries):
    bad = a.p.astype(np.float64)
    with pytest.raises(TypeError) as excinfo:
        a.k.decode(bad, a.q)
    assert str(excinfo.value) == \
        "decode() takes at least 6 positional arguments (2 given)"
    with pytest.raises(TypeError) as excinfo:
        a.k.decode(bad, *a.decode[1:], bogus=1)
    assert str(excinfo.value) == \
        "decode() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("spoil, message, line", [
    ({"pred", "columns", "log_initial", "renorm"},
     "Buffer dtype mismatch, expected 'uint32_t' but got 'double'", 70),
    ({"columns", "log_initial", "renorm"},
     "Buffer dtype mismatch, expected 'uint32_t' but got 'double'", 71),
    ({"log_initial", "renorm"},
     "Buffer dtype mismatch, expected 'float' but got 'double'", 71),
    ({"renorm"}, "an integer is required", 72),
])
def test_values_converted_in_order(a, entries, spoil, message, line):
    args = dict(zip(["pred", "ptr", "log_prob", "log_dens", "columns",
                     "log_initial"], a.decode))
    for name in spoil - {"renorm"}:
        args[name] = args[name].astype(np.float64)
    with pytest.raises((TypeError, ValueError)) as excinfo:
        a.k.decode(**args, renorm_period="x")
    assert str(excinfo.value) == message
    assert entries(excinfo) == [("cadentia.model._kernels.decode", line)]


# ---------------------------------------------------------------------------
# renorm_period: integer conversion


class IntSub(int):
    pass


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class OnlyIndex:
    def __index__(self):
        return 1


@pytest.mark.parametrize("value, period", [
    (True, 1), (False, 0), (2.7, 2), (-2.5, -2), (np.float32(4.9), 4),
    (np.int64(3), 3), (IntSub(4), 4), (HasInt(5), 5), (HasInt(IntSub(2)), 2),
    (Fraction(7, 2), 3), (Decimal("2.9"), 2), (2**31 - 1, 0), (-2**31, 0)])
def test_renorm_period_accepted(kernels, value, period):
    args = renorm_case()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        got = kernels.decode(**args, renorm_period=value)
    assert got[1] == viterbi_reference(**args, renorm_period=period)[1]


@pytest.mark.parametrize("value, error, message", [
    ("8", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"8", TypeError, "an integer is required"),
    (OnlyIndex(), TypeError, "an integer is required"),
    (HasInt("3"), TypeError, "__int__ returned non-int (type str)"),
    (HasInt(3.0), TypeError, "__int__ returned non-int (type float)"),
    (2**40, OverflowError, None),
    (2**31, OverflowError, None),
    (-2**31 - 1, OverflowError, None),
    (1e10, OverflowError, None),
    (float("nan"), ValueError, None),
])
def test_renorm_period_refused(kernels, entries, value, error, message):
    with pytest.raises(error) as excinfo:
        kernels.decode(**renorm_case(), renorm_period=value)
    if message is not None:
        assert str(excinfo.value) == message
    assert entries(excinfo) == [("cadentia.model._kernels.decode", 72)]


INT_SUBCLASS_WARNING = (
    "__int__ returned non-int (type IntSub).  The ability to return an "
    "instance of a strict subclass of int is deprecated, and may be removed "
    "in a future version of Python.")


def test_int_subclass_from_dunder_int_warns(kernels, entries):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kernels.decode(**renorm_case(), renorm_period=HasInt(IntSub(2)))
    assert [(w.category, str(w.message)) for w in caught] == \
        [(DeprecationWarning, INT_SUBCLASS_WARNING)]
    assert caught[0].filename == __file__

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as excinfo:
            kernels.decode(**renorm_case(), renorm_period=HasInt(IntSub(2)))
    assert str(excinfo.value) == INT_SUBCLASS_WARNING
    assert entries(excinfo) == [("cadentia.model._kernels.decode", 72)]


# ---------------------------------------------------------------------------
# identity: real conversion


class HasFloat:
    def __float__(self):
        return 1.0


def unit_edge_model():
    # State 1's only edge comes from state 0 with weight exactly 1.0.
    return (np.array([1, 0], np.uint32), np.array([0, 1, 2], np.uint32),
            np.array([0.5, 1.0], np.float32), np.array([0, 0], np.uint32))


@pytest.mark.parametrize("identity, boundary", [
    (1.0, [0]), (1, [0]), (True, [0]), (np.float32(1.0), [0]),
    (HasFloat(), [0]), (OnlyIndex(), [0]), (0.0, [0, 1]), (False, [0, 1])])
def test_identity_accepted(kernels, identity, boundary):
    lay = kernels._split_layout(*unit_edge_model(), identity)
    np.testing.assert_array_equal(lay["bnd_state"], boundary)


@pytest.mark.parametrize("identity, error", [
    ("1.0", TypeError), (None, TypeError), (b"1", TypeError),
    (10**400, OverflowError)])
def test_identity_refused(kernels, entries, identity, error):
    with pytest.raises(error) as excinfo:
        kernels._split_layout(*unit_edge_model(), identity)
    # The interpreter's own float conversion reports the failure.
    with pytest.raises(error) as expected:
        math.isnan(identity)
    assert str(excinfo.value) == str(expected.value)
    assert entries(excinfo) == [SPLIT]
