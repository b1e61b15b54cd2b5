// forward_decoder.hpp: the streaming forward (filtering) decoder.
//
// A ForwardDecoder is built once per state space: construction computes the
// layout with identity weight 1.0 and allocates every buffer the recursion
// needs, so that a `step` allocates nothing but its result.  The belief, a
// float32 distribution over states, lives in the object and carries over
// from one chunk to the next; a stream pushed in chunks of any size gives
// the same per-frame states as one call over all frames.
//
// Per frame, in the linear domain: gather the boundary predecessors, sum
// each boundary state's incoming edges in edge order, shift every run
// (b[s] = dval * a[s-1]), add the frame up serially in state order, then
// normalise and pick the best state (done by the next frame's pass as it
// reads the belief).  The serial sum and the double-precision reciprocal are
// part of the result, which is why the sum is never split into partial
// accumulators.
//
// As in viterbi.hpp, `forward_recursion` is the kernel over plain pointers
// (no Python, no allocation, the lock released) and the rest is glue.
#pragma once

#include "viterbi.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <memory>
#include <new>

namespace cadentia {

// ---------------------------------------------------------------------------
// Kernel

// x * y rounded to float32, computed as the exact double product rounded
// once: bit for bit a float32 multiply.  The belief decays through the
// subnormal range on every unlikely state, and a float32 multiply with a
// subnormal operand or result costs a microcode assist of a hundred cycles
// or more; double conversions and products of such values cost none.
// Written with intrinsics because the compiler narrows the plain C++ form
// back to a float32 multiply.
static inline float mul_f32(float x, float y) noexcept {
    __m128d product = _mm_mul_sd(_mm_set_sd(x), _mm_set_sd(y));
    return _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), product));
}

// Four float32 products the same way, operands kept in their order (it
// decides which NaN a product of two NaNs carries).
static inline __m128 mul_f32x4(__m128 x, __m128d y) noexcept {
    __m128d lo = _mm_mul_pd(_mm_cvtps_pd(x), y);
    __m128d hi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), y);
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}

static inline __m128 mul_f32x4(__m128 x, __m128 y) noexcept {
    __m128d lo = _mm_mul_pd(_mm_cvtps_pd(x), _mm_cvtps_pd(y));
    __m128d hi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), _mm_cvtps_pd(_mm_movehl_ps(y, y)));
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}

static inline __m128 mul_f32x4(__m128d x, __m128 y) noexcept {
    __m128d lo = _mm_mul_pd(x, _mm_cvtps_pd(y));
    __m128d hi = _mm_mul_pd(x, _mm_cvtps_pd(_mm_movehl_ps(y, y)));
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}

// The AVX2 forms of four float32 products through double.
[[gnu::target("avx2")]] static inline __m128 mul_f32x4_avx2(__m128 x, float y) noexcept {
    return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(x), _mm256_set1_pd(y)));
}

[[gnu::target("avx2")]] static inline __m128 mul_f32x4_avx2(float x, __m128 y) noexcept {
    return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_set1_pd(x), _mm256_cvtps_pd(y)));
}

[[gnu::target("avx2")]] static inline __m128 mul_f32x4_avx2(__m128 x, __m128 y) noexcept {
    return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(x), _mm256_cvtps_pd(y)));
}

[[gnu::target("avx2")]] static inline int32_t first_equal_avx2(const float* __restrict x,
                                                             int32_t n, float target) noexcept {
    const __m256 t = _mm256_set1_ps(target);
    int32_t s = 0;
    for (; s + 8 <= n; s += 8) {
        const int mask = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(x + s), t, _CMP_EQ_OQ));
        if (mask)
            return s + __builtin_ctz(static_cast<unsigned>(mask));
    }
    for (; s < n; ++s)
        if (x[s] == target)
            return s;
    return 0;
}

// Interior states lo .. hi-1 of one run: b[s] = dval * a[s-1], each value
// added to the frame's sum in state order.  The products go four at a time;
// the sum stays one serial chain, and the products hide in its latency.  The
// sum reads each value back from b: a load costs no shuffle port, and those
// ports also carry the chain's additions.
//
// With `Owed` the previous frame still owes its normalisation: each a[s-1]
// is first normalised by inv_sum (the value the stated normalise pass would
// store, and it is stored) and then shifted.  `lane_max` and `rest_max`
// collect the largest normalised value, NaN never counting.
template <bool Avx2, bool Owed>
[[gnu::always_inline]] static inline float shift_and_sum(float* __restrict b, float* __restrict a,
                                                         int32_t s, int32_t hi, float dval,
                                                         float inv_sum, float ssum,
                                                         __m128& lane_max,
                                                         float& rest_max) noexcept {
    for (; s + 4 <= hi; s += 4) {
        __m128 n = _mm_loadu_ps(a + s - 1);
        if constexpr (Owed) {
            if constexpr (Avx2)
                n = mul_f32x4_avx2(n, inv_sum);
            else
                n = mul_f32x4(n, _mm_set1_pd(inv_sum));
            _mm_storeu_ps(a + s - 1, n);
            lane_max = _mm_max_ps(n, lane_max);  // n > max ? n : max
        }
        __m128 v;
        if constexpr (Avx2)
            v = mul_f32x4_avx2(dval, n);
        else
            v = mul_f32x4(_mm_set1_pd(dval), n);
        _mm_storeu_ps(b + s, v);
        ssum += b[s];
        ssum += b[s + 1];
        ssum += b[s + 2];
        ssum += b[s + 3];
    }
    for (; s < hi; ++s) {
        float n = a[s - 1];
        if constexpr (Owed) {
            n = mul_f32(n, inv_sum);
            a[s - 1] = n;
            rest_max = n > rest_max ? n : rest_max;
        }
        const float v = mul_f32(dval, n);
        b[s] = v;
        ssum += v;
    }
    return ssum;
}

