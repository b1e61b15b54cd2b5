// forward_kernel.hpp: the forward (filtering) recursion.
//
// Per frame, in the linear domain: gather the boundary predecessors, sum
// each boundary state's incoming edges in edge order, shift every run
// (b[s] = dval * a[s-1]), add the frame up serially in state order, then
// normalise and pick the best state.  The serial sum and the
// double-precision reciprocal are part of the result, which is why the sum
// is never split into partial accumulators.  Every float32 product is the
// exact double product rounded once (forms.hpp says why).
//
// Plain pointers, extents and preallocated buffers: no Python, and no
// allocation but the workspace a decoder prepares once.  The
// instruction-set form is the caller's choice; every form gives the same
// bits.
#pragma once

#include "forms.hpp"
#include "kernel_layout.hpp"

#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

namespace cadentia {

// ---------------------------------------------------------------------------
// Interior states

// The largest normalised value of a frame, NaN never counting: one running
// maximum per vector width the frame's loops use, merged when it ends.
template <kernel_form F>
struct running_max {
    typename simd<F>::f32 lanes;
    running_max<narrower<F>> tail;

    void start() noexcept {
        lanes = simd<F>::set1(-1.0f);
        tail.start();
    }
    float& scalar() noexcept { return tail.scalar(); }
    float top() const noexcept {
        alignas(32) float values[simd<F>::width];
        simd<F>::store(values, lanes);
        float m = tail.top();
        for (float v : values)  // never NaN: max() keeps the old value
            m = v > m ? v : m;
        return m;
    }
};

template <>
struct running_max<kernel_form::portable> {
    float value;
    void start() noexcept { value = -1.0f; }
    float& scalar() noexcept { return value; }
    float top() const noexcept { return value; }
};

// Interior states s .. hi-1 of one run: b[s] = dval * a[s-1], each value
// added to the frame's sum in state order.  The products go a vector at a
// time, the tail in the next narrower form, the last few one by one (with
// the products of form S); the sum stays one serial chain, and the products
// hide in its latency.  The sum reads each value back from b: a load costs
// no shuffle port, and those ports also carry the chain's additions.
//
// With `Owed` the previous frame still owes its normalisation: each a[s-1]
// is first normalised by inv_sum (the value the stated normalise pass would
// store, and it is stored) and then shifted, and `top` tracks the largest
// normalised value.
template <kernel_form F, bool Owed, kernel_form S = F>
static inline float shift_and_sum(float* __restrict b, float* __restrict a, int32_t s, int32_t hi,
                                  float dval, float inv_sum, float ssum,
                                  running_max<F>& top) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    if constexpr (w == 1) {
        for (; s < hi; ++s) {
            float n = a[s - 1];
            if constexpr (Owed) {
                n = simd<S>::mul1(n, inv_sum);
                a[s - 1] = n;
                top.value = n > top.value ? n : top.value;
            }
            const float v = simd<S>::mul1(dval, n);
            b[s] = v;
            ssum += v;
        }
        return ssum;
    } else {
        for (; s + w <= hi; s += w) {
            typename V::f32 n = V::load(a + s - 1);
            if constexpr (Owed) {
                n = V::mul(n, static_cast<double>(inv_sum));
                V::store(a + s - 1, n);
                top.lanes = V::max(n, top.lanes);
            }
            V::store(b + s, V::mul(static_cast<double>(dval), n));
            for (int32_t k = 0; k < w; ++k)
                ssum += b[s + k];
        }
        return shift_and_sum<narrower<F>, Owed, S>(b, a, s, hi, dval, inv_sum, ssum, top.tail);
    }
}

// The first state whose value equals `target`, which one of them holds.
// With target the largest value, this is the state a scan in state order
// keeping strictly greater values finds (-0.0 and 0.0 compare equal there
// too).
template <kernel_form F>
static inline int32_t first_equal(const float* __restrict x, int32_t n, float target) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    int32_t s = 0;
    if constexpr (w > 1) {
        const typename V::f32 t = V::set1(target);
        for (; s + w <= n; s += w)
            if (const int mask = V::bits(V::eq(V::load(x + s), t)))
                return s + std::countr_zero(static_cast<unsigned>(mask));
    }
    for (; s < n; ++s)
        if (x[s] == target)
            return s;
    return 0;
}

