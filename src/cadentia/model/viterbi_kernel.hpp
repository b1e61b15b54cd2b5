// viterbi_kernel.hpp: the Viterbi recursion and its backtracking.
//
// Log domain, single precision.  An interior state's only predecessor is
// s-1 at log-probability 0, so a frame advances every constant-column run as
// one shifted vector add, and only the boundary states take a maximum over
// their incoming edges.  Back-pointers are kept for boundary states only; an
// interior state's predecessor is implicitly s-1.
//
// The arithmetic is part of the result: every sum is rounded to float32 by
// itself, in the stated order, and a candidate is (pl + lp) + dval.  Ties
// go to the earliest edge; a NaN candidate never wins.
//
// Plain pointers, extents and preallocated buffers: no Python, no
// allocation, run with the interpreter lock released.  The instruction-set
// form is the caller's choice (forms.hpp); every form gives the same bits.
#pragma once

#include "forms.hpp"
#include "kernel_layout.hpp"

#include <cmath>

namespace cadentia {

// ---------------------------------------------------------------------------
// Interior shift

// prev[s-1] + dval over one run.  The runs tile states 1 .. N-1 in order, so
// a run may write whole vectors past its end, up to `limit` (N): the runs
// after it rewrite those states in the same frame.  That keeps the many
// short runs to one store and no tail.  Near the end the tail is one more
// vector that overlaps the last full one.
template <kernel_form F>
static inline void viterbi_shift(float* __restrict cur, const float* __restrict prev, int32_t lo,
                                 int32_t hi, int32_t limit, float dval) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    const typename V::f32 shift = V::set1(dval);
    int32_t s = lo;
    if (lo + ((hi - lo + w - 1) & -w) <= limit) {  // w is a power of two
        for (; s < hi; s += w)
            V::store(cur + s, V::add(V::load(prev + s - 1), shift));
        return;
    }
    if (hi - lo < w) {
        for (; s < hi; ++s)
            cur[s] = prev[s - 1] + dval;
        return;
    }
    for (; s + w <= hi; s += w)
        V::store(cur + s, V::add(V::load(prev + s - 1), shift));
    if (s < hi)
        V::store(cur + hi - w, V::add(V::load(prev + hi - w - 1), shift));
}

// ---------------------------------------------------------------------------
// Boundary states one at a time

// The lanes' first maxima merged: the lane values by value, equal values by
// lowest offset, which is what one scan in edge order finds (-0.0 and 0.0
// are equal here, as they are to the scan).  -1 when none exceeds -inf.
static inline int32_t merge_lanes(const float* best, const int32_t* where, int lanes) noexcept {
    float top = minus_inf_f32;
    for (int k = 0; k < lanes; ++k)
        top = best[k] > top ? best[k] : top;
    if (!(top > minus_inf_f32))
        return -1;
    int32_t first = -1;
    for (int k = 0; k < lanes; ++k)
        if (best[k] == top && (first < 0 || where[k] < first))
            first = where[k];
    return first;
}

// The offset i < count of the earliest largest candidate (pl[i] + lp[i]) +
// dval over consecutive sources, or -1 when none exceeds -inf; count >=
// width.  Each lane keeps its own first maximum (strictly greater wins, so a
// NaN never does).  A ragged tail is one more vector that overlaps the last
// full one: each lane still sees its offsets in increasing order, and a
// repeated edge brings the same value.
template <kernel_form F>
static inline int32_t best_edge(const float* __restrict pl, const float* __restrict lp,
                                int32_t count, float dval) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    const typename V::f32 shift = V::set1(dval);
    typename V::f32 best = V::set1(minus_inf_f32);
    typename V::i32 where = V::set1_i(0);
    int32_t i = 0;
    for (;;) {
        const typename V::f32 c = V::add(V::add(V::load(pl + i), V::load(lp + i)), shift);
        const typename V::mask greater = V::gt(c, best);
        best = V::max(c, best);
        where = V::select_i(greater, V::add_i(V::set1_i(i), V::iota()), where);
        i += w;
        if (i >= count)
            break;
        if (i > count - w)
            i = count - w;
    }
    alignas(32) float lane_best[w];
    alignas(32) int32_t lane_where[w];
    V::store(lane_best, best);
    V::store_i(lane_where, where);
    return merge_lanes(lane_best, lane_where, w);
}