// The first state whose value equals `target`, which one of them holds.
// With target the largest value, this is the state a scan in state order
// keeping strictly greater values finds (-0.0 and 0.0 compare equal there
// too).
static inline int32_t first_equal(const float* __restrict x, int32_t n, float target) noexcept {
    const __m128 t = _mm_set1_ps(target);
    int32_t s = 0;
    for (; s + 4 <= n; s += 4) {
        const int mask = _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(x + s), t));
        if (mask)
            return s + __builtin_ctz(static_cast<unsigned>(mask));
    }
    for (; s < n; ++s)
        if (x[s] == target)
            return s;
    return 0;
}

// Boundary state k's value: its incoming edges summed in edge order, times
// its density.  With consecutive sources the products go four at a time
// from two plain loads; the sum stays the same serial chain.
template <bool Avx2>
[[gnu::always_inline]] static inline float boundary_value(const layout_ref& lay,
                                                          const float* __restrict pl, int32_t k,
                                                          const float* d,
                                                          bool consecutive) noexcept {
    float acc = 0.0f;
    int32_t j = static_cast<int32_t>(lay.bnd_ptr[k]);
    const int32_t end = static_cast<int32_t>(lay.bnd_ptr[k + 1]);
    if (consecutive && j < end) {
        const float* src = pl + lay.bnd_src[j];  // the sources of edges j, j+1, ...
        const float* weight = lay.bnd_weight + j;
        const int32_t count = end - j;
        alignas(16) float terms[4];
        int32_t i = 0;
        for (; i + 4 <= count; i += 4) {
            __m128 t;
            if constexpr (Avx2)
                t = mul_f32x4_avx2(_mm_loadu_ps(src + i), _mm_loadu_ps(weight + i));
            else
                t = mul_f32x4(_mm_loadu_ps(src + i), _mm_loadu_ps(weight + i));
            _mm_store_ps(terms, t);
            acc = terms[0] + acc;
            acc = terms[1] + acc;
            acc = terms[2] + acc;
            acc = terms[3] + acc;
        }
        for (; i < count; ++i)
            acc = mul_f32(src[i], weight[i]) + acc;
    } else {
        for (; j < end; ++j)
            acc = mul_f32(pl[lay.bnd_src[j]], lay.bnd_weight[j]) + acc;
    }
    return mul_f32(acc, d[lay.bnd_dcol[k]]);
}

// Ends an argmax that lanes began: merges each lane's first maximum by
// value, then by lowest index, which is what one scan in state order finds,
// then normalises and scans the tail s .. n-1 itself.
static inline int32_t finish_argmax(const float* values, const int32_t* indices, int lanes,
                                    float* __restrict b, int32_t s, int32_t n,
                                    float inv_sum) noexcept {
    float best = -1.0f;
    int32_t best_s = 0;
    for (int lane = 0; lane < lanes; ++lane) {
        if (!(values[lane] > -1.0f))
            continue;
        if (values[lane] > best || (values[lane] == best && indices[lane] < best_s)) {
            best = values[lane];
            best_s = indices[lane];
        }
    }
    for (; s < n; ++s) {
        float v = mul_f32(b[s], inv_sum);
        b[s] = v;
        if (v > best) {
            best = v;
            best_s = s;
        }
    }
    return best_s;
}

// Normalises b by 1/ssum and returns the state with the largest value:
// strictly greater wins, so ties go to the lowest state and NaN never wins;
// a value must exceed -1 to count at all.  Four lanes each keep their first
// maximum, and the lanes are merged by value, then by lowest index, which is
// exactly what one scan in state order would find.
static inline int32_t normalise_argmax(float* __restrict b, int32_t n, float inv_sum) noexcept {
    alignas(16) float values[4] = {-1.0f, -1.0f, -1.0f, -1.0f};
    alignas(16) int32_t indices[4] = {};
    int32_t s = 0;
    if (n >= 8) {
        const __m128d scale = _mm_set1_pd(inv_sum);
        __m128 lane_best = _mm_set1_ps(-1.0f);
        __m128i lane_index = _mm_setzero_si128();
        __m128i index = _mm_setr_epi32(0, 1, 2, 3);
        const __m128i step = _mm_set1_epi32(4);
        for (; s + 4 <= n; s += 4) {
            __m128 v = mul_f32x4(_mm_loadu_ps(b + s), scale);
            _mm_storeu_ps(b + s, v);
            __m128 greater = _mm_cmpgt_ps(v, lane_best);  // false for NaN
            lane_best = _mm_or_ps(_mm_and_ps(greater, v), _mm_andnot_ps(greater, lane_best));
            __m128i take = _mm_castps_si128(greater);
            lane_index = _mm_or_si128(_mm_and_si128(take, index), _mm_andnot_si128(take, lane_index));
            index = _mm_add_epi32(index, step);
        }
        _mm_store_ps(values, lane_best);
        _mm_store_si128(reinterpret_cast<__m128i*>(indices), lane_index);
    }
    return finish_argmax(values, indices, 4, b, s, n, inv_sum);
}

