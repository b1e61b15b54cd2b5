"""Array views: which buffers the kernels accept, the exact refusals, holds,
and the view objects handed back to Python code.

Observed through `decode` (pred/ptr/columns uint32, log_prob/log_initial
float32, log_dens 2-D float32) and `ForwardDecoder.step` (dens, 2-D float32);
both convert their arrays before any other work.
"""

import array
import ctypes
import gc
import sys

import numpy as np
import pytest

F32 = np.float32
U32 = np.uint32
DECODE = "cadentia.model._kernels.decode"
STEP = "cadentia.model._kernels.ForwardDecoder.step"
LINES = {"pred": 70, "ptr": 70, "log_prob": 70, "log_dens": 70,
         "columns": 71, "log_initial": 71}
KIND_ARGS = {"uint32_t": ["pred", "ptr", "columns"],
             "float": ["log_prob", "log_initial"],
             "2d": ["log_dens", "dens"]}


def model():
    """Three states: 0 is reached from 2 and 0, 1 and 2 advance."""
    return dict(
        pred=np.array([2, 0, 0, 1], U32),
        ptr=np.array([0, 2, 3, 4], U32),
        log_prob=np.array([-0.5, -1.0, 0.0, 0.0], F32),
        log_dens=np.array([[-1, -2], [-3, -1], [-2, -1]], F32),
        columns=np.array([0, 1, 1], U32),
        log_initial=np.array([0.0, -np.inf, -np.inf], F32),
    )


def call(kernels, name, value):
    """Run decode, or step for `dens`, with one argument replaced."""
    args = model()
    if name == "dens":
        decoder = kernels.ForwardDecoder(
            args["pred"], args["ptr"], np.array([0.6, 0.4, 1, 1], F32),
            args["columns"], np.array([1, 0, 0], F32))
        return decoder.step(value)
    args[name] = value
    return kernels.decode(**args)


def site(name):
    return (STEP, 220) if name == "dens" else (DECODE, LINES[name])


# A writable memoryview with any format, shape and strides, so formats that
# NumPy never writes reach the conversion.
class _Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p),
                ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t),
                ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p),
                ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
                ("internal", ctypes.c_void_p)]


_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_from_buffer.argtypes = [ctypes.POINTER(_Py_buffer)]
_from_buffer.restype = ctypes.py_object
_keep_alive = []


def raw_view(fmt, itemsize, shape, strides=None, data=b""):
    size = itemsize * int(np.prod(shape))
    mem = ctypes.create_string_buffer(bytes(data).ljust(size, b"\0"), max(size, 1))
    text = ctypes.create_string_buffer(fmt.encode("latin-1"))
    dims = (ctypes.c_ssize_t * len(shape))(*shape)
    steps = None
    if strides is not None:
        steps = (ctypes.c_ssize_t * len(shape))(*strides)
    _keep_alive.append((mem, text, dims, steps))
    info = _Py_buffer(ctypes.addressof(mem), None, size, itemsize, 0, len(shape),
                      ctypes.cast(text, ctypes.c_char_p), dims, steps, None, None)
    return _from_buffer(ctypes.byref(info))


def exporter_refusal(obj):
    """What the exporter itself says to the request the module makes."""
    flags = 0x0001 | 0x0038 | 0x0004  # writable, C-contiguous, format
    space = (ctypes.c_byte * ctypes.sizeof(_Py_buffer))()
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    with pytest.raises(Exception) as excinfo:
        get(obj, ctypes.addressof(space), flags)
    return type(excinfo.value), str(excinfo.value)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# ---------------------------------------------------------------------------
# Refusals


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected {expected} but got {got}"


def zeros(dtype):
    return lambda shape: np.zeros(shape, dtype)


