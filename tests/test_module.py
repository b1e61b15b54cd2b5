import copy
import gc
import importlib
import inspect
import json
import os
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import numpy as np
import pytest

from reference import two_lanes

MODULE = "cadentia.model._kernels"
SOURCE_FILE = "src/cadentia/model/_kernels"
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"

MODULE_DOC = (
    "Compiled HMM kernels for the contiguous tempo-lane grid.\n"
    "\n"
    "Two decoders over the same state space, sharing the interior/boundary split\n"
    "(:func:`_split_layout`): :func:`decode` is the offline Viterbi (MAP, log domain,\n"
    "backtracked); :class:`ForwardDecoder` is the streaming forward/filtering decode\n"
    "(linear domain, causal).\n"
    "\n"
    "Interior phase states have one predecessor, s-1, at log-prob 0 / probability 1,\n"
    "so phase advance is a stride-1 shift; only the few boundary states reduce over\n"
    "their predecessors. Single precision throughout.\n"
)

SPLIT_LAYOUT_DOC = (
    "Interior/boundary split + constant-column runs shared by both kernels.\n"
    "\n"
    "    A state is *deterministic* (a plain phase advance) when its single\n"
    "    predecessor is ``s-1`` with weight ``identity`` \u2014 log-prob 0 for Viterbi,\n"
    "    probability 1 for the forward decode; the rest are *boundaries* that reduce\n"
    "    over their predecessors. ``weight`` is the per-edge log-prob or probability;\n"
    "    the gathered boundary weights come back as float32. Returns the layout arrays\n"
    "    (``bnd_orig`` is the boundary predecessors for Viterbi backtracking; the\n"
    "    forward decode ignores it)."
)

FORWARD_DECODER_DOC = (
    "Streaming forward (filtering) decode over the contiguous tempo-lane grid.\n"
    "\n"
    "    The HMM forward algorithm (Rabiner 1989) for the Krebs/B\u00f6ck/Widmer state\n"
    "    space. Like :func:`decode` it exploits lane contiguity: an interior state's\n"
    "    only predecessor is ``s-1`` at probability 1, so its update is a stride-1\n"
    "    shift times the observation density; only the few boundary states sum over\n"
    "    predecessors.\n"
    "\n"
    "    Linear domain, normalised every frame \u2014 the forward recursion needs a proper\n"
    "    distribution and the normalisation also guards float32 underflow. The belief\n"
    "    persists across :meth:`step` calls, so logits can be pushed in arbitrary\n"
    "    chunks (streaming). :meth:`step` returns the per-frame argmax state, from\n"
    "    which the caller reads beats causally.\n"
    "    "
)

STEP_DOC = ("Advance over a chunk of linear densities ``(T, C)``; return the\n"
            "        per-frame argmax state ``(T,)``. Updates the persistent belief.")

RESET_DOC = "Restore the belief to the initial distribution."

SPLIT_LAYOUT_LOCALS = (
    "ptr_np", "pred_np", "weight_np", "num_states", "counts", "ids", "is_det",
    "bnd", "glob", "bnd_orig", "pred_list", "bnd_src", "col_np", "change",
    "run_lo", "run_hi", "s")
DECODE_LOCALS = (
    "num_states", "num_frames", "num_cols", "lay", "bnd_state", "num_bnd",
    "pred_list", "num_pred", "bnd_src", "bnd_orig", "bnd_ptr", "bnd_lp",
    "bnd_dcol", "run_lo", "run_hi", "num_runs", "run_col", "pl", "is_bnd",
    "bnd_col", "buf_a", "buf_b", "prev", "cur", "tmp", "bt", "d", "frame", "j",
    "k", "s", "p", "c", "r", "lo", "hi", "best", "tp", "dval", "m", "offset",
    "state", "log_probability", "path", "st")
STEP_LOCALS = (
    "num_frames", "num_cols", "out", "a", "b", "pl", "tmp", "d", "frame", "j",
    "k", "s", "p", "c", "r", "lo", "hi", "best_s", "acc", "dval", "ssum",
    "inv_sum", "best")


@pytest.fixture
def decoder(kernels):
    return kernels.ForwardDecoder(**two_lanes())


def functions(kernels):
    return {
        "_split_layout": kernels._split_layout,
        "decode": kernels.decode,
        "reset": kernels.ForwardDecoder.reset,
        "step": kernels.ForwardDecoder.step,
    }


# ---------------------------------------------------------------------------
# Namespace and docstrings


def test_namespace(kernels):
    ns = vars(kernels)
    assert ns["__doc__"] == MODULE_DOC
    assert ns["__name__"] == MODULE
    assert ns["__package__"] == "cadentia.model"
    assert ns["__file__"] == kernels.__spec__.origin
    assert ns["__loader__"] is kernels.__spec__.loader
    assert "__path__" not in ns
    assert ns["__builtins__"] is sys.modules["builtins"]
    assert ns["np"] is np
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    assert isinstance(ns["ForwardDecoder"], type)
    assert {k for k in ns if not k.startswith("_")} == \
        {"ForwardDecoder", "decode", "np"}