// normalise_argmax eight states at a time.  Two sets of eight lanes take
// alternate vectors, so that the maxima form two short dependency chains
// rather than one long one; the merge is the same as above over sixteen
// lanes.  _mm256_max_ps(v, best) is v > best ?
// v : best, the strict rule with NaN losing.
[[gnu::target("avx2")]] static inline int32_t normalise_argmax_avx2(float* __restrict b, int32_t n,
                                                                    float inv_sum) noexcept {
    if (n < 32)
        return normalise_argmax(b, n, inv_sum);
    const __m256d scale = _mm256_set1_pd(inv_sum);
    __m256 lane_best[2] = {_mm256_set1_ps(-1.0f), _mm256_set1_ps(-1.0f)};
    __m256i lane_index[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    int32_t s = 0;
    for (; s + 16 <= n; s += 16) {
        for (int k = 0; k < 2; ++k) {
            const float* x = b + s + 8 * k;
            const __m128 lo4 =
                _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(x)), scale));
            const __m128 hi4 =
                _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + 4)), scale));
            const __m256 v = _mm256_set_m128(hi4, lo4);
            _mm256_storeu_ps(b + s + 8 * k, v);
            const __m256 greater = _mm256_cmp_ps(v, lane_best[k], _CMP_GT_OQ);  // false for NaN
            lane_best[k] = _mm256_max_ps(v, lane_best[k]);
            lane_index[k] = _mm256_castps_si256(_mm256_blendv_ps(
                _mm256_castsi256_ps(lane_index[k]), _mm256_castsi256_ps(index), greater));
            index = _mm256_add_epi32(index, step);
        }
    }
    alignas(32) float values[16];
    alignas(32) int32_t indices[16];
    for (int k = 0; k < 2; ++k) {
        _mm256_store_ps(values + 8 * k, lane_best[k]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(indices + 8 * k), lane_index[k]);
    }
    return finish_argmax(values, indices, 16, b, s, n, inv_sum);
}

// ---------------------------------------------------------------------------
// Grouped boundary sums
//
// Each boundary state's sum is a serial chain over its edges, about twenty
// in the tempo grid, and one state after another those chains cost a quarter
// of a frame.  When every state's sources are consecutive entries of pl,
// eight boundary states are summed at once, one per lane: the group walks
// the entries of pl its lanes read, and each lane adds that entry times its
// own weight for it, or 0.0 where the entry is not among its sources.  Each
// lane still meets its own edges in order, and the zero terms change
// nothing: a sum that starts at +0.0 is never -0.0, and x + 0.0 gives back
// the bits of every other x, inf and NaN included.  A zero term needs a
// finite pl entry (inf * 0 is NaN), so a frame with an infinite or NaN entry
// takes the per-state sums instead.

constexpr int32_t band_lanes = 8;

// The groups' weights, laid out once per decoder.  Group g reads entries
// first[g] .. first[g] + (row[g+1] - row[g]) - 1 of pl; row r holds the eight
// lanes' weights for its entry, widened to double for the exact products.
struct forward_band {
    int32_t num_groups = 0;  // 0 when the layout takes the per-state sums
    const int32_t* first = nullptr;
    const int32_t* row = nullptr;
    const int32_t* dcol = nullptr;  // each lane's density column, 0 for padding
    const double* weight = nullptr;
};

// The rows the groups of a checked layout would need, or -1 when the layout
// does not suit them: sources not consecutive, or lanes so often idle that
// the per-state sums, each with its own setup, cost less.
static int64_t band_rows(const layout_ref& lay, bool consecutive) noexcept {
    if (!consecutive || lay.num_bnd == 0)
        return -1;
    int64_t rows = 0;
    for (int32_t j0 = 0; j0 < lay.num_bnd; j0 += band_lanes) {
        int64_t lo, hi;
        band_entries(lay, j0, band_lanes, &lo, &hi);
        rows += hi - lo;
    }
    const int64_t edges = lay.bnd_ptr[lay.num_bnd];
    return rows * band_lanes <= 2 * edges + 16 * static_cast<int64_t>(lay.num_bnd) ? rows : -1;
}

// Lays out the `rows` rows that band_rows found: first and row take
// num_groups and num_groups + 1 entries, dcol num_groups * band_lanes, and
// weight rows * band_lanes.
static void fill_band(const layout_ref& lay, int32_t* first, int32_t* row, int32_t* dcol,
                      double* weight, int64_t rows) noexcept {
    const int32_t num_groups = (lay.num_bnd + band_lanes - 1) / band_lanes;
    int32_t next = 0;
    for (int32_t g = 0; g < num_groups; ++g) {
        int64_t lo, hi;
        band_entries(lay, band_lanes * g, band_lanes, &lo, &hi);
        first[g] = static_cast<int32_t>(lo);
        row[g] = next;
        next += static_cast<int32_t>(hi - lo);
    }
    row[num_groups] = next;
    std::fill(weight, weight + rows * band_lanes, 0.0);
    std::fill(dcol, dcol + num_groups * band_lanes, 0);
    for (int32_t j = 0; j < lay.num_bnd; ++j) {
        const int32_t g = j / band_lanes;
        dcol[j] = static_cast<int32_t>(lay.bnd_dcol[j]);
        const int32_t begin = static_cast<int32_t>(lay.bnd_ptr[j]);
        const int32_t end = static_cast<int32_t>(lay.bnd_ptr[j + 1]);
        if (begin == end)
            continue;
        const int32_t entry = static_cast<int32_t>(lay.bnd_src[begin]) - first[g];
        double* w = weight + static_cast<int64_t>(row[g] + entry) * band_lanes + j % band_lanes;
        for (int32_t e = begin; e < end; ++e, w += band_lanes)
            *w = lay.bnd_weight[e];
    }
}

