"""Pure-NumPy models of the two decoders, bit-exact with the compiled kernels.

Every score, belief and weight operation is done on float32 values and
rounded by itself, in the same order as the kernels, so results can be
compared bit for bit.  Elementwise steps (the interior shift, the
renormalisation subtraction, the normalisation) are vectorised because each
element is one rounded operation either way; reductions over edges and the
per-frame sum stay sequential.

Also: generators of random transition models that respect the decoders'
preconditions (state indices below N, column indices below the column
count, and an edge into the last state, so every row pointer below N
addresses an existing edge).
"""

import numpy as np

from reference_layout import split_layout_reference

F32 = np.float32
NEG_INF = F32(-np.inf)


def _layout(pred, ptr, weight, columns, identity, layout):
    if layout is None:
        layout = split_layout_reference(pred, ptr, weight, columns, identity)
    return {key: np.asarray(value) for key, value in layout.items()}


# ---------------------------------------------------------------------------
# Viterbi


def viterbi_reference(pred, ptr, log_prob, log_dens, columns, log_initial,
                      renorm_period=1024, layout=None):
    """Return (path, log_probability) as decode computes them."""
    lay = _layout(pred, ptr, log_prob, columns, 0.0, layout)
    bnd_state = lay["bnd_state"].astype(np.int64)
    pred_list = lay["pred_list"].astype(np.int64)
    bnd_src = lay["bnd_src"].astype(np.int64)
    bnd_orig = lay["bnd_orig"].astype(np.int64)
    bnd_ptr = lay["bnd_ptr"].astype(np.int64)
    bnd_lp = lay["bnd_weight"].astype(F32)
    bnd_dcol = lay["bnd_dcol"].astype(np.int64)
    run_lo = lay["run_lo"].astype(np.int64)
    run_hi = lay["run_hi"].astype(np.int64)
    run_col = lay["run_col"].astype(np.int64)

    log_dens = np.asarray(log_dens, dtype=F32)
    if log_dens.ndim != 2:
        log_dens = log_dens.reshape(0, 0)
    num_frames = log_dens.shape[0]
    num_states = len(ptr) - 1
    num_bnd = len(bnd_state)

    is_bnd = np.zeros(num_states, dtype=bool)
    bnd_col = np.zeros(num_states, dtype=np.int64)
    is_bnd[bnd_state] = True
    bnd_col[bnd_state] = np.arange(num_bnd)

    prev = np.array(log_initial, dtype=F32, copy=True)
    cur = np.empty(num_states, dtype=F32)
    bt = np.full((num_frames, max(num_bnd, 1)), 0xFFFFFFFF, dtype=np.int64)
    offset = 0.0

    with np.errstate(all="ignore"):
        for t in range(num_frames):
            d = log_dens[t]
            pl = prev[pred_list]
            for lo, hi, c in zip(run_lo, run_hi, run_col):
                if lo < hi:
                    cur[lo:hi] = prev[lo - 1:hi - 1] + d[c]
            for j in range(num_bnd):
                dval = d[bnd_dcol[j]]
                best = NEG_INF
                for p in range(bnd_ptr[j], bnd_ptr[j + 1]):
                    cand = (pl[bnd_src[p]] + bnd_lp[p]) + dval
                    if cand > best:
                        best = cand
                        bt[t, j] = bnd_orig[p]
                cur[bnd_state[j]] = best
            if renorm_period > 0 and (t + 1) % renorm_period == 0:
                # Running maximum from cur[0] with a strict '>': a NaN in
                # cur[0] blocks every update, later NaNs are skipped, and of
                # equal values (0.0 and -0.0) the first one stays.
                best = cur[0]
                if not np.isnan(best):
                    best = cur[np.argmax(np.where(np.isnan(cur), -np.inf, cur))]
                if best > NEG_INF:
                    cur[:] = cur - best
                    offset += float(best)
            prev, cur = cur, prev

    state = int(np.argmax(prev))
    final = prev[state]
    log_probability = float(final) + offset
    path = np.zeros(num_frames, dtype=np.int64)
    if not final > NEG_INF:
        return path, log_probability
    st = state
    for t in range(num_frames - 1, -1, -1):
        path[t] = st
        if is_bnd[st]:
            st = int(bt[t, bnd_col[st]])
            assert st != 0xFFFFFFFF, "backtracking read an unwritten entry"
        else:
            st -= 1
    return path, log_probability