REFUSED = [
    # (argument kinds, value for the argument's natural shape, message)
    (["uint32_t"], zeros(np.int32), mismatch("'uint32_t'", "'int'")),
    (["uint32_t"], zeros(np.int64), mismatch("'uint32_t'", "'long'")),
    (["uint32_t"], zeros(np.uint64), mismatch("'uint32_t'", "'unsigned long'")),
    (["uint32_t"], lambda s: array.array("q", [0] * 3), mismatch("'uint32_t'", "'long long'")),
    (["uint32_t"], lambda s: array.array("L", [0] * 3), mismatch("'uint32_t'", "'unsigned long'")),
    (["uint32_t"], zeros(bool), mismatch("'uint32_t'", "'bool'")),
    (["uint32_t"], lambda s: bytearray(12), mismatch("'uint32_t'", "'unsigned char'")),
    (["uint32_t"], zeros(F32), mismatch("'uint32_t'", "'float'")),
    (["float", "2d"], zeros(np.float64), mismatch("'float'", "'double'")),
    (["float", "2d"], zeros(np.float16),
     "Does not understand character buffer dtype format string ('e')"),
    (["float", "2d"], zeros(object), mismatch("'float'", "Python object")),
    (["float", "2d"], zeros(np.complex64), mismatch("'float'", "'complex float'")),
    (["float", "2d"], zeros(">f4"), "Big-endian buffer not supported on little-endian compiler"),
    (["float", "2d"], zeros([("a", "<f4"), ("b", "<f4")]), mismatch("end", "'float'")),
    (["float", "2d"], zeros([("a", "<f4"), ("b", "<i4")]), mismatch("end", "'int'")),
    (["float", "2d"], zeros([("a", "<f4", (2,))]), "Expected 0 dimension(s), got 1"),
    (["float", "2d"], zeros({"names": ["a"], "formats": ["<f4"], "itemsize": 8}),
     "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"),
    (["uint32_t"], lambda s: np.zeros((3, 1), U32),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (["float"], lambda s: np.zeros((3, 1), F32),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (["2d"], lambda s: np.zeros(3, F32), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (["2d"], lambda s: np.zeros((3, 2, 1), F32),
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
]


@pytest.mark.parametrize("kinds, make, message", REFUSED, ids=[m for _, _, m in REFUSED])
def test_refused_with_exact_message(kernels, entries, kinds, make, message):
    for kind in kinds:
        for name in KIND_ARGS[kind]:
            with pytest.raises(ValueError) as excinfo:
                call(kernels, name, make((3, 2) if kind == "2d" else (3,)))
            assert str(excinfo.value) == message, name
            assert entries(excinfo) == [site(name)], name


FORMATS = [
    # (format, item size, message) for a float32 argument
    ("!f", 4, "Big-endian buffer not supported on little-endian compiler"),
    ("\tf", 4, "Does not understand character buffer dtype format string ('\t')"),
    ("f}", 4, "Does not understand character buffer dtype format string ('}')"),
    ("Zq", 4, "Unexpected format string character: 'Z'"),
    ("Tf", 4, "Buffer acquisition: Expected '{' after 'T'"),
    ("=g", 4, "Python does not define a standard format string size for long double ('g').."),
    ("g", 4, mismatch("'float'", "'long double'")),
    ("P", 4, mismatch("'float'", "a pointer")),
    ("s", 4, mismatch("'float'", "a string")),
    ("c", 4, mismatch("'float'", "'char'")),
    ("", 4, mismatch("'float'", "end")),
    ("4x", 4, mismatch("'float'", "end")),
    ("2f", 4, mismatch("end", "'float'")),
    ("fT{xf}", 4, mismatch("end", "'float'")),
    ("2T{f}", 4, mismatch("end", "'float'")),
    ("f(2)d", 4, mismatch("end", "'double'")),
    ("xf", 4, "Buffer dtype mismatch; next field is at offset 4 but 0 expected"),
    ("=xf", 4, "Buffer dtype mismatch; next field is at offset 1 but 0 expected"),
    ("^3xf", 4, "Buffer dtype mismatch; next field is at offset 3 but 0 expected"),
    ("(2)f", 4, "Expected 0 dimension(s), got 1"),
    ("T{(2,3)f}", 4, "Expected 0 dimension(s), got 2"),
    ("(2", 4, "Unexpected end of format string, expected ')'"),
    ("(2;3)f", 4, "Expected a comma in format string, got ';'"),
    ("(a)f", 4, "Does not understand character buffer dtype format string ('a')"),
    ("2(2)f", 4, "Cannot handle repeated arrays in format string"),
    ("1(2)f", 4, "Expected 0 dimension(s), got 1"),
    ("T{", 4, mismatch("'float'", "end")),  # an open group ends with the string
    ("f4x", 8, "Item size of buffer (8 bytes) does not match size of 'float' (4 bytes)"),
    ("f", 1, "Item size of buffer (1 byte) does not match size of 'float' (4 bytes)"),
]


@pytest.mark.parametrize("fmt, itemsize, message", FORMATS)
@pytest.mark.parametrize("name", ["log_prob", "dens"])
def test_format_refusals(kernels, name, fmt, itemsize, message):
    shape = (3,) if name == "log_prob" else (2, 2)
    with pytest.raises(ValueError) as excinfo:
        call(kernels, name, raw_view(fmt, itemsize, shape))
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name", ["pred", "log_initial", "log_dens", "dens"])
@pytest.mark.parametrize("spoil", ["read-only", "strided", "transposed", "list", "bytes"])
def test_exporter_refusal_passes_unchanged(kernels, entries, name, spoil):
    base = model()["log_dens"] if name in KIND_ARGS["2d"] else model()[name]
    matrix = base if base.ndim == 2 else base.reshape(-1, 1).repeat(2, axis=1)
    value = {"read-only": lambda: read_only(base),
             "strided": lambda: np.repeat(base, 2, axis=-1)[..., ::2],
             "transposed": lambda: np.ascontiguousarray(matrix.T).T,
             "list": lambda: base.tolist(),
             "bytes": lambda: base.tobytes()}[spoil]()
    expected = exporter_refusal(value)
    if spoil in ("read-only", "strided", "transposed"):
        assert expected[0] is ValueError  # NumPy's own refusal
    with pytest.raises(expected[0]) as excinfo:
        call(kernels, name, value)
    assert str(excinfo.value) == expected[1]
    assert entries(excinfo) == [site(name)]


@pytest.mark.parametrize("make, refused", [
    (lambda b: b, True),                                  # 'B' where uint32 is expected
    (lambda b: memoryview(b).cast("f"), True),            # float where uint32 is expected
    (lambda b: memoryview(b).cast("I", (3, 1)), True),    # rank
    (lambda b: memoryview(b).cast("I"), False)])
def test_no_hold_left_behind(kernels, make, refused):
    backing = bytearray(model()["columns"].tobytes())
    args = model()
    args["columns"] = value = make(backing)
    if refused:
        with pytest.raises(ValueError):
            kernels.decode(**args)
    else:
        kernels.decode(**args)
    if isinstance(value, memoryview):
        value.release()  # refuses while anything still holds it
    backing.extend(b"\0" * 4)  # refuses while a buffer is exported


def test_refusal_keeps_reference_counts(kernels):
    value = np.zeros(4)
    before = sys.getrefcount(value)
    for _ in range(3):
        with pytest.raises(ValueError):
            call(kernels, "log_prob", value)
    assert sys.getrefcount(value) == before


# ---------------------------------------------------------------------------
# Accepted forms give the same results as plain arrays


def same_result(kernels, name, value):
    plain = model()["log_dens"] if name == "dens" else model()[name]
    expected, got = call(kernels, name, plain), call(kernels, name, value)
    if name == "dens":
        np.testing.assert_array_equal(got, expected)
    else:
        np.testing.assert_array_equal(got[0], expected[0])
        assert got[1] == expected[1]


def structured(a):
    out = np.zeros(a.shape, [("a", "<f4")])
    out["a"] = a
    return out


@pytest.mark.parametrize("name", ["log_dens", "dens"])
@pytest.mark.parametrize("form", [
    structured,
    lambda a: raw_view("=f", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view("<f", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view("^f", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view(" @f\r\n", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view(":x:T{T{f:y:}}", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view("0dfxx", 4, a.shape, data=a.tobytes()),  # pads after: item size decides
    lambda a: raw_view("T{f", 4, a.shape, data=a.tobytes()),
    lambda a: memoryview(bytearray(a.tobytes())).cast("f", a.shape),
], ids=["structured", "=f", "<f", "^f", "blanks", "groups", "pads", "open group", "memoryview"])
def test_float_forms_accepted(kernels, name, form):
    same_result(kernels, name, form(model()["log_dens"]))


@pytest.mark.parametrize("name", KIND_ARGS["uint32_t"])
@pytest.mark.parametrize("form", [
    lambda a: array.array("I", a.tolist()),
    lambda a: memoryview(bytearray(a.tobytes())).cast("I"),
    lambda a: raw_view("=L", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view("<L", 4, a.shape, data=a.tobytes()),
    lambda a: raw_view("<I", 4, a.shape, data=a.tobytes()),
], ids=["array-I", "memoryview-I", "=L", "<L", "<I"])
def test_uint32_forms_accepted(kernels, name, form):
    same_result(kernels, name, form(model()[name]))


@pytest.mark.parametrize("name", ["log_dens", "dens"])
@pytest.mark.parametrize("shape, strides", [((0, 2), (12345, 4)), ((0, 2), (8, 100)),
                                            ((0, 0), (-3, 5))])
def test_empty_accepted_whatever_its_strides(kernels, name, shape, strides):
    result = call(kernels, name, raw_view("f", 4, shape, strides))
    path = result if name == "dens" else result[0]
    assert len(path) == 0


@pytest.mark.parametrize("name", ["log_dens", "dens"])
@pytest.mark.parametrize("row_stride", [-8, 0, 4, 999])
def test_one_row_accepted_whatever_its_row_stride(kernels, name, row_stride):
    row = np.array([[-1.0, -2.0]], F32)
    value = raw_view("f", 4, (1, 2), (row_stride, 4), row.tobytes())
    expected = call(kernels, name, row)
    got = call(kernels, name, value)
    np.testing.assert_array_equal(got if name == "dens" else got[0],
                                  expected if name == "dens" else expected[0])


def test_none_is_an_empty_chunk(kernels):
    result = call(kernels, "dens", None)
    assert result.dtype == U32 and result.shape == (0,)


# ---------------------------------------------------------------------------
# Views handed back to Python code (decode passes them to _split_layout)


@pytest.fixture
def handed(kernels, monkeypatch):
    """The objects decode hands to _split_layout, kept after the call."""
    real = kernels._split_layout
    seen = []

    def split(pred, ptr, weight, columns, identity):
        seen.append((pred, ptr, weight, columns))
        return real(pred, ptr, weight, columns, identity)

    monkeypatch.setattr(kernels, "_split_layout", split)
    return seen


def test_exported_views_read_write_and_reexport(kernels, handed):
    args = model()
    kernels.decode(**args)
    pred, ptr, weight, columns = handed[0]
    for view, original in [(pred, args["pred"]), (weight, args["log_prob"])]:
        assert type(view) is not np.ndarray
        got, want = memoryview(view), memoryview(original)
        assert (got.format, got.shape, got.strides, got.readonly) == \
            (want.format, want.shape, want.strides, False)
        assert np.shares_memory(np.asarray(view), original)
        assert len(view) == len(original)
    assert [pred[i] for i in range(4)] == [2, 0, 0, 1] and type(pred[0]) is int
    assert weight[-4] == -0.5 and type(weight[0]) is float
    pred[3] = 2**32 - 1
    weight[1] = 0.1
    assert args["pred"][3] == 2**32 - 1 and args["log_prob"][1] == F32(0.1)
    with pytest.raises(OverflowError) as excinfo:
        pred[0] = -1
    assert str(excinfo.value) == "can't convert negative value to npy_uint32"
    with pytest.raises(IndexError):
        pred[4]


def test_absent_view_is_handed_on_as_none(kernels, handed):
    args = model()
    args["pred"] = None
    with pytest.raises(Exception):
        kernels.decode(**args)
    assert handed[0][0] is None


def test_exported_view_keeps_the_hold(kernels, handed):
    args = model()
    args["ptr"] = ptr = memoryview(bytearray(args["ptr"].tobytes())).cast("I")
    kernels.decode(**args)
    with pytest.raises(BufferError):
        ptr.release()  # the view handed to _split_layout still holds it
    handed.clear()
    gc.collect()
    ptr.release()


def test_exported_view_converts_back_by_its_element_type(kernels, monkeypatch, entries):
    real = kernels._split_layout

    def split(pred, ptr, weight, columns, identity):
        lay = real(pred, ptr, weight, columns, identity)
        lay["bnd_weight"] = pred
        return lay

    monkeypatch.setattr(kernels, "_split_layout", split)
    with pytest.raises(ValueError) as excinfo:
        kernels.decode(**model())
    assert str(excinfo.value) == mismatch("'float'", "'unsigned int'")
    assert entries(excinfo) == [(DECODE, 90)]