// The densities of four lanes' columns.
static inline __m128 densities(const float* d, const int32_t* col) noexcept {
    return _mm_setr_ps(d[col[0]], d[col[1]], d[col[2]], d[col[3]]);
}

// The eight lanes' terms for entry p of pl: p times each lane's weight,
// rounded once (p first, as in the per-state sums).
static inline void band_terms(double p, const double* w, __m128* lo, __m128* hi) noexcept {
    const __m128d pp = _mm_set1_pd(p);
    *lo = _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w))),
                        _mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w + 2))));
    *hi = _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w + 4))),
                        _mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w + 6))));
}

[[gnu::target("avx2")]] static inline void band_terms_avx2(double p, const double* w, __m128* lo,
                                                           __m128* hi) noexcept {
    const __m256d pp = _mm256_set1_pd(p);
    *lo = _mm256_cvtpd_ps(_mm256_mul_pd(pp, _mm256_loadu_pd(w)));
    *hi = _mm256_cvtpd_ps(_mm256_mul_pd(pp, _mm256_loadu_pd(w + 4)));
}

// The boundary values of one frame through the groups: out[j] for every
// lane j of every group, padding lanes included.  pl_wide holds pl widened
// to double, every entry finite.
template <bool Avx2>
[[gnu::always_inline]] static inline void band_values(const forward_band& band,
                                                      const double* __restrict pl_wide,
                                                      const float* d,
                                                      float* __restrict out) noexcept {
    for (int32_t g = 0; g < band.num_groups; ++g) {
        const double* pl = pl_wide + band.first[g];
        const double* w = band.weight + static_cast<int64_t>(band.row[g]) * band_lanes;
        const int32_t rows = band.row[g + 1] - band.row[g];
        __m128 acc_lo = _mm_setzero_ps();
        __m128 acc_hi = _mm_setzero_ps();
        for (int32_t r = 0; r < rows; ++r, w += band_lanes) {
            __m128 lo, hi;
            if constexpr (Avx2)
                band_terms_avx2(pl[r], w, &lo, &hi);
            else
                band_terms(pl[r], w, &lo, &hi);
            acc_lo = _mm_add_ps(lo, acc_lo);  // term + acc, in that order
            acc_hi = _mm_add_ps(hi, acc_hi);
        }
        const int32_t* col = band.dcol + band_lanes * g;
        float* value = out + band_lanes * g;
        if constexpr (Avx2) {
            _mm_storeu_ps(value, mul_f32x4_avx2(acc_lo, densities(d, col)));
            _mm_storeu_ps(value + 4, mul_f32x4_avx2(acc_hi, densities(d, col + 4)));
        } else {
            _mm_storeu_ps(value, mul_f32x4(acc_lo, densities(d, col)));
            _mm_storeu_ps(value + 4, mul_f32x4(acc_hi, densities(d, col + 4)));
        }
    }
}

// What a frame needs beside the layout and the two beliefs: the groups'
// weights when the layout suits them, pl widened to double for them, and
// the frame's boundary values.  Made once per decoder, in one block.
class forward_workspace {
public:
    // False when the memory cannot be had.  The layout must be checked.
    bool prepare(const layout_ref& lay, bool consecutive) noexcept {
        const int64_t rows = band_rows(lay, consecutive);
        const int64_t groups = rows < 0 ? 0 : (lay.num_bnd + band_lanes - 1) / band_lanes;
        const int64_t num_weights = rows < 0 ? 0 : rows * band_lanes;
        const int64_t num_wide = rows < 0 ? 0 : lay.num_pred;
        const int64_t num_ints = groups * (band_lanes + 2) + 1;  // first, row, dcol
        const int64_t num_values = std::max<int64_t>(lay.num_bnd, groups * band_lanes);
        // Doubles first, so that every array is aligned for its type.
        const size_t bytes = static_cast<size_t>(num_weights + num_wide) * sizeof(double) +
                             static_cast<size_t>(num_ints) * sizeof(int32_t) +
                             static_cast<size_t>(num_values) * sizeof(float);
        block_.reset(new (std::nothrow) std::byte[bytes]);
        if (!block_)
            return false;
        std::byte* next = block_.get();
        auto* weight = reinterpret_cast<double*>(next);
        next += num_weights * sizeof(double);
        pl_wide = reinterpret_cast<double*>(next);
        next += num_wide * sizeof(double);
        auto* ints = reinterpret_cast<int32_t*>(next);
        next += num_ints * sizeof(int32_t);
        values = reinterpret_cast<float*>(next);
        band = forward_band{};
        if (rows >= 0) {
            int32_t* row = ints + groups;
            int32_t* dcol = row + groups + 1;
            fill_band(lay, ints, row, dcol, weight, rows);
            band = {static_cast<int32_t>(groups), ints, row, dcol, weight};
        }
        return true;
    }

    forward_band band;
    double* pl_wide = nullptr;
    float* values = nullptr;  // one per boundary state, at least

private:
    std::unique_ptr<std::byte[]> block_;
};