// Normalises b by inv_sum and returns the state with the largest value:
// strictly greater wins, so ties go to the lowest state and NaN never wins;
// a value must exceed -1 to count at all.  Two sets of lanes take alternate
// vectors, so that the maxima form two short dependency chains; each lane
// keeps its first maximum, and the lanes are merged by value, then by
// lowest index, which is exactly what one scan in state order would find.
template <kernel_form F>
static inline int32_t normalise_argmax(float* __restrict b, int32_t n, float inv_sum) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    constexpr int32_t lanes = w > 1 ? 2 * w : 1;
    alignas(32) float values[lanes];
    alignas(32) int32_t indices[lanes];
    for (int32_t k = 0; k < lanes; ++k)
        values[k] = -1.0f, indices[k] = 0;
    int32_t s = 0;
    if constexpr (w > 1) {
        if (n >= 4 * w) {
            const typename V::f32 scale = V::set1(inv_sum);
            typename V::f32 best[2] = {V::set1(-1.0f), V::set1(-1.0f)};
            typename V::i32 where[2] = {V::set1_i(0), V::set1_i(0)};
            typename V::i32 index = V::iota();
            const typename V::i32 step = V::set1_i(w);
            for (; s + 2 * w <= n; s += 2 * w) {
                for (int k = 0; k < 2; ++k) {
                    const typename V::f32 v = V::mul(V::load(b + s + w * k), scale);
                    V::store(b + s + w * k, v);
                    const typename V::mask greater = V::gt(v, best[k]);  // false for NaN
                    best[k] = V::max(v, best[k]);
                    where[k] = V::select_i(greater, index, where[k]);
                    index = V::add_i(index, step);
                }
            }
            for (int k = 0; k < 2; ++k) {
                V::store(values + w * k, best[k]);
                V::store_i(indices + w * k, where[k]);
            }
        }
    }
    float top = -1.0f;
    int32_t top_s = 0;
    for (int32_t k = 0; k < lanes; ++k) {
        if (!(values[k] > -1.0f))
            continue;
        if (values[k] > top || (values[k] == top && indices[k] < top_s)) {
            top = values[k];
            top_s = indices[k];
        }
    }
    for (; s < n; ++s) {
        const float v = V::mul1(b[s], inv_sum);
        b[s] = v;
        if (v > top) {
            top = v;
            top_s = s;
        }
    }
    return top_s;
}

// ---------------------------------------------------------------------------
// Boundary states one at a time

// Boundary state k's value: its incoming edges summed in edge order, times
// its density.  With consecutive sources the products go a vector at a time
// from two plain loads; the sum stays the same serial chain.
template <kernel_form F>
static inline float boundary_value(const layout_ref& lay, const float* __restrict pl, int32_t k,
                                   const float* d, bool consecutive) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    float acc = 0.0f;
    int32_t j = static_cast<int32_t>(lay.bnd_ptr[k]);
    const int32_t end = static_cast<int32_t>(lay.bnd_ptr[k + 1]);
    if (consecutive && j < end) {
        const float* src = pl + lay.bnd_src[j];  // the sources of edges j, j+1, ...
        const float* weight = lay.bnd_weight + j;
        const int32_t count = end - j;
        int32_t i = 0;
        if constexpr (w > 1) {
            alignas(32) float terms[w];
            for (; i + w <= count; i += w) {
                V::store(terms, V::mul(V::load(src + i), V::load(weight + i)));
                for (int32_t t = 0; t < w; ++t)
                    acc = terms[t] + acc;
            }
        }
        for (; i < count; ++i)
            acc = V::mul1(src[i], weight[i]) + acc;
    } else {
        for (; j < end; ++j)
            acc = V::mul1(pl[lay.bnd_src[j]], lay.bnd_weight[j]) + acc;
    }
    return V::mul1(acc, d[lay.bnd_dcol[k]]);
}

// ---------------------------------------------------------------------------
// Boundary states in groups
//
// The groups of kernel_layout.hpp, eight states at once whatever the form,
// with 0.0 for the padding: a sum that starts at +0.0 is never -0.0, and
// x + 0.0 gives back the bits of every other x, inf and NaN included.  A
// zero term needs a finite pl entry (inf * 0 is NaN), so a frame with an
// infinite or NaN entry takes the per-state sums instead.  The weights are
// widened to double for the exact products.

constexpr int32_t band_lanes = 8;