# ---------------------------------------------------------------------------
# Forward decoding


class ForwardReference:
    """Streaming forward decoder with the compiled ForwardDecoder's arithmetic."""

    def __init__(self, pred, ptr, prob, columns, initial, layout=None):
        lay = _layout(pred, ptr, prob, columns, 1.0, layout)
        self.bnd_state = lay["bnd_state"].astype(np.int64)
        self.pred_list = lay["pred_list"].astype(np.int64)
        self.bnd_src = lay["bnd_src"].astype(np.int64)
        self.bnd_ptr = lay["bnd_ptr"].astype(np.int64)
        self.bnd_weight = lay["bnd_weight"].astype(F32)
        self.bnd_dcol = lay["bnd_dcol"].astype(np.int64)
        self.runs = list(zip(lay["run_lo"].astype(np.int64),
                             lay["run_hi"].astype(np.int64),
                             lay["run_col"].astype(np.int64)))
        self.num_states = len(ptr) - 1
        self.initial = np.array(initial, dtype=F32, copy=True)
        self.belief = self.initial.copy()

    def reset(self):
        self.belief = self.initial.copy()

    def step(self, dens):
        dens = np.asarray(dens, dtype=F32)
        if dens.ndim != 2:
            dens = dens.reshape(0, 0)
        out = np.zeros(dens.shape[0], dtype=np.uint32)
        a = self.belief
        with np.errstate(all="ignore"):
            for frame in range(dens.shape[0]):
                d = dens[frame]
                pl = a[self.pred_list]
                b = np.empty(self.num_states, dtype=F32)
                for lo, hi, c in self.runs:
                    if lo < hi:
                        b[lo:hi] = d[c] * a[lo - 1:hi - 1]
                for k, state in enumerate(self.bnd_state):
                    acc = F32(0.0)
                    for j in range(self.bnd_ptr[k], self.bnd_ptr[k + 1]):
                        acc = (pl[self.bnd_src[j]] * self.bnd_weight[j]) + acc
                    b[state] = acc * d[self.bnd_dcol[k]]
                out[frame] = self._normalise(b)
                a = b
        self.belief = a
        return out

    @staticmethod
    def _normalise(b):
        # add.accumulate is a sequential left-to-right sum in the array's
        # dtype, unlike np.sum, which is pairwise.
        ssum = np.add.accumulate(b, dtype=F32)[-1] if len(b) else F32(0.0)
        if not ssum > 0:
            return 0
        inv_sum = F32(1.0 / np.float64(ssum))
        b *= inv_sum
        # Strict '>' from -1: NaN never wins, values not above -1 never win,
        # ties go to the lowest index.
        masked = np.where(np.isnan(b), -np.inf, b)
        if not masked.max() > -1:
            return 0
        return int(np.argmax(masked))


# ---------------------------------------------------------------------------
# Model generators


def _csr(incoming, num_states):
    """(pred, ptr, weight) from per-state lists of (source, weight)."""
    ptr = np.zeros(num_states + 1, dtype=np.uint32)
    ptr[1:] = np.cumsum([len(edges) for edges in incoming])
    pred = np.array([src for edges in incoming for src, _ in edges],
                    dtype=np.uint32)
    weight = np.array([w for edges in incoming for _, w in edges],
                      dtype=np.float32)
    return pred, ptr, weight


def tempo_lane_model(min_interval, max_interval, rng=None, domain="log", reach=None):
    """The contiguous tempo-lane grid: one lane per beat interval.

    Lane i holds `interval` consecutive phase states; each state but the first
    advances from the one before it with the identity weight, and the first
    state of every lane is reached from the last state of every lane, or only
    of the lanes at most `reach` lanes away.  First states read observation
    column 0, the others column 1.

    Returns (pred, ptr, weight, columns) as uint32, uint32, float32, uint32.
    """
    rng = np.random.default_rng(0) if rng is None else rng
    intervals = list(range(min_interval, max_interval + 1))
    firsts = np.cumsum([0] + intervals[:-1])
    lasts = firsts + np.array(intervals) - 1
    num_states = int(lasts[-1]) + 1
    num_lanes = len(intervals)

    # Tempo change probability falls off with the lane distance.
    dist = np.abs(np.subtract.outer(np.arange(num_lanes), np.arange(num_lanes)))
    trans = np.exp(-dist * rng.uniform(0.5, 3.0))
    trans /= trans.sum(axis=0, keepdims=True)
    weights = np.log(trans) if domain == "log" else trans
    identity = 0.0 if domain == "log" else 1.0

    incoming = []
    columns = np.ones(num_states, dtype=np.uint32)
    for lane, first in enumerate(firsts):
        columns[first] = 0
        incoming.append([(int(lasts[src]), float(weights[src, lane]))
                         for src in range(num_lanes)
                         if reach is None or abs(src - lane) <= reach])
        incoming.extend([(s - 1, identity)]
                        for s in range(first + 1, lasts[lane] + 1))
    pred, ptr, weight = _csr(incoming, num_states)
    return pred, ptr, weight, columns