// Runs the frames of `dens` (T rows of C linear densities) from belief `a`,
// with `b` as the second buffer; out[t] receives frame t's best state.
// Returns the buffer that holds the belief after the last frame.
//
// The layout must be checked: boundary states ascending with state 0 first,
// and the non-empty runs tiling states 1 .. N-1.  The boundary values come
// first, into the workspace; then one pass in state order shifts the
// interior states and puts each boundary value where its state comes, adding
// every value to the frame's sum.  The sum is a serial chain of float32
// additions whose latency bounds the frame; the rest of the work fits in its
// shadow.
//
// A frame's normalisation and choice of state happen in the next frame's
// pass, which reads every state of the previous belief once anyway:
// a[s-1] is normalised as it is shifted, the predecessor gather normalises
// what it copies, and the largest normalised value is tracked.  The last
// frame is normalised on its own, so the belief left behind is the stated
// one.
template <bool Avx2>
[[gnu::always_inline]] static inline float* forward_frames(const layout_ref& lay,
                                                          const float* __restrict dens,
                                                          int32_t num_frames, int32_t num_cols,
                                                          float* a, float* b, float* __restrict pl,
                                                          uint32_t* __restrict out,
                                                          forward_workspace& work,
                                                          bool consecutive) noexcept {
    const int32_t num_states = lay.num_states;
    const int32_t num_bnd = lay.num_bnd;
    const forward_band& band = work.band;
    float* __restrict bnd_value = work.values;
    float d[max_columns];
    bool owed = false;  // a still waits for its normalisation by inv_sum
    float inv_sum = 0.0f;
    for (int32_t frame = 0; frame < num_frames; ++frame) {
        const float* row = dens + static_cast<int64_t>(frame) * num_cols;
        for (int32_t c = 0; c < num_cols; ++c)
            d[c] = row[c];
        if (owed) {
            for (int32_t k = 0; k < lay.num_pred; ++k)
                pl[k] = mul_f32(a[lay.pred_list[k]], inv_sum);
        } else {
            for (int32_t k = 0; k < lay.num_pred; ++k)
                pl[k] = a[lay.pred_list[k]];
        }
        bool grouped = band.num_groups > 0;
        if (grouped) {
            for (int32_t k = 0; k < lay.num_pred; ++k) {
                work.pl_wide[k] = pl[k];
                grouped = grouped && std::isfinite(pl[k]);
            }
        }
        if (grouped) {
            band_values<Avx2>(band, work.pl_wide, d, bnd_value);
        } else {
            for (int32_t k = 0; k < num_bnd; ++k)
                bnd_value[k] = boundary_value<Avx2>(lay, pl, k, d, consecutive);
        }

        __m128 lane_max = _mm_set1_ps(-1.0f);
        float rest_max = -1.0f;
        float ssum = 0.0f;
        int32_t next_bnd = 0;
        if (num_states > 0) {  // state 0 is the first boundary state
            b[0] = bnd_value[0];
            ssum += bnd_value[0];
            next_bnd = 1;
        }
        for (int32_t r = 0; r < lay.num_runs; ++r) {
            // Only non-empty runs are checked, judged at full width: an
            // empty one must read nothing, not even its column.
            if (lay.run_hi[r] <= lay.run_lo[r])
                continue;
            const int32_t hi = static_cast<int32_t>(lay.run_hi[r]);
            const float dval = d[lay.run_col[r]];
            int32_t s = static_cast<int32_t>(lay.run_lo[r]);
            while (s < hi) {
                const int32_t stop = next_bnd < num_bnd && static_cast<int32_t>(lay.bnd_state[next_bnd]) < hi
                                         ? static_cast<int32_t>(lay.bnd_state[next_bnd])
                                         : hi;
                ssum = owed ? shift_and_sum<Avx2, true>(b, a, s, stop, dval, inv_sum, ssum,
                                                        lane_max, rest_max)
                            : shift_and_sum<Avx2, false>(b, a, s, stop, dval, inv_sum, ssum,
                                                         lane_max, rest_max);
                s = stop;
                if (s < hi) {  // a boundary state
                    if (owed) {
                        const float n = mul_f32(a[s - 1], inv_sum);
                        a[s - 1] = n;
                        rest_max = n > rest_max ? n : rest_max;
                    }
                    b[s] = bnd_value[next_bnd];
                    ssum += bnd_value[next_bnd];
                    ++s;
                    ++next_bnd;
                }
            }
        }
        if (owed) {
            if (num_states > 0) {
                const float n = mul_f32(a[num_states - 1], inv_sum);
                a[num_states - 1] = n;
                rest_max = n > rest_max ? n : rest_max;
            }
            lane_max = _mm_max_ps(lane_max, _mm_shuffle_ps(lane_max, lane_max, _MM_SHUFFLE(2, 3, 0, 1)));
            lane_max = _mm_max_ps(lane_max, _mm_shuffle_ps(lane_max, lane_max, _MM_SHUFFLE(1, 0, 3, 2)));
            const float lm = _mm_cvtss_f32(lane_max);
            const float top = lm > rest_max ? lm : rest_max;
            out[frame - 1] = !(top > -1.0f) ? 0u
                             : Avx2        ? static_cast<uint32_t>(first_equal_avx2(a, num_states, top))
                                           : static_cast<uint32_t>(first_equal(a, num_states, top));
        }
        owed = ssum > 0.0f;
        if (owed)
            inv_sum = static_cast<float>(1.0 / static_cast<double>(ssum));
        else
            out[frame] = 0;
        float* tmp = a;
        a = b;
        b = tmp;
    }
    if (owed)
        out[num_frames - 1] = static_cast<uint32_t>(
            Avx2 ? normalise_argmax_avx2(a, num_states, inv_sum)
                 : normalise_argmax(a, num_states, inv_sum));
    return a;
}