@pytest.mark.parametrize("name, doc", [
    ("_split_layout", SPLIT_LAYOUT_DOC), ("decode", None),
    ("reset", RESET_DOC), ("step", STEP_DOC)])
def test_function_docstrings(kernels, name, doc):
    assert functions(kernels)[name].__doc__ == doc


def test_type_docstring(kernels):
    assert kernels.ForwardDecoder.__doc__ == FORWARD_DECODER_DOC


# ---------------------------------------------------------------------------
# Function objects


@pytest.mark.parametrize("name, qualname, params, local_names, line, signature", [
    ("_split_layout", "_split_layout",
     ("pred", "ptr", "weight", "columns", "identity"), SPLIT_LAYOUT_LOCALS, 22,
     "(pred, ptr, weight, columns, identity)"),
    ("decode", "decode",
     ("pred", "ptr", "log_prob", "log_dens", "columns", "log_initial",
      "renorm_period"), DECODE_LOCALS, 70,
     "(pred, ptr, log_prob, log_dens, columns, log_initial, renorm_period=1024)"),
    ("reset", "ForwardDecoder.reset", ("self",), ("s",), 214, "(self)"),
    ("step", "ForwardDecoder.step", ("self", "dens"), STEP_LOCALS, 220,
     "(self, dens)"),
])
def test_function_attributes(kernels, name, qualname, params, local_names,
                             line, signature):
    func = functions(kernels)[name]
    assert func.__name__ == name
    assert func.__qualname__ == qualname
    assert func.__module__ == MODULE
    assert func.__globals__ is vars(kernels)
    assert func.__defaults__ == ((1024,) if name == "decode" else None)
    assert func.__kwdefaults__ is None
    code = func.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_filename == SOURCE_FILE
    assert code.co_firstlineno == line
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == params + local_names
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == \
        inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert str(inspect.signature(func)) == signature


def test_methods_bind(kernels, decoder):
    cls = kernels.ForwardDecoder
    step = decoder.step
    assert isinstance(step, types.MethodType)
    assert step.__self__ is decoder and step.__func__ is cls.step
    assert vars(cls)["step"] is cls.step
    assert str(inspect.signature(step)) == "(dens)"
    assert str(inspect.signature(decoder.reset)) == "()"
    dens = np.array([[0.5, 2.0]], np.float32)
    np.testing.assert_array_equal(cls.step(decoder, dens), [2])
    assert cls.reset(decoder) is None
    np.testing.assert_array_equal(cls.step(decoder, dens=dens), [2])


# ---------------------------------------------------------------------------
# The ForwardDecoder type


def test_type_record(kernels):
    cls = kernels.ForwardDecoder
    assert cls.__name__ == "ForwardDecoder"
    assert cls.__qualname__ == "ForwardDecoder"
    assert cls.__module__ == MODULE
    assert cls.__bases__ == (object,)
    heap_type, gc_type = 1 << 9, 1 << 14
    assert not cls.__flags__ & heap_type
    assert not cls.__flags__ & gc_type
    assert "__dict__" not in vars(cls) and "__weakref__" not in vars(cls)
    refusers = [k for k, v in vars(cls).items()
                if v is vars(cls).get("__reduce__")
                or v is vars(cls).get("__setstate__")]
    assert sorted(refusers) == ["__reduce__", "__setstate__"]


@pytest.mark.parametrize("name", ["step", "reset", "extra"])
def test_type_is_immutable(kernels, name):
    with pytest.raises(TypeError):
        setattr(kernels.ForwardDecoder, name, lambda self: None)


def test_instances(kernels, decoder):
    assert not gc.is_tracked(decoder)
    with pytest.raises(AttributeError):
        decoder.belief = 1
    with pytest.raises(TypeError):
        weakref.ref(decoder)
    made = kernels.ForwardDecoder.__new__(kernels.ForwardDecoder, **two_lanes())
    np.testing.assert_array_equal(made.step(np.array([[0.5, 2.0]], np.float32)),
                                  [2])


@pytest.mark.parametrize("refuse", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda d: d.__reduce__(), lambda d: d.__reduce_ex__(2),
    lambda d: d.__setstate__(None)])
def test_pickling_refused(decoder, refuse):
    with pytest.raises(TypeError) as excinfo:
        refuse(decoder)
    assert str(excinfo.value) == REFUSAL


def test_subclasses(kernels):
    finalised = []

    class Named(kernels.ForwardDecoder):
        def __init__(self, *args, **kwargs):
            self.name = "named"

        def __del__(self):
            finalised.append(self.name)

    sub = Named(**two_lanes())
    assert sub.name == "named"
    np.testing.assert_array_equal(sub.step(np.array([[0.5, 2.0]], np.float32)),
                                  [2])
    weakref.ref(sub)
    del sub
    gc.collect()
    assert finalised == ["named"]

    class OneArgument(kernels.ForwardDecoder):
        def __init__(self, label):
            self.label = label

    # Construction runs in the allocation step, whatever __init__ takes.
    with pytest.raises(TypeError) as excinfo:
        OneArgument("x")
    assert str(excinfo.value) == \
        "__cinit__() takes exactly 5 positional arguments (1 given)"