def random_csr_model(rng, num_states, num_columns, domain="log",
                     max_degree=4, interior_fraction=0.6):
    """A random transition model in CSR form over `num_states` states.

    Mixes interior states (one identity edge from s-1) with boundary states
    of up to `max_degree` edges from random sources, some of which look
    almost interior (from s-1, or with the identity weight).  Boundary states
    may have no edges, except the last state, so that every row pointer
    below N addresses an existing edge.  Weights include exact zeros, the
    identity and, in the log domain, -inf.

    Returns (pred, ptr, weight, columns) as uint32, uint32, float32, uint32.
    """
    identity = 0.0 if domain == "log" else 1.0

    def random_weight():
        u = rng.random()
        if u < 0.1:
            return identity
        if domain == "log":
            return -np.inf if u < 0.15 else float(-rng.exponential(2.0))
        return 0.0 if u < 0.15 else float(rng.random())

    incoming = []
    for s in range(num_states):
        if s > 0 and rng.random() < interior_fraction:
            incoming.append([(s - 1, identity)])
            continue
        degree = int(rng.integers(0 if s < num_states - 1 else 1,
                                  max_degree + 1))
        edges = []
        for _ in range(degree):
            if s > 0 and rng.random() < 0.3:
                src = s - 1
            else:
                src = int(rng.integers(0, num_states))
            edges.append((src, random_weight()))
        incoming.append(edges)

    # Columns in short constant stretches, like the lane grid's.
    columns = np.empty(num_states, dtype=np.uint32)
    s = 0
    while s < num_states:
        length = int(rng.integers(1, 5))
        columns[s:s + length] = rng.integers(0, num_columns)
        s += length
    pred, ptr, weight = _csr(incoming, num_states)
    return pred, ptr, weight, columns


# ---------------------------------------------------------------------------
# Worked examples


def three_state(log_initial=(0.0, -np.inf, -np.inf),
                rows=((-1, -2), (-3, -1), (-2, -1))):
    """decode's arguments for three states: state 0 is reached from 2 (-0.5)
    and 0 (-1.0); states 1 and 2 advance.  The best path is [0, 1, 2] with
    log score -4."""
    return dict(
        pred=np.array([2, 0, 0, 1], np.uint32),
        ptr=np.array([0, 2, 3, 4], np.uint32),
        log_prob=np.array([-0.5, -1.0, 0.0, 0.0], F32),
        log_dens=np.array(rows, F32).reshape(-1, 2),
        columns=np.array([0, 1, 1], np.uint32),
        log_initial=np.array(log_initial, F32),
    )


def two_lanes(initial=(0.1, 0.2, 0.3, 0.2, 0.2)):
    """ForwardDecoder's arguments for lanes 0-2 and 3-4; each lane's first
    state is reached from both lanes' last states.  A first frame of
    densities [0.5, 2.0] reports state 2."""
    return dict(
        pred=np.array([2, 4, 0, 1, 2, 4, 3], np.uint32),
        ptr=np.array([0, 2, 3, 4, 6, 7], np.uint32),
        prob=np.array([0.5, 0.5, 1.0, 1.0, 0.5, 0.5, 1.0], F32),
        columns=np.array([0, 1, 1, 0, 1], np.uint32),
        initial=np.array(initial, F32),
    )


def renorm_case():
    """decode's arguments for one self-looping state over 12 frames: each
    renormalisation period 0 to 5 rounds the float32 running score
    differently, so the returned score tells the periods apart."""
    rng = np.random.default_rng(4)
    return dict(pred=np.array([0], np.uint32), ptr=np.array([0, 1], np.uint32),
                log_prob=np.array([-0.3], F32),
                log_dens=(rng.random((12, 1)) * -7.3).astype(F32),
                columns=np.array([0], np.uint32),
                log_initial=np.array([0.0], F32))