static float* forward_frames_base(const layout_ref& lay, const float* __restrict dens,
                                  int32_t num_frames, int32_t num_cols, float* a, float* b,
                                  float* __restrict pl, uint32_t* __restrict out,
                                  forward_workspace& work, bool consecutive) noexcept {
    return forward_frames<false>(lay, dens, num_frames, num_cols, a, b, pl, out, work, consecutive);
}

[[gnu::target("avx2")]] static float* forward_frames_avx2(const layout_ref& lay,
                                                          const float* __restrict dens,
                                                          int32_t num_frames, int32_t num_cols,
                                                          float* a, float* b, float* __restrict pl,
                                                          uint32_t* __restrict out,
                                                          forward_workspace& work,
                                                          bool consecutive) noexcept {
    return forward_frames<true>(lay, dens, num_frames, num_cols, a, b, pl, out, work, consecutive);
}

// `work` was prepared for this layout.
static float* forward_recursion(const layout_ref& lay, const float* __restrict dens,
                                int32_t num_frames, int32_t num_cols, float* a, float* b,
                                float* __restrict pl, uint32_t* __restrict out,
                                forward_workspace& work) noexcept {
    // Without frames nothing reads the edges, so they are not walked either.
    const bool consecutive =
        num_frames > 0 && (lay.sources_consecutive >= 0 ? lay.sources_consecutive != 0
                                                        : sources_consecutive(lay));
    if (cpu_has_avx2())
        return forward_frames_avx2(lay, dens, num_frames, num_cols, a, b, pl, out, work,
                                   consecutive);
    return forward_frames_base(lay, dens, num_frames, num_cols, a, b, pl, out, work, consecutive);
}

#ifndef CADENTIA_KERNELS_ONLY

// ---------------------------------------------------------------------------
// The object

struct forward_decoder_object {
    PyObject_HEAD
    int32_t num_states;
    int32_t num_runs;
    int32_t num_bnd;
    int32_t num_pred;
    i64_view run_lo;
    i64_view run_hi;
    i64_view bnd_ptr;
    u32_view run_col;
    u32_view bnd_state;
    u32_view bnd_dcol;
    u32_view pred_list;
    u32_view bnd_src;
    f32_view bnd_weight;
    f32_view pl;
    f32_view belief;
    f32_view spare;
    f32_view initial;
    int64_t max_column;  // the largest observation column the model reads, or -1
    int8_t sources_consecutive;  // found once here rather than on every step
    bool busy;           // a step is running with the lock released
    // Construction completed.  A subclass's __del__ can keep an object whose
    // construction failed, with its buffers missing.
    bool ready;
    forward_workspace work;  // the boundary sums' weights and scratch
};

constexpr const char* cinit_name = "cadentia.model._kernels.ForwardDecoder.__cinit__";
constexpr const char* step_name = "cadentia.model._kernels.ForwardDecoder.step";
constexpr const char busy_message[] =
    "ForwardDecoder is in use by another thread; step and reset must not run concurrently";
constexpr const char not_ready_message[] =
    "this ForwardDecoder cannot be used: its construction failed";

constexpr const char forward_decoder_doc[] =
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
    "    ";

static forward_decoder_object* as_decoder(PyObject* self) noexcept {
    return reinterpret_cast<forward_decoder_object*>(self);
}

static layout_ref forward_layout(const forward_decoder_object* fd) noexcept {
    return {fd->bnd_state.data(), fd->pred_list.data(), fd->bnd_src.data(), nullptr,
            fd->bnd_ptr.data(),   fd->bnd_weight.data(), fd->bnd_dcol.data(), fd->run_lo.data(),
            fd->run_hi.data(),    fd->run_col.data(),    fd->num_states,      fd->num_bnd,
            fd->num_pred,         fd->num_runs,          fd->sources_consecutive};
}

static PyObject** const cinit_params[] = {&names.pred, &names.ptr, &names.prob, &names.columns,
                                          &names.initial};

static PyObject* cinit_unused(PyObject*, PyObject* const*) noexcept { return nullptr; }

// Construction takes its arguments as a tuple and a dictionary, so it only
// borrows the matcher; it has no function object of its own.
const kernel_function_def forward_decoder_cinit_def = {
    "__cinit__", "ForwardDecoder.__cinit__", cinit_name, cinit_params, 5, 5, nullptr, 0, 189, 189,
    nullptr, false, cinit_unused};