# ---------------------------------------------------------------------------
# Import


def test_import_is_idempotent(kernels):
    ns = dict(vars(kernels))
    keep = ["ForwardDecoder", "decode", "_split_layout", "np", "__test__"]
    assert importlib.import_module(MODULE) is kernels
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = kernels
    assert again is kernels
    assert importlib.reload(kernels) is kernels
    for name in keep:
        assert vars(kernels)[name] is ns[name]


def run_python(code):
    """Run `code` in a fresh interpreter and return the JSON it prints."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, env=os.environ,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


REPORT = """
    import json, sys, traceback

    def report(exc):
        return {"type": type(exc).__name__, "message": str(exc),
                "context": type(exc.__context__).__name__,
                "entries": [(e.name, e.lineno)
                            for e in traceback.extract_tb(exc.__traceback__)
                            if e.filename == "src/cadentia/model/_kernels"
                            and e.name == "init cadentia.model._kernels"],
                "all": [e.name for e in traceback.extract_tb(exc.__traceback__)]
                       + [e.name for e in traceback.extract_tb(
                           getattr(exc.__context__, "__traceback__", None))]}
"""


def test_failed_start_up_is_retried():
    out = run_python(REPORT + """
    sys.modules["numpy"] = None
    try:
        import cadentia.model._kernels
    except BaseException as exc:
        result = report(exc)
    del sys.modules["numpy"]
    import cadentia.model._kernels as kernels
    import numpy
    result["retry"] = kernels.np is numpy and callable(kernels.decode)
    print(json.dumps(result))
    """)
    assert out["type"] == "ModuleNotFoundError"
    assert out["entries"] == [["init cadentia.model._kernels", 1]]
    assert out["retry"] is True


def test_numpy_c_api_failure():
    # A stand-in `numpy` with the real types passes the type checks, but it
    # is no package, so the C-API module cannot be imported from it.
    out = run_python(REPORT + """
    import types, numpy
    saved = {k: v for k, v in sys.modules.items()
             if k == "numpy" or k.startswith("numpy.")}
    fake = types.ModuleType("numpy")
    for name in ("dtype flatiter broadcast ndarray generic number integer "
                 "signedinteger unsignedinteger inexact floating "
                 "complexfloating flexible character ufunc").split():
        setattr(fake, name, getattr(numpy, name))
    for k in saved:
        del sys.modules[k]
    sys.modules["numpy"] = fake
    try:
        import cadentia.model._kernels
    except BaseException as exc:
        result = report(exc)
    sys.modules.update(saved)
    import cadentia.model._kernels as kernels
    result["retry"] = kernels.np is numpy
    print(json.dumps(result))
    """)
    assert out["type"] == "ImportError"
    assert out["message"] == "numpy._core.multiarray failed to import"
    assert out["context"] == "ModuleNotFoundError"
    assert out["entries"] == [["init cadentia.model._kernels", 19]]
    assert "numpy.import_array" in out["all"]
    assert out["retry"] is True


@pytest.mark.parametrize("slots, accepted", [(36, True), (35, False)])
def test_broadcast_size_is_the_c_layout(slots, accepted):
    # numpy.broadcast's C struct ends in a flexible array of iterators: 304
    # bytes on 64-bit builds, whatever C++ makes of that array.
    out = run_python(REPORT + f"""
    import types, numpy
    fake = types.ModuleType("numpy")
    fake.__dict__.update({{k: v for k, v in vars(numpy).items()
                          if not k.startswith("__")}})
    fake.__path__ = numpy.__path__
    fake.broadcast = type("B", (), {{"__slots__": tuple(
        "a%d" % i for i in range({slots}))}})
    sys.modules["numpy"] = fake
    try:
        import cadentia.model._kernels
        result = {{"type": None}}
    except BaseException as exc:
        result = report(exc)
    print(json.dumps(result))
    """)
    if accepted:  # 16 + 36 * 8 bytes
        assert out["type"] is None, out
    else:
        assert out["type"] == "ValueError"
        assert out["message"] == (
            "numpy.broadcast size changed, may indicate binary incompatibility. "
            "Expected 304 from C header, got 296 from PyObject")


def test_second_interpreter_refused():
    out = run_python("""
    import json
    import _interpreters
    import cadentia.model._kernels
    interp = _interpreters.create("legacy")
    failure = _interpreters.exec(interp, "import cadentia.model._kernels")
    _interpreters.destroy(interp)
    print(json.dumps(failure and [failure.type.__name__, failure.msg]))
    """)
    assert out == ["ImportError", "Interpreter change detected - this module "
                   "can only be loaded into one interpreter per process."]


def test_type_stubs_match_the_module(kernels, tmp_path):
    # The stub's signatures, checked against the objects start-up made.
    pytest.importorskip("mypy.stubtest")
    # Under the sanitizers the module needs their preloads, not mypy's objects their allocator.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", kernels.__name__],
                            capture_output=True, text=True, cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
