"""Pure-NumPy model of `_split_layout`, step by step.

Each step is the whole-array operation that defines the layout, run under
the source line that the compiled function reports when that step fails; an
exception leaving the model carries that line as its `layout_line`
attribute, so tests can compare failures by type, message and line.
"""

import math

import numpy as np


class _At:
    """Tags an exception raised inside the block with its step's line."""

    __slots__ = ("line",)

    def __init__(self, line):
        self.line = line

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc is not None and isinstance(exc, Exception):
            exc.layout_line = self.line
        return False


def _ranges(ptr_np, bnd):
    # Python ints, so that the range bounds are exact whatever their size.
    return np.concatenate([np.arange(int(ptr_np[s]), int(ptr_np[s + 1]), dtype=np.int64)
                           for s in bnd])


def split_layout_reference(pred, ptr, weight, columns, identity):
    """The layout dictionary of a CSR transition model, as NumPy builds it."""
    with _At(22):
        # The interpreter's float conversion (__float__, else __index__),
        # without float()'s parsing of strings; ldexp(x, 0) is x exactly.
        identity = math.ldexp(identity, 0)
    with _At(32):
        ptr_np = np.asarray(ptr).astype(np.int64)
    with _At(33):
        pred_np = np.asarray(pred).astype(np.int64)
    with _At(34):
        weight_np = np.asarray(weight).astype(np.float64)
    with _At(35):
        num_states = ptr_np.shape[0] - 1
    with _At(36):
        counts = np.diff(ptr_np)
    with _At(37):
        ids = np.arange(num_states, dtype=np.int64)
    with _At(38):
        is_det = (counts == 1) & (pred_np[ptr_np[:-1]] == ids - 1)
    with _At(39):
        is_det = is_det & (weight_np[ptr_np[:-1]] == identity)
    with _At(40):
        bnd = np.nonzero(~is_det)[0]
    if len(bnd):
        with _At(43):
            glob = _ranges(ptr_np, bnd)
    else:
        with _At(44):
            glob = np.empty(0, dtype=np.int64)
    with _At(45):
        bnd_orig = pred_np[glob].astype(np.uint32)
    with _At(46):
        pred_list, bnd_src = np.unique(bnd_orig, return_inverse=True)
    with _At(49):
        col_np = np.asarray(columns).astype(np.int64)
    with _At(50):
        change = np.nonzero(np.diff(col_np))[0] + 1
    with _At(51):
        starts = np.concatenate((np.zeros(1, dtype=np.int64), change))
    with _At(52):
        run_lo = starts.copy()
        run_lo[0] = 1
    with _At(53):
        run_hi = np.concatenate((change, np.array([num_states], dtype=np.int64)))

    layout = {}
    with _At(56):
        layout["bnd_state"] = np.ascontiguousarray(bnd.astype(np.uint32))
    with _At(57):
        layout["pred_list"] = np.ascontiguousarray(pred_list, dtype=np.uint32)
    with _At(58):
        layout["bnd_src"] = np.ascontiguousarray(bnd_src.astype(np.uint32))
    with _At(59):
        layout["bnd_orig"] = np.ascontiguousarray(bnd_orig)
    with _At(60):
        layout["bnd_ptr"] = np.concatenate((np.zeros(1, dtype=np.int64), np.cumsum(counts[bnd])))
    with _At(61):
        layout["bnd_weight"] = weight_np[glob].astype(np.float32)
    with _At(62):
        layout["bnd_dcol"] = np.ascontiguousarray(col_np[bnd].astype(np.uint32))
    with _At(63):
        layout["run_lo"] = np.ascontiguousarray(run_lo, dtype=np.int64)
    with _At(64):
        layout["run_hi"] = np.ascontiguousarray(run_hi, dtype=np.int64)
    with _At(66):
        run_col = col_np[starts].astype(np.uint32)
    with _At(65):
        layout["run_col"] = np.ascontiguousarray(run_col)
    return layout