static int forward_decoder_cinit(forward_decoder_object* fd, PyObject* args,
                                 PyObject* kwargs) noexcept {
    PyObject* slots[max_parameters] = {};
    if (!match_arguments(forward_decoder_cinit_def, args, kwargs, slots))
        return fail(cinit_name, 189), -1;
    u32_view pred, ptr, columns;
    f32_view prob, initial;
    if (!convert(slots[0], pred) || !convert(slots[1], ptr))
        return fail(cinit_name, 189), -1;
    if (!convert(slots[2], prob) || !convert(slots[3], columns))
        return fail(cinit_name, 190), -1;
    if (!convert(slots[4], initial))
        return fail(cinit_name, 191), -1;
    const int64_t num_states = ptr.extent(0) - 1;
    fd->num_states = static_cast<int32_t>(num_states);

    py_ref lay = py_ref::steal(call_split_layout(pred, ptr, prob, columns, records.float_one));
    if (!lay)
        return fail(cinit_name, 195), -1;
    if (!read_layout_entry(lay.get(), names.bnd_state, fd->bnd_state))
        return fail(cinit_name, 196), -1;
    fd->num_bnd = static_cast<int32_t>(fd->bnd_state.extent(0));
    if (!read_layout_entry(lay.get(), names.pred_list, fd->pred_list))
        return fail(cinit_name, 198), -1;
    fd->num_pred = static_cast<int32_t>(fd->pred_list.extent(0));
    if (!read_layout_entry(lay.get(), names.bnd_src, fd->bnd_src))
        return fail(cinit_name, 200), -1;
    if (!read_layout_entry(lay.get(), names.bnd_ptr, fd->bnd_ptr))
        return fail(cinit_name, 201), -1;
    if (!read_layout_entry(lay.get(), names.bnd_weight, fd->bnd_weight))
        return fail(cinit_name, 202), -1;
    if (!read_layout_entry(lay.get(), names.bnd_dcol, fd->bnd_dcol))
        return fail(cinit_name, 203), -1;
    if (!read_layout_entry(lay.get(), names.run_lo, fd->run_lo))
        return fail(cinit_name, 204), -1;
    if (!read_layout_entry(lay.get(), names.run_hi, fd->run_hi))
        return fail(cinit_name, 205), -1;
    fd->num_runs = static_cast<int32_t>(fd->run_lo.extent(0));
    if (!read_layout_entry(lay.get(), names.run_col, fd->run_col))
        return fail(cinit_name, 207), -1;
    lay.reset();

    const Py_ssize_t num_pred = fd->pred_list.extent(0);
    if (!allocate(fd->pl, NPY_FLOAT32, {num_pred ? num_pred : 1}, false))
        return fail(cinit_name, 208), -1;
    if (!copy_vector(initial, fd->initial))
        return fail(cinit_name, 210), -1;
    if (!copy_vector(initial, fd->belief))
        return fail(cinit_name, 211), -1;
    if (!allocate(fd->spare, NPY_FLOAT32, {num_states}, false))
        return fail(cinit_name, 212), -1;

    // What the recursion and reset will index, checked once here.
    layout_views checked;
    checked.bnd_state = fd->bnd_state;
    checked.pred_list = fd->pred_list;
    checked.bnd_src = fd->bnd_src;
    checked.bnd_ptr = fd->bnd_ptr;
    checked.bnd_weight = fd->bnd_weight;
    checked.bnd_dcol = fd->bnd_dcol;
    checked.run_lo = fd->run_lo;
    checked.run_hi = fd->run_hi;
    checked.run_col = fd->run_col;
    if (!check_count("the number of states", num_states + 1) ||
        !check_count("the number of boundary edges", fd->bnd_src.extent(0)) ||
        !check_pred(pred, ptr, num_states) ||
        !check_layout(checked, num_states, false, true, &fd->max_column))
        return fail(cinit_name, 213), -1;
    if (fd->initial.extent(0) != num_states) {
        raise_length("initial", fd->initial.extent(0), "one per state", num_states);
        return fail(cinit_name, 213), -1;
    }
    fd->sources_consecutive = sources_consecutive(forward_layout(fd)) ? 1 : 0;
    if (fd->max_column >= max_columns) {
        PyErr_Format(PyExc_ValueError,
                     "observation column %lld is out of range: a decoder reads at most 16 columns",
                     static_cast<long long>(fd->max_column));
        return fail(cinit_name, 213), -1;
    }
    if (!fd->work.prepare(forward_layout(fd), fd->sources_consecutive == 1)) {
        PyErr_NoMemory();
        return fail(cinit_name, 213), -1;
    }
    fd->ready = true;
    return 0;
}

static PyObject* forward_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    // A half-built object is released at once: its views are set up empty
    // first, so destruction is safe from any point of construction.
    py_ref self = py_ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    forward_decoder_object* fd = as_decoder(self.get());
    for (i64_view* v : {&fd->run_lo, &fd->run_hi, &fd->bnd_ptr})
        new (v) i64_view();
    for (u32_view* v : {&fd->run_col, &fd->bnd_state, &fd->bnd_dcol, &fd->pred_list, &fd->bnd_src})
        new (v) u32_view();
    for (f32_view* v : {&fd->bnd_weight, &fd->pl, &fd->belief, &fd->spare, &fd->initial})
        new (v) f32_view();
    fd->max_column = -1;
    fd->sources_consecutive = -1;
    fd->busy = false;
    fd->ready = false;
    new (&fd->work) forward_workspace();
    if (forward_decoder_cinit(fd, args, kwargs) < 0)
        return nullptr;
    return self.release();
}

static void forward_decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_finalize && type->tp_dealloc == forward_decoder_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
    }
    forward_decoder_object* fd = as_decoder(self);
    for (i64_view* v : {&fd->run_lo, &fd->run_hi, &fd->bnd_ptr})
        v->~i64_view();
    for (u32_view* v : {&fd->run_col, &fd->bnd_state, &fd->bnd_dcol, &fd->pred_list, &fd->bnd_src})
        v->~u32_view();
    for (f32_view* v : {&fd->bnd_weight, &fd->pl, &fd->belief, &fd->spare, &fd->initial})
        v->~f32_view();
    fd->work.~forward_workspace();
    type->tp_free(self);
}

// ---------------------------------------------------------------------------
// step and reset