// One boundary state's maximum and the edge it came from (-1 for none).
template <kernel_form F>
static inline float reduce_edges(const layout_ref& lay, const float* __restrict pl, int32_t j,
                                 float dval, bool consecutive, int32_t* best_edge_index) noexcept {
    const int32_t begin = static_cast<int32_t>(lay.bnd_ptr[j]);
    const int32_t end = static_cast<int32_t>(lay.bnd_ptr[j + 1]);
    float best = minus_inf_f32;
    *best_edge_index = -1;
    if (consecutive && end - begin >= simd<F>::width && simd<F>::width > 1) {
        const float* src = pl + lay.bnd_src[begin];
        const int32_t e = best_edge<F>(src, lay.bnd_weight + begin, end - begin, dval);
        if (e >= 0) {
            *best_edge_index = begin + e;
            best = (src[e] + lay.bnd_weight[begin + e]) + dval;
        }
        return best;
    }
    for (int32_t p = begin; p < end; ++p) {
        const float candidate = (pl[lay.bnd_src[p]] + lay.bnd_weight[p]) + dval;
        if (candidate > best) {
            best = candidate;
            *best_edge_index = p;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// Boundary states a vector at a time
//
// The groups of kernel_layout.hpp, one state per lane and -inf for the
// padding: pl + -inf is -inf or NaN, which never wins, so each lane keeps
// the bits of its first maximum.  Made once per call, for the width of the
// form that runs.

// The non-empty runs, each as one record: the frame loop meets a thousand
// of them per frame in the bar grid.
struct shift_run {
    int32_t lo, hi, col;
};

class viterbi_workspace {
public:
    // False when the memory cannot be had.  The layout must be checked.
    bool prepare(const layout_ref& lay, kernel_form form) noexcept {
        runs_.reset(new (std::nothrow) shift_run[static_cast<size_t>(lay.num_runs) + 1]);
        if (!runs_)
            return false;
        num_runs = 0;
        for (int32_t r = 0; r < lay.num_runs; ++r)
            if (lay.run_lo[r] < lay.run_hi[r])  // an empty run reads nothing, not even its column
                runs_[num_runs++] = {static_cast<int32_t>(lay.run_lo[r]),
                                     static_cast<int32_t>(lay.run_hi[r]),
                                     static_cast<int32_t>(lay.run_col[r])};
        runs = runs_.get();
        const int32_t lanes = dispatch(form, []<kernel_form F>() { return simd<F>::width; });
        return lanes == 1 || band.prepare(lay, lanes, minus_inf_f32);
    }

    band_layout<float> band;
    const shift_run* runs = nullptr;
    int32_t num_runs = 0;

private:
    std::unique_ptr<shift_run[]> runs_;
};

// One row: entry `entry` of pl against the group's weights for it; `row`
// holds the row's number in every lane.
template <kernel_form F>
static inline void band_row(const float* __restrict pl, const float* w, typename simd<F>::f32 dval,
                            int32_t entry, typename simd<F>::i32 row, typename simd<F>::f32* best,
                            typename simd<F>::i32* where) noexcept {
    using V = simd<F>;
    const typename V::f32 c = V::add(V::add(V::set1(pl[entry]), V::load(w)), dval);
    const typename V::mask greater = V::gt(c, *best);
    *best = V::max(c, *best);
    *where = V::select_i(greater, row, *where);
}

// d holds max_columns values.  Even and odd rows go in two chains, merged
// per lane by value, then by row.  A lane's winning row names the entry of
// pl its best edge read, and pred_list maps that to the state the edge left.
template <kernel_form F>
static inline void band_boundary(const band_layout<float>& band, const layout_ref& lay,
                                 const float* __restrict pl, const float* d, float* cur,
                                 uint32_t* __restrict bt_row) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    const typename V::f32 none = V::set1(minus_inf_f32);
    for (int32_t g = 0; g < band.num_groups; ++g) {
        const typename V::f32 dval = V::gather(d, band.dcol + w * g);
        const int32_t first = band.row[g];
        const int32_t rows = band.row[g + 1] - first;
        const int32_t* entry = band.entry + first;
        const float* weight = band.weight + static_cast<int64_t>(first) * w;
        typename V::f32 best[2] = {none, none};
        typename V::i32 where[2] = {V::set1_i(0), V::set1_i(0)};
        typename V::i32 row[2] = {V::set1_i(0), V::set1_i(1)};
        const typename V::i32 two = V::set1_i(2);
        int32_t r = 0;
        for (; r + 2 <= rows; r += 2) {
            band_row<F>(pl, weight + w * r, dval, entry[r], row[0], &best[0], &where[0]);
            band_row<F>(pl, weight + w * (r + 1), dval, entry[r + 1], row[1], &best[1], &where[1]);
            row[0] = V::add_i(row[0], two);
            row[1] = V::add_i(row[1], two);
        }
        if (r < rows)
            band_row<F>(pl, weight + w * r, dval, entry[r], row[0], &best[0], &where[0]);
        // -0.0 and 0.0 are equal here, so the earlier row keeps its bits.
        const typename V::mask odd = V::mask_or(
            V::gt(best[1], best[0]),
            V::mask_and(V::eq(best[1], best[0]), V::gt_i(where[0], where[1])));
        const typename V::f32 score = V::select(odd, best[1], best[0]);
        alignas(32) float scores[w];
        alignas(32) int32_t rows_won[w];
        V::store(scores, score);
        V::store_i(rows_won, V::select_i(odd, where[1], where[0]));
        const int found = V::bits(V::gt(score, none));
        const int32_t* states = band.bnd + w * g;
        for (int32_t k = 0; k < w; ++k) {
            const int32_t j = states[k];
            if (j < 0)
                continue;
            if (found & (1 << k))
                bt_row[j] = lay.pred_list[entry[rows_won[k]]];
            cur[lay.bnd_state[j]] = scores[k];
        }
    }
}

// ---------------------------------------------------------------------------
// The recursion

template <kernel_form F>
static double viterbi_frames(const layout_ref& lay, const float* __restrict log_dens,
                             int32_t num_frames, int32_t num_cols, int32_t renorm_period,
                             float* prev, float* cur, float* __restrict pl,
                             uint32_t* __restrict bt, int64_t bt_stride, float** final_scores,
                             bool consecutive, const viterbi_workspace& work) noexcept {
    const band_layout<float>& band = work.band;
    const int32_t num_states = lay.num_states;
    double offset = 0.0;
    float d[max_columns] = {};
    for (int32_t frame = 0; frame < num_frames; ++frame) {
        const float* row = log_dens + static_cast<int64_t>(frame) * num_cols;
        for (int32_t c = 0; c < num_cols; ++c)
            d[c] = row[c];
        gather_predecessors(lay, prev, pl);
        for (int32_t r = 0; r < work.num_runs; ++r) {
            const shift_run& run = work.runs[r];
            viterbi_shift<F>(cur, prev, run.lo, run.hi, num_states, d[run.col]);
        }
        uint32_t* bt_row = bt + static_cast<int64_t>(frame) * bt_stride;
        if (simd<F>::width > 1 && band.num_groups > 0 && band.lanes == simd<F>::width) {
            band_boundary<F>(band, lay, pl, d, cur, bt_row);
        } else {
            for (int32_t j = 0; j < lay.num_bnd; ++j) {
                int32_t edge;
                const float best = reduce_edges<F>(lay, pl, j, d[lay.bnd_dcol[j]], consecutive, &edge);
                if (edge >= 0)
                    bt_row[j] = lay.bnd_orig[edge];
                cur[lay.bnd_state[j]] = best;
            }
        }
        if (renorm_period > 0 && (frame + 1) % renorm_period == 0 && num_states > 0) {
            float best = cur[0];
            for (int32_t s = 1; s < num_states; ++s)
                if (cur[s] > best)
                    best = cur[s];
            if (best > minus_inf_f32) {  // false for -inf and NaN
                for (int32_t s = 0; s < num_states; ++s)
                    cur[s] -= best;
                offset += static_cast<double>(best);
            }
        }
        std::swap(prev, cur);
    }
    *final_scores = prev;
    return offset;
}

// Runs the frames of `log_dens` (T rows of C columns) from `prev`, which
// holds the scores one step before frame 0, in form `form`.  Writes the
// back-pointers of frame t into bt[t * bt_stride ...] and returns the sum of
// the maxima that renormalisation subtracted.  On return *final_scores
// points at the buffer (one of prev and cur) that holds the scores after the
// last frame.  `pl` holds num_pred values; `work` was prepared for this
// layout and form.
static double viterbi_recursion(kernel_form form, const layout_ref& lay,
                                const float* __restrict log_dens, int32_t num_frames,
                                int32_t num_cols, int32_t renorm_period, float* prev, float* cur,
                                float* __restrict pl, uint32_t* __restrict bt, int64_t bt_stride,
                                float** final_scores, const viterbi_workspace& work) noexcept {
    // Without frames the edges are not checked (nothing reads them), so
    // they must not be walked here either.
    const bool consecutive = num_frames > 0 && consecutive_sources(lay);
    return dispatch(form, [&]<kernel_form F>() {
        return viterbi_frames<F>(lay, log_dens, num_frames, num_cols, renorm_period, prev, cur, pl,
                                 bt, bt_stride, final_scores, consecutive, work);
    });
}

// ---------------------------------------------------------------------------
// Backtracking

// NumPy's argmax: the first maximum, and the first NaN beats everything.
// n >= 1.
static int64_t first_argmax(const float* values, int64_t n) noexcept {
    int64_t best_index = 0;
    float best = values[0];
    if (std::isnan(best))
        return 0;
    for (int64_t i = 1; i < n; ++i) {
        const float v = values[i];
        if (std::isnan(v))
            return i;
        if (v > best) {
            best = v;
            best_index = i;
        }
    }
    return best_index;
}

// The index maps backtracking reads: is_bnd[s] marks a boundary state and
// bnd_col[s] is its column of back-pointers.  Both hold num_states zeros.
static void boundary_maps(const layout_ref& lay, uint8_t* is_bnd, uint32_t* bnd_col) noexcept {
    for (int32_t j = 0; j < lay.num_bnd; ++j) {
        is_bnd[lay.bnd_state[j]] = 1;
        bnd_col[lay.bnd_state[j]] = static_cast<uint32_t>(j);
    }
}

// The path that ends in `state` after the last of num_frames frames, written
// to path[0 .. num_frames-1].  False when the walk would leave the state
// space: unreachable for a checked layout, and kept so that no float
// pattern can send it outside the maps.
static bool viterbi_backtrack(const uint8_t* is_bnd, const uint32_t* bnd_col,
                              const uint32_t* bt, int64_t bt_stride, int64_t num_states,
                              int64_t num_frames, int64_t state, int64_t* path) noexcept {
    int64_t st = state;
    for (int64_t t = num_frames - 1; t >= 0; --t) {
        if (st < 0 || st >= num_states)
            return false;
        path[t] = st;
        st = is_bnd[st] ? bt[t * bt_stride + bnd_col[st]] : st - 1;
    }
    return true;
}

}  // namespace cadentia