// The boundary values of one frame through the groups, into out[j] for
// boundary state j.  pl_wide holds pl widened to double, every entry
// finite.  Each lane's term is pl times its weight, rounded once (pl first,
// as in the per-state sums), added as term + acc.
template <kernel_form F>
static inline void band_values(const band_layout<double>& band, const double* __restrict pl_wide,
                               const float* d, float* __restrict out) noexcept {
    using V = simd<F>;
    constexpr int32_t w = V::width;
    constexpr int32_t parts = band_lanes / w;
    for (int32_t g = 0; g < band.num_groups; ++g) {
        const int32_t first = band.row[g];
        const int32_t rows = band.row[g + 1] - first;
        const int32_t* entry = band.entry + first;
        const double* weight = band.weight + static_cast<int64_t>(first) * band_lanes;
        typename V::f32 acc[parts];
        for (int32_t v = 0; v < parts; ++v)
            acc[v] = V::set1(0.0f);
        for (int32_t r = 0; r < rows; ++r, weight += band_lanes) {
            const double p = pl_wide[entry[r]];
            for (int32_t v = 0; v < parts; ++v)
                acc[v] = V::add(V::mul_wide(p, weight + w * v), acc[v]);
        }
        const int32_t* col = band.dcol + band_lanes * g;
        alignas(32) float values[band_lanes];
        for (int32_t v = 0; v < parts; ++v)
            V::store(values + w * v, V::mul(acc[v], V::gather(d, col + w * v)));
        const int32_t* states = band.bnd + band_lanes * g;
        for (int32_t k = 0; k < band_lanes; ++k)
            if (states[k] >= 0)
                out[states[k]] = values[k];
    }
}

// One stretch of the pass in state order: interior states lo .. hi-1 of one
// run, reading column `col`, then boundary state `bnd` at hi, if bnd >= 0.
struct forward_segment {
    int32_t lo, hi, col, bnd;
};

// What a frame needs beside the layout and the two beliefs: the pass in
// state order cut into segments, the groups when the layout suits them, pl
// widened to double for them, and the frame's boundary values.  Made once
// per decoder.
class forward_workspace {
public:
    // False when the memory cannot be had.  The layout must be checked.
    bool prepare(const layout_ref& lay) noexcept {
        if (!band.prepare(lay, band_lanes, 0.0))
            return false;
        const size_t num_wide = band.num_groups > 0 ? static_cast<size_t>(lay.num_pred) : 0;
        wide_.reset(new (std::nothrow) double[num_wide + 1]);
        values_.reset(new (std::nothrow) float[static_cast<size_t>(lay.num_bnd) + 1]);
        segments_.reset(new (std::nothrow)
                            forward_segment[static_cast<size_t>(lay.num_runs + lay.num_bnd) + 1]);
        if (!wide_ || !values_ || !segments_)
            return false;
        pl_wide = wide_.get();
        values = values_.get();
        segments = segments_.get();
        num_segments = 0;
        int32_t next_bnd = lay.num_states > 0 ? 1 : 0;  // state 0 is the first boundary state
        for (int32_t r = 0; r < lay.num_runs; ++r) {
            // An empty run reads nothing, not even its column.
            const int32_t hi = static_cast<int32_t>(std::max(lay.run_lo[r], lay.run_hi[r]));
            const int32_t col = static_cast<int32_t>(lay.run_col[r]);
            for (int32_t s = static_cast<int32_t>(lay.run_lo[r]); s < hi;) {
                const bool bnd = next_bnd < lay.num_bnd &&
                                 static_cast<int32_t>(lay.bnd_state[next_bnd]) < hi;
                const int32_t stop = bnd ? static_cast<int32_t>(lay.bnd_state[next_bnd]) : hi;
                segments_[num_segments++] = {s, stop, col, bnd ? next_bnd++ : -1};
                s = bnd ? stop + 1 : hi;
            }
        }
        return true;
    }

    band_layout<double> band;
    const forward_segment* segments = nullptr;
    int32_t num_segments = 0;
    double* pl_wide = nullptr;
    float* values = nullptr;  // one per boundary state

private:
    std::unique_ptr<forward_segment[]> segments_;
    std::unique_ptr<double[]> wide_;
    std::unique_ptr<float[]> values_;
};

// ---------------------------------------------------------------------------
// The recursion
//
// The boundary values come first, into the workspace; then one pass in state
// order shifts the interior states and puts each boundary value where its
// state comes, adding every value to the frame's sum.  The sum is a serial
// chain of float32 additions whose latency bounds the frame; the rest of the
// work fits in its shadow.
//
// A frame's normalisation and choice of state happen in the next frame's
// pass, which reads every state of the previous belief once anyway: a[s-1]
// is normalised as it is shifted, the predecessor gather normalises what it
// copies, and the largest normalised value is tracked.  The last frame is
// normalised on its own, so the belief left behind is the stated one.