static PyObject* forward_decoder_step_impl(PyObject* self, PyObject* const* slots) noexcept {
    forward_decoder_object* fd = as_decoder(self);
    f32_view_2d dens;
    if (!convert(slots[0], dens))
        return fail(step_name, 220);
    const int64_t num_frames = dens.extent(0);
    const int64_t num_cols = dens.extent(1);
    if (num_cols > max_columns) {
        PyErr_SetString(PyExc_ValueError, "forward decoder supports at most 16 observation columns");
        return fail(step_name, 226);
    }
    if (!fd->ready) {
        PyErr_SetString(PyExc_RuntimeError, not_ready_message);
        return fail(step_name, 226);
    }
    if (num_frames > 0 && fd->max_column >= num_cols) {
        PyErr_Format(PyExc_ValueError,
                     "the model reads observation column %lld but dens has %lld column%s",
                     static_cast<long long>(fd->max_column), static_cast<long long>(num_cols),
                     num_cols == 1 ? "" : "s");
        return fail(step_name, 226);
    }
    if (!check_count("the number of frames", num_frames))
        return fail(step_name, 226);
    if (fd->busy) {
        PyErr_SetString(PyExc_RuntimeError, busy_message);
        return fail(step_name, 226);
    }
    npy_intp out_len = num_frames;
    py_ref out = py_ref::steal(PyArray_EMPTY(1, &out_len, NPY_UINT32, 0));
    if (!out)
        return fail(step_name, 227);
    auto* out_data = static_cast<uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));

    const layout_ref lay = forward_layout(fd);
    float* a = fd->belief.data();
    float* b = fd->spare.data();
    float* pl = fd->pl.data();
    float* newest;
    fd->busy = true;
    {
        gil_release unlocked;
        newest = forward_recursion(lay, dens.data(), static_cast<int32_t>(num_frames),
                                   static_cast<int32_t>(num_cols), a, b, pl, out_data, fd->work);
    }
    fd->busy = false;
    if (newest != a)
        fd->belief.swap(fd->spare);
    return out.release();
}

static PyObject* forward_decoder_reset_impl(PyObject* self, PyObject* const*) noexcept {
    forward_decoder_object* fd = as_decoder(self);
    if (!fd->ready) {
        PyErr_SetString(PyExc_RuntimeError, not_ready_message);
        return nullptr;
    }
    if (fd->busy) {
        PyErr_SetString(PyExc_RuntimeError, busy_message);
        return nullptr;
    }
    if (fd->num_states > 0)
        std::memcpy(fd->belief.data(), fd->initial.data(),
                    static_cast<size_t>(fd->num_states) * sizeof(float));
    Py_RETURN_NONE;
}

// Instances hold private buffers that a pickle could not rebuild.
[[gnu::cold]] static PyObject* refuse_pickling(const char* where, int line) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return fail(where, line);
}

static PyObject* forward_decoder_reduce_impl(PyObject*, PyObject* const*) noexcept {
    return refuse_pickling("cadentia.model._kernels.ForwardDecoder.__reduce__", 2);
}

static PyObject* forward_decoder_setstate_impl(PyObject*, PyObject* const*) noexcept {
    return refuse_pickling("cadentia.model._kernels.ForwardDecoder.__setstate__", 4);
}

static PyObject** const no_params[] = {nullptr};
static PyObject** const step_params[] = {&names.dens};
static PyObject** const setstate_params[] = {&names.state};
static const char* const reset_locals[] = {"s"};
static const char* const step_locals[] = {
    "num_frames", "num_cols", "out", "a",  "b", "pl", "tmp",    "d",   "frame", "j",       "k",   "s",
    "p",          "c",        "r",   "lo", "hi", "best_s", "acc", "dval",  "ssum", "inv_sum", "best"};

const kernel_function_def forward_decoder_reset_def = {
    "reset", "ForwardDecoder.reset", "cadentia.model._kernels.ForwardDecoder.reset", no_params, 0,
    0, reset_locals, 1, 214, 0, "Restore the belief to the initial distribution.", true,
    forward_decoder_reset_impl, &forward_decoder_type};

const kernel_function_def forward_decoder_step_def = {
    "step", "ForwardDecoder.step", step_name, step_params, 1, 1, step_locals,
    static_cast<int>(sizeof step_locals / sizeof step_locals[0]), 220, 220,
    "Advance over a chunk of linear densities ``(T, C)``; return the\n"
    "        per-frame argmax state ``(T,)``. Updates the persistent belief.",
    true, forward_decoder_step_impl, &forward_decoder_type};

const kernel_function_def forward_decoder_reduce_def = {
    "__reduce__", "ForwardDecoder.__reduce__", "cadentia.model._kernels.ForwardDecoder.__reduce__",
    no_params, 0, 0, nullptr, 0, 1, 0, nullptr, true, forward_decoder_reduce_impl,
    &forward_decoder_type};

const kernel_function_def forward_decoder_setstate_def = {
    "__setstate__", "ForwardDecoder.__setstate__",
    "cadentia.model._kernels.ForwardDecoder.__setstate__", setstate_params, 1, 1, nullptr, 0, 3, 4,
    nullptr, true, forward_decoder_setstate_impl, &forward_decoder_type};

PyTypeObject forward_decoder_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "cadentia.model._kernels.ForwardDecoder",
    .tp_basicsize = sizeof(forward_decoder_object),
    .tp_itemsize = 0,
    .tp_dealloc = forward_decoder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = forward_decoder_doc,
    .tp_new = forward_decoder_new,
};

#endif  // CADENTIA_KERNELS_ONLY

}  // namespace cadentia