template <kernel_form F>
static float* forward_frames(const layout_ref& lay, const float* __restrict dens,
                             int32_t num_frames, int32_t num_cols, float* a, float* b,
                             float* __restrict pl, uint32_t* __restrict out,
                             forward_workspace& work, bool consecutive) noexcept {
    using V = simd<F>;
    const int32_t num_states = lay.num_states;
    const int32_t num_bnd = lay.num_bnd;
    const band_layout<double>& band = work.band;
    float* __restrict bnd_value = work.values;
    float d[max_columns] = {};
    bool owed = false;  // a still waits for its normalisation by inv_sum
    float inv_sum = 0.0f;
    for (int32_t frame = 0; frame < num_frames; ++frame) {
        const float* row = dens + static_cast<int64_t>(frame) * num_cols;
        for (int32_t c = 0; c < num_cols; ++c)
            d[c] = row[c];
        if (owed) {
            for (int32_t k = 0; k < lay.num_pred; ++k)
                pl[k] = V::mul1(a[lay.pred_list[k]], inv_sum);
        } else {
            gather_predecessors(lay, a, pl);
        }
        bool grouped = band.num_groups > 0;
        if (grouped) {
            for (int32_t k = 0; k < lay.num_pred; ++k) {
                work.pl_wide[k] = pl[k];
                grouped = grouped && std::isfinite(pl[k]);
            }
        }
        if (grouped) {
            band_values<F>(band, work.pl_wide, d, bnd_value);
        } else {
            for (int32_t k = 0; k < num_bnd; ++k)
                bnd_value[k] = boundary_value<F>(lay, pl, k, d, consecutive);
        }

        running_max<F> top;
        top.start();
        float ssum = 0.0f;
        if (num_states > 0) {  // state 0 is the first boundary state
            b[0] = bnd_value[0];
            ssum += bnd_value[0];
        }
        for (int32_t k = 0; k < work.num_segments; ++k) {
            const forward_segment& seg = work.segments[k];
            const float dval = d[seg.col];
            ssum = owed ? shift_and_sum<F, true>(b, a, seg.lo, seg.hi, dval, inv_sum, ssum, top)
                        : shift_and_sum<F, false>(b, a, seg.lo, seg.hi, dval, inv_sum, ssum, top);
            if (seg.bnd >= 0) {
                const int32_t s = seg.hi;
                if (owed) {
                    const float n = V::mul1(a[s - 1], inv_sum);
                    a[s - 1] = n;
                    top.scalar() = n > top.scalar() ? n : top.scalar();
                }
                b[s] = bnd_value[seg.bnd];
                ssum += bnd_value[seg.bnd];
            }
        }
        if (owed) {
            if (num_states > 0) {
                const float n = V::mul1(a[num_states - 1], inv_sum);
                a[num_states - 1] = n;
                top.scalar() = n > top.scalar() ? n : top.scalar();
            }
            const float largest = top.top();
            out[frame - 1] = !(largest > -1.0f)
                                 ? 0u
                                 : static_cast<uint32_t>(first_equal<F>(a, num_states, largest));
        }
        owed = ssum > 0.0f;
        if (owed)
            inv_sum = static_cast<float>(1.0 / static_cast<double>(ssum));
        else
            out[frame] = 0;
        std::swap(a, b);
    }
    if (owed)
        out[num_frames - 1] = static_cast<uint32_t>(normalise_argmax<F>(a, num_states, inv_sum));
    return a;
}

// Runs the frames of `dens` (T rows of C linear densities) from belief `a`,
// with `b` as the second buffer, in form `form`; out[t] receives frame t's
// best state.  Returns the buffer that holds the belief after the last
// frame.  `work` was prepared for this layout; `pl` holds num_pred values.
static float* forward_recursion(kernel_form form, const layout_ref& lay,
                                const float* __restrict dens, int32_t num_frames,
                                int32_t num_cols, float* a, float* b, float* __restrict pl,
                                uint32_t* __restrict out, forward_workspace& work) noexcept {
    // Without frames nothing reads the edges, so they are not walked either.
    const bool consecutive = num_frames > 0 && consecutive_sources(lay);
    return dispatch(form, [&]<kernel_form F>() {
        return forward_frames<F>(lay, dens, num_frames, num_cols, a, b, pl, out, work,
                                 consecutive);
    });
}

}  // namespace cadentia
