// viterbi.hpp: the offline Viterbi decoder, `decode`.
//
// Log domain, single precision, backtracked.  The layout splits the states:
// an interior state's only predecessor is s-1 at log-probability 0, so a
// frame advances every constant-column run as one shifted vector add, and
// only the few boundary states take a maximum over their incoming edges.
// Back-pointers are kept for boundary states only; an interior state's
// predecessor is implicitly s-1.
//
// Two layers.  `viterbi_recursion` is the frame loop over plain pointers and
// extents: no Python, no allocation, run with the interpreter lock released,
// and driven directly by the C++ benchmark.  `decode_impl` is the glue: it
// converts the arguments, builds the layout through `_split_layout`, checks
// every index the kernel will follow, allocates the working arrays, runs the
// kernel and backtracks.
//
// The arithmetic is part of the result: every sum is rounded to float32 by
// itself, in the stated order, and a candidate is (pl + lp) + dval.  Ties
// go to the earliest edge; a NaN candidate never wins.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <immintrin.h>

#ifndef CADENTIA_KERNELS_ONLY
#include "array_view.hpp"
#endif

namespace cadentia {

// ---------------------------------------------------------------------------
// Kernel

constexpr int max_columns = 16;

// The layout as the kernels read it: borrowed pointers and extents.
struct layout_ref {
    const uint32_t* bnd_state;
    const uint32_t* pred_list;
    const uint32_t* bnd_src;
    const uint32_t* bnd_orig;  // Viterbi only
    const int64_t* bnd_ptr;
    const float* bnd_weight;  // log-probabilities for Viterbi, probabilities forward
    const uint32_t* bnd_dcol;
    const int64_t* run_lo;
    const int64_t* run_hi;
    const uint32_t* run_col;
    int32_t num_states;
    int32_t num_bnd;
    int32_t num_pred;
    int32_t num_runs;
    // Whether every boundary state's sources are consecutive entries of pl,
    // when the caller already knows: 1 or 0; -1 has the kernel find out.
    int8_t sources_consecutive = -1;
};

// The AVX2 forms of the kernels run where the CPU has it; the module itself
// is built for the x86-64 baseline.
static bool cpu_has_avx2() noexcept {
#ifdef CADENTIA_BASELINE_ONLY
    return false;  // a build that exercises the baseline path on any machine
#endif
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

constexpr float minus_inf_f32 = -std::numeric_limits<float>::infinity();

// prev[s-1] + dval over one run.  The runs tile states 1 .. N-1 in order, so
// a run may write whole vectors past its end, up to `limit` (N): the runs
// after it rewrite those states in the same frame.  That keeps the many
// short runs to one store and no tail.  The last run stays inside: its tail
// is one more vector that overlaps the last full one.
static inline void viterbi_shift(float* __restrict cur, const float* __restrict prev,
                                 int32_t lo, int32_t hi, int32_t limit, float dval) noexcept {
    const __m128 shift = _mm_set1_ps(dval);
    int32_t s = lo;
    if (lo + ((hi - lo + 3) & ~3) <= limit) {
        for (; s < hi; s += 4)
            _mm_storeu_ps(cur + s, _mm_add_ps(_mm_loadu_ps(prev + s - 1), shift));
        return;
    }
    if (hi - lo < 4) {
        for (; s < hi; ++s)
            cur[s] = prev[s - 1] + dval;
        return;
    }
    for (; s + 4 <= hi; s += 4)
        _mm_storeu_ps(cur + s, _mm_add_ps(_mm_loadu_ps(prev + s - 1), shift));
    if (s < hi)
        _mm_storeu_ps(cur + hi - 4, _mm_add_ps(_mm_loadu_ps(prev + hi - 5), shift));
}

[[gnu::target("avx2")]] static inline void viterbi_shift_avx2(float* __restrict cur,
                                                              const float* __restrict prev,
                                                              int32_t lo, int32_t hi,
                                                              int32_t limit, float dval) noexcept {
    if (lo + ((hi - lo + 7) & ~7) > limit) {
        viterbi_shift(cur, prev, lo, hi, limit, dval);
        return;
    }
    const __m256 shift = _mm256_set1_ps(dval);
    for (int32_t s = lo; s < hi; s += 8)
        _mm256_storeu_ps(cur + s, _mm256_add_ps(_mm256_loadu_ps(prev + s - 1), shift));
}

// The boundary reduction over consecutive sources: the offset i < count of
// the earliest largest candidate (pl[i] + lp[i]) + dval, or -1 when none
// exceeds -inf.  Each lane keeps its own first maximum (strictly greater
// wins, so a NaN never does); the lanes then merge by value and, among
// equal values, by lowest offset: what one scan in edge order finds.  A
// ragged tail is one more vector that overlaps the last full one; each lane
// still sees its offsets in increasing order, and a repeated edge brings the
// same value.  Offsets are carried as floats, exact up to max_vector_edges.
constexpr int32_t max_vector_edges = 1 << 24;

static inline __m128 select_ps(__m128 mask, __m128 yes, __m128 no) noexcept {
    return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
}

static inline int32_t merge_lanes(__m128 best, __m128 where) noexcept {
    __m128 m = _mm_max_ps(best, _mm_shuffle_ps(best, best, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    if (!(_mm_cvtss_f32(m) > minus_inf_f32))
        return -1;
    // -0.0 and 0.0 are equal here, as they are to the scan.
    __m128 w = select_ps(_mm_cmpeq_ps(best, m), where,
                         _mm_set1_ps(std::numeric_limits<float>::infinity()));
    w = _mm_min_ps(w, _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 3, 0, 1)));
    w = _mm_min_ps(w, _mm_shuffle_ps(w, w, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvttss_si32(w);
}

// count >= 4.
static inline int32_t best_edge(const float* __restrict pl, const float* __restrict lp,
                                int32_t count, float dval) noexcept {
    const __m128 shift = _mm_set1_ps(dval);
    __m128 best = _mm_set1_ps(minus_inf_f32);
    __m128 where = _mm_setzero_ps();
    __m128 offset = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
    int32_t i = 0;
    for (;;) {
        const __m128 c = _mm_add_ps(_mm_add_ps(_mm_loadu_ps(pl + i), _mm_loadu_ps(lp + i)), shift);
        const __m128 greater = _mm_cmpgt_ps(c, best);
        best = _mm_max_ps(c, best);  // c > best ? c : best
        where = select_ps(greater, offset, where);
        i += 4;
        if (i >= count)
            break;
        if (i > count - 4)
            i = count - 4;
        offset = _mm_add_ps(_mm_set1_ps(static_cast<float>(i)),
                            _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f));
    }
    return merge_lanes(best, where);
}

[[gnu::target("avx2")]] static inline int32_t best_edge_avx2(const float* __restrict pl,
                                                             const float* __restrict lp,
                                                             int32_t count, float dval) noexcept {
    if (count < 8)
        return best_edge(pl, lp, count, dval);
    const __m256 shift = _mm256_set1_ps(dval);
    const __m256 lanes = _mm256_setr_ps(0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f);
    __m256 best = _mm256_set1_ps(minus_inf_f32);
    __m256 where = _mm256_setzero_ps();
    __m256 offset = lanes;
    int32_t i = 0;
    for (;;) {
        const __m256 c =
            _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(pl + i), _mm256_loadu_ps(lp + i)), shift);
        const __m256 greater = _mm256_cmp_ps(c, best, _CMP_GT_OQ);
        best = _mm256_max_ps(c, best);
        where = _mm256_blendv_ps(where, offset, greater);
        i += 8;
        if (i >= count)
            break;
        if (i > count - 8)
            i = count - 8;
        offset = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(i)), lanes);
    }
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(best), _mm256_extractf128_ps(best, 1));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    if (!(_mm_cvtss_f32(m) > minus_inf_f32))
        return -1;
    const __m256 equal = _mm256_cmp_ps(best, _mm256_set_m128(m, m), _CMP_EQ_OQ);
    const __m256 w8 = _mm256_blendv_ps(_mm256_set1_ps(std::numeric_limits<float>::infinity()),
                                       where, equal);
    __m128 w = _mm_min_ps(_mm256_castps256_ps128(w8), _mm256_extractf128_ps(w8, 1));
    w = _mm_min_ps(w, _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 3, 0, 1)));
    w = _mm_min_ps(w, _mm_shuffle_ps(w, w, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvttss_si32(w);
}

// The boundary reduction with one boundary state per lane, for consecutive
// sources: eight states at once (four without AVX2) walk the entries of pl
// their edges read, each lane against its own weight for that entry, or
// -inf where the entry is not among its sources.  pl + -inf is -inf or NaN,
// which never wins, so the padding changes nothing; each lane still meets
// its edges in order, and keeps the bits of its first maximum.  This needs
// no horizontal merge per state.  The weights are laid out once per call,
// on the stack; a layout too large for it takes the per-state reduction.
// About 21 KB of stack: room for the default tempo grids (280 rows) while
// staying well inside small thread stacks.
constexpr int32_t band_rows_max = 512;
constexpr int32_t band_lanes_max = 512;  // boundary states, padding included
constexpr int32_t band_groups_max = band_lanes_max / 4;

struct band_plan {
    int32_t lanes;  // 8 or 4
    int32_t num_groups;
    int32_t first[band_groups_max];  // first entry of pl the group reads
    int32_t row[band_groups_max + 1];
    alignas(32) int32_t dcol[band_lanes_max];
    alignas(32) int32_t edge_base[band_lanes_max];  // edge index minus pl index
    alignas(32) float weight[band_rows_max * 8];
};

// The entries of pl that the group of boundary states j0 .. j0+lanes-1
// reads: lo .. hi-1, none when equal.  Sources must be consecutive.
static void band_entries(const layout_ref& lay, int32_t j0, int32_t lanes, int64_t* lo,
                         int64_t* hi) noexcept {
    *lo = *hi = 0;
    for (int32_t j = j0; j < std::min(j0 + lanes, lay.num_bnd); ++j) {
        const int64_t count = lay.bnd_ptr[j + 1] - lay.bnd_ptr[j];
        if (count == 0)
            continue;
        const int64_t src = lay.bnd_src[lay.bnd_ptr[j]];
        *lo = *hi == *lo ? src : std::min(*lo, src);
        *hi = std::max(*hi, src + count);
    }
}

static bool build_band_plan(const layout_ref& lay, int32_t lanes, band_plan* plan) noexcept {
    const int32_t num_groups = (lay.num_bnd + lanes - 1) / lanes;
    if (num_groups > band_lanes_max / lanes)
        return false;
    plan->lanes = lanes;
    plan->num_groups = num_groups;
    int32_t rows = 0;
    for (int32_t g = 0; g < num_groups; ++g) {
        int64_t lo, hi;
        band_entries(lay, lanes * g, lanes, &lo, &hi);
        if (hi - lo > band_rows_max * 8 / lanes - rows)
            return false;
        plan->first[g] = static_cast<int32_t>(lo);
        plan->row[g] = rows;
        rows += static_cast<int32_t>(hi - lo);
    }
    plan->row[num_groups] = rows;
    std::fill(plan->weight, plan->weight + static_cast<int64_t>(rows) * lanes, minus_inf_f32);
    for (int32_t j = 0; j < num_groups * lanes; ++j) {
        const int32_t g = j / lanes;
        const int32_t k = j % lanes;
        plan->dcol[j] = 0;
        plan->edge_base[j] = 0;
        if (j >= lay.num_bnd)
            continue;
        plan->dcol[j] = static_cast<int32_t>(lay.bnd_dcol[j]);
        const int32_t begin = static_cast<int32_t>(lay.bnd_ptr[j]);
        const int32_t end = static_cast<int32_t>(lay.bnd_ptr[j + 1]);
        if (begin == end)
            continue;
        const int32_t src = static_cast<int32_t>(lay.bnd_src[begin]);
        plan->edge_base[j] = begin - src;
        float* w =
            plan->weight + static_cast<int64_t>(plan->row[g] + src - plan->first[g]) * lanes + k;
        for (int32_t p = begin; p < end; ++p, w += lanes)
            *w = lay.bnd_weight[p];
    }
    return true;
}

// The same over four lanes, for the x86-64 baseline.
static inline void band_row(const float* __restrict pl, const float* w, __m128 dval, int32_t entry,
                            int32_t r, __m128* best, __m128* where) noexcept {
    const __m128 c = _mm_add_ps(_mm_add_ps(_mm_set1_ps(pl[entry]), _mm_load_ps(w + 4 * r)), dval);
    const __m128 greater = _mm_cmpgt_ps(c, *best);
    *best = _mm_max_ps(c, *best);
    *where = select_ps(greater, _mm_castsi128_ps(_mm_set1_epi32(entry)), *where);
}

static inline void band_boundary(const band_plan& plan, const layout_ref& lay,
                                 const float* __restrict pl, const float* d, float* cur,
                                 uint32_t* __restrict bt_row) noexcept {
    const __m128 none = _mm_set1_ps(minus_inf_f32);
    for (int32_t g = 0; g < plan.num_groups; ++g) {
        const int32_t* col = plan.dcol + 4 * g;
        const __m128 dval = _mm_setr_ps(d[col[0]], d[col[1]], d[col[2]], d[col[3]]);
        const int32_t first = plan.first[g];
        const int32_t rows = plan.row[g + 1] - plan.row[g];
        const float* w = plan.weight + static_cast<int64_t>(plan.row[g]) * 4;
        __m128 best = none;
        __m128 where = _mm_setzero_ps();
        __m128 best_odd = none;
        __m128 where_odd = _mm_setzero_ps();
        int32_t r = 0;
        for (; r + 2 <= rows; r += 2) {
            band_row(pl, w, dval, first + r, r, &best, &where);
            band_row(pl, w, dval, first + r + 1, r + 1, &best_odd, &where_odd);
        }
        if (r < rows)
            band_row(pl, w, dval, first + r, r, &best, &where);
        const __m128 odd_wins = _mm_or_ps(
            _mm_cmpgt_ps(best_odd, best),
            _mm_and_ps(_mm_cmpeq_ps(best_odd, best),
                       _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_castps_si128(where),
                                                        _mm_castps_si128(where_odd)))));
        best = select_ps(odd_wins, best_odd, best);
        where = select_ps(odd_wins, where_odd, where);
        alignas(16) float score[4];
        alignas(16) int32_t edge[4];
        _mm_store_ps(score, best);
        _mm_store_si128(reinterpret_cast<__m128i*>(edge),
                        _mm_add_epi32(_mm_castps_si128(where),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(
                                          plan.edge_base + 4 * g))));
        const int found = _mm_movemask_ps(_mm_cmpgt_ps(best, none));
        const int32_t j0 = 4 * g;
        const int32_t nb = std::min(4, lay.num_bnd - j0);
        for (int32_t k = 0; k < nb; ++k) {
            if (found & (1 << k))
                bt_row[j0 + k] = lay.bnd_orig[edge[k]];
            cur[lay.bnd_state[j0 + k]] = score[k];
        }
    }
}

// One row: entry `entry` of pl against row r of the group's weights.
[[gnu::target("avx2")]] static inline void band_row_avx2(const float* __restrict pl, const float* w,
                                                         __m256 dval, int32_t entry, int32_t r,
                                                         __m256* best, __m256* where) noexcept {
    const __m256 sum = _mm256_add_ps(_mm256_broadcast_ss(pl + entry), _mm256_load_ps(w + 8 * r));
    const __m256 c = _mm256_add_ps(sum, dval);
    const __m256 greater = _mm256_cmp_ps(c, *best, _CMP_GT_OQ);
    *best = _mm256_max_ps(c, *best);  // c > best ? c : best, so equal keeps the earlier bits
    *where = _mm256_blendv_ps(*where, _mm256_castsi256_ps(_mm256_set1_epi32(entry)), greater);
}

// d holds max_columns values.
[[gnu::target("avx2")]] static inline void band_boundary_avx2(
    const band_plan& plan, const layout_ref& lay, const float* __restrict pl, const float* d,
    float* cur, uint32_t* __restrict bt_row) noexcept {
    static_assert(max_columns == 16, "two vectors of columns");
    const __m256 d_lo = _mm256_loadu_ps(d);
    const __m256 d_hi = _mm256_loadu_ps(d + 8);
    const __m256 none = _mm256_set1_ps(minus_inf_f32);
    for (int32_t g = 0; g < plan.num_groups; ++g) {
        const __m256i col = _mm256_load_si256(reinterpret_cast<const __m256i*>(plan.dcol + 8 * g));
        const __m256 dval = _mm256_blendv_ps(
            _mm256_permutevar8x32_ps(d_lo, col), _mm256_permutevar8x32_ps(d_hi, col),
            _mm256_castsi256_ps(_mm256_cmpgt_epi32(col, _mm256_set1_epi32(7))));
        const int32_t first = plan.first[g];
        const int32_t rows = plan.row[g + 1] - plan.row[g];
        const float* w = plan.weight + static_cast<int64_t>(plan.row[g]) * 8;
        // Even and odd rows in two chains, merged by value, then by row.
        __m256 best = none;
        __m256 where = _mm256_setzero_ps();
        __m256 best_odd = none;
        __m256 where_odd = _mm256_setzero_ps();
        int32_t r = 0;
        for (; r + 2 <= rows; r += 2) {
            band_row_avx2(pl, w, dval, first + r, r, &best, &where);
            band_row_avx2(pl, w, dval, first + r + 1, r + 1, &best_odd, &where_odd);
        }
        if (r < rows)
            band_row_avx2(pl, w, dval, first + r, r, &best, &where);
        // -0.0 and 0.0 are equal here, so the earlier row keeps its bits.
        const __m256 odd_wins = _mm256_or_ps(
            _mm256_cmp_ps(best_odd, best, _CMP_GT_OQ),
            _mm256_and_ps(_mm256_cmp_ps(best_odd, best, _CMP_EQ_OQ),
                          _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_castps_si256(where),
                                                                 _mm256_castps_si256(where_odd)))));
        best = _mm256_blendv_ps(best, best_odd, odd_wins);
        where = _mm256_blendv_ps(where, where_odd, odd_wins);
        alignas(32) float score[8];
        alignas(32) int32_t edge[8];
        _mm256_store_ps(score, best);
        _mm256_store_si256(reinterpret_cast<__m256i*>(edge),
                           _mm256_add_epi32(_mm256_castps_si256(where),
                                            _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                                plan.edge_base + 8 * g))));
        const int found = _mm256_movemask_ps(_mm256_cmp_ps(best, none, _CMP_GT_OQ));
        const int32_t j0 = 8 * g;
        const int32_t nb = std::min(8, lay.num_bnd - j0);
        for (int32_t k = 0; k < nb; ++k) {
            if (found & (1 << k))
                bt_row[j0 + k] = lay.bnd_orig[edge[k]];
            cur[lay.bnd_state[j0 + k]] = score[k];
        }
    }
}

// True when each boundary state's sources are consecutive entries of pl,
// as in the tempo grid: its candidates then load as vectors.
static bool sources_consecutive(const layout_ref& lay) noexcept {
    for (int32_t j = 0; j < lay.num_bnd; ++j)
        for (int64_t p = lay.bnd_ptr[j] + 1; p < lay.bnd_ptr[j + 1]; ++p)
            if (lay.bnd_src[p] != lay.bnd_src[p - 1] + 1)
                return false;
    return true;
}

// One frame loop for both instruction sets; each wrapper below inlines it.
template <bool Avx2>
[[gnu::always_inline]] static inline double viterbi_frames(
    const layout_ref& lay, const float* __restrict log_dens, int32_t num_frames, int32_t num_cols,
    int32_t renorm_period, float* prev, float* cur, float* __restrict pl, uint32_t* __restrict bt,
    int64_t bt_stride, float** final_scores, bool consecutive, const band_plan* band) noexcept {
    const int32_t num_states = lay.num_states;
    double offset = 0.0;
    float d[max_columns] = {};
    for (int32_t frame = 0; frame < num_frames; ++frame) {
        const float* row = log_dens + static_cast<int64_t>(frame) * num_cols;
        for (int32_t c = 0; c < num_cols; ++c)
            d[c] = row[c];
        for (int32_t k = 0; k < lay.num_pred; ++k)
            pl[k] = prev[lay.pred_list[k]];
        for (int32_t r = 0; r < lay.num_runs; ++r) {
            // Only non-empty runs are checked, judged at full width: an
            // empty one must read nothing, not even its column.
            if (lay.run_lo[r] < lay.run_hi[r]) {
                const int32_t lo = static_cast<int32_t>(lay.run_lo[r]);
                const int32_t hi = static_cast<int32_t>(lay.run_hi[r]);
                if constexpr (Avx2)
                    viterbi_shift_avx2(cur, prev, lo, hi, num_states, d[lay.run_col[r]]);
                else
                    viterbi_shift(cur, prev, lo, hi, num_states, d[lay.run_col[r]]);
            }
        }
        uint32_t* bt_row = bt + static_cast<int64_t>(frame) * bt_stride;
        if (band != nullptr) {
            if constexpr (Avx2)
                band_boundary_avx2(*band, lay, pl, d, cur, bt_row);
            else
                band_boundary(*band, lay, pl, d, cur, bt_row);
        } else {
            for (int32_t j = 0; j < lay.num_bnd; ++j) {
                const float dval = d[lay.bnd_dcol[j]];
                const int32_t begin = static_cast<int32_t>(lay.bnd_ptr[j]);
                const int32_t end = static_cast<int32_t>(lay.bnd_ptr[j + 1]);
                float best = minus_inf_f32;
                int32_t best_edge_index = -1;
                if (consecutive && end - begin >= 4 && end - begin <= max_vector_edges) {
                    const float* src = pl + lay.bnd_src[begin];
                    const int32_t e = Avx2 ? best_edge_avx2(src, lay.bnd_weight + begin, end - begin, dval)
                                           : best_edge(src, lay.bnd_weight + begin, end - begin, dval);
                    if (e >= 0) {
                        best_edge_index = begin + e;
                        best = (src[e] + lay.bnd_weight[best_edge_index]) + dval;
                    }
                } else {
                    for (int32_t p = begin; p < end; ++p) {
                        float candidate = (pl[lay.bnd_src[p]] + lay.bnd_weight[p]) + dval;
                        if (candidate > best) {
                            best = candidate;
                            best_edge_index = p;
                        }
                    }
                }
                if (best_edge_index >= 0)
                    bt_row[j] = lay.bnd_orig[best_edge_index];
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
        float* tmp = prev;
        prev = cur;
        cur = tmp;
    }
    *final_scores = prev;
    return offset;
}

static double viterbi_frames_base(const layout_ref& lay, const float* __restrict log_dens,
                                  int32_t num_frames, int32_t num_cols, int32_t renorm_period,
                                  float* prev, float* cur, float* __restrict pl,
                                  uint32_t* __restrict bt, int64_t bt_stride,
                                  float** final_scores, bool consecutive) noexcept {
    band_plan plan;
    const band_plan* band = consecutive && build_band_plan(lay, 4, &plan) ? &plan : nullptr;
    return viterbi_frames<false>(lay, log_dens, num_frames, num_cols, renorm_period, prev, cur, pl,
                                 bt, bt_stride, final_scores, consecutive, band);
}

[[gnu::target("avx2")]] static double viterbi_frames_avx2(
    const layout_ref& lay, const float* __restrict log_dens, int32_t num_frames, int32_t num_cols,
    int32_t renorm_period, float* prev, float* cur, float* __restrict pl, uint32_t* __restrict bt,
    int64_t bt_stride, float** final_scores, bool consecutive) noexcept {
    band_plan plan;
    const band_plan* band = consecutive && build_band_plan(lay, 8, &plan) ? &plan : nullptr;
    return viterbi_frames<true>(lay, log_dens, num_frames, num_cols, renorm_period, prev, cur, pl,
                                bt, bt_stride, final_scores, consecutive, band);
}

// Runs the frames of `log_dens` (T rows of C columns) from `prev`, which
// holds the scores one step before frame 0.  Writes the back-pointers of
// frame t into bt[t * bt_stride ...] and returns the sum of the maxima that
// renormalisation subtracted.  On return *final points at the buffer (one
// of prev and cur) that holds the scores after the last frame.
static double viterbi_recursion(const layout_ref& lay, const float* __restrict log_dens,
                                int32_t num_frames, int32_t num_cols, int32_t renorm_period,
                                float* prev, float* cur, float* __restrict pl,
                                uint32_t* __restrict bt, int64_t bt_stride,
                                float** final_scores) noexcept {
    // Without frames the edges are not checked (nothing reads them), so
    // they must not be walked here either.
    const bool consecutive = num_frames > 0 && sources_consecutive(lay);
    if (cpu_has_avx2())
        return viterbi_frames_avx2(lay, log_dens, num_frames, num_cols, renorm_period, prev, cur,
                                   pl, bt, bt_stride, final_scores, consecutive);
    return viterbi_frames_base(lay, log_dens, num_frames, num_cols, renorm_period, prev, cur, pl,
                               bt, bt_stride, final_scores, consecutive);
}

// NumPy's argmax: the first maximum, and the first NaN beats everything.
static int64_t first_argmax(const float* values, int64_t n) noexcept {
    int64_t best_index = 0;
    float best = values[0];
    if (std::isnan(best))
        return 0;
    for (int64_t i = 1; i < n; ++i) {
        float v = values[i];
        if (std::isnan(v))
            return i;
        if (v > best) {
            best = v;
            best_index = i;
        }
    }
    return best_index;
}

#ifndef CADENTIA_KERNELS_ONLY

// ---------------------------------------------------------------------------
// Shared glue: the layout and the index checks both decoders rely on

constexpr const char* decode_name = "cadentia.model._kernels.decode";

// An index of the model that would send a kernel outside its buffers.
[[gnu::cold, gnu::noinline]] static bool raise_out_of_range(const char* array, Py_ssize_t position,
                                                          long long value, const char* bound_name,
                                                          long long bound) noexcept {
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %lld is out of range: %s is %lld", array, position,
                 value, bound_name, bound);
    return false;
}

[[gnu::cold, gnu::noinline]] static bool raise_length(const char* array, Py_ssize_t length,
                                                    const char* expected_name,
                                                    long long expected) noexcept {
    PyErr_Format(PyExc_ValueError, "%s has %zd entries, expected %lld (%s)", array, length,
                 expected, expected_name);
    return false;
}

template <class T>
static bool check_below(const char* array, const T* values, Py_ssize_t n, long long bound,
                        const char* bound_name) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (static_cast<long long>(values[i]) >= bound)
            return raise_out_of_range(array, i, static_cast<long long>(values[i]), bound_name,
                                      bound);
    return true;
}

// The caller's predecessors where the layout reads them, the edges ptr[0] ..
// ptr[N]-1; entries past them may hold anything.  The layout's own arrays
// are checked as well, but a message naming the caller's array says more.
static bool check_pred(const u32_view& pred, const u32_view& ptr, long long num_states) noexcept {
    if (ptr.extent(0) == 0)
        return true;
    const Py_ssize_t end = std::min<Py_ssize_t>(ptr.data()[ptr.extent(0) - 1], pred.extent(0));
    for (Py_ssize_t e = ptr.data()[0]; e < end; ++e)
        if (pred.data()[e] >= num_states)
            return raise_out_of_range("pred", e, pred.data()[e], "the number of states", num_states);
    return true;
}

// The layout arrays, as views that keep them alive.
struct layout_views {
    u32_view bnd_state, pred_list, bnd_src, bnd_orig, bnd_dcol, run_col;
    i64_view bnd_ptr, run_lo, run_hi;
    f32_view bnd_weight;

    layout_ref ref() const noexcept {
        return {bnd_state.data(), pred_list.data(), bnd_src.data(),  bnd_orig.data(),
                bnd_ptr.data(),   bnd_weight.data(), bnd_dcol.data(), run_lo.data(),
                run_hi.data(),    run_col.data(),
                0,
                static_cast<int32_t>(bnd_state.extent(0)),
                static_cast<int32_t>(pred_list.extent(0)),
                static_cast<int32_t>(run_lo.extent(0))};
    }
};

// Looks a name up the way a global of Python code is found: the module's
// namespace first, then the builtins.
static PyObject* lookup_global(PyObject* name) noexcept {
    PyObject* value;
    if (PyDict_GetItemRef(records.dict, name, &value) != 0)
        return value;  // found, or an error
    if (PyObject_GetOptionalAttr(records.builtins, name, &value) != 0)
        return value;
    PyErr_Format(PyExc_NameError, name_error_format, name);
    return nullptr;
}

// Calls `_split_layout` with the converted arrays, handed over as views of
// the caller's memory.
template <class W>
static PyObject* call_split_layout(const u32_view& pred, const u32_view& ptr, const W& weight,
                                   const u32_view& columns, PyObject* identity) noexcept {
    py_ref function = py_ref::steal(lookup_global(names._split_layout));
    if (!function)
        return nullptr;
    py_ref args[4] = {py_ref::steal(export_view(pred)), py_ref::steal(export_view(ptr)),
                      py_ref::steal(export_view(weight)), py_ref::steal(export_view(columns))};
    for (const py_ref& a : args)
        if (!a)
            return nullptr;
    PyObject* call_args[5] = {args[0].get(), args[1].get(), args[2].get(), args[3].get(), identity};
    return PyObject_Vectorcall(function.get(), call_args, 5, nullptr);
}

template <class T> constexpr int numpy_type = -1;
template <> constexpr int numpy_type<uint32_t> = NPY_UINT32;
template <> constexpr int numpy_type<int64_t> = NPY_INT64;
template <> constexpr int numpy_type<float> = NPY_FLOAT32;

// One layout entry: exact dictionaries are read directly, any other mapping
// through its subscript.  The view is of a private copy: a replaced
// `_split_layout` may keep the arrays it returns and change them after they
// have been checked, even from another thread while a kernel runs.
template <class T>
static bool read_layout_entry(PyObject* lay, PyObject* key, array_view<T, 1>& out) noexcept {
    py_ref value;
    if (PyDict_CheckExact(lay)) {
        if (PyDict_GetItemRef(lay, key, value.put()) == 0)
            PyErr_SetObject(PyExc_KeyError, key);
    } else {
        value = py_ref::steal(PyObject_GetItem(lay, key));
    }
    array_view<T, 1> shared;
    if (!value || !convert(value.get(), shared))
        return false;
    if (shared.absent()) {
        out.release();
        return true;
    }
    npy_intp n = shared.extent(0);
    py_ref copy = py_ref::steal(PyArray_EMPTY(1, &n, numpy_type<T>, 0));
    if (!copy)
        return false;
    if (n)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get())), shared.data(),
                    static_cast<size_t>(n) * sizeof(T));
    return convert(copy.get(), out);
}

// Everything the recursions index through the layout, checked in one pass so
// that no layout, however it was made, can move a kernel outside its
// buffers.  With `frames` false only the boundary states are checked: the
// index maps read them even when there is no frame to run.
static bool check_layout(const layout_views& lay, int64_t num_states, bool with_orig, bool frames,
                         int64_t* max_column) noexcept {
    const Py_ssize_t num_bnd = lay.bnd_state.extent(0);
    const Py_ssize_t num_pred = lay.pred_list.extent(0);
    const Py_ssize_t num_runs = lay.run_lo.extent(0);
    const Py_ssize_t num_edges = lay.bnd_src.extent(0);
    if (!check_below("bnd_state", lay.bnd_state.data(), num_bnd, num_states, "the number of states"))
        return false;
    *max_column = -1;
    if (!frames)
        return true;
    if (lay.bnd_ptr.extent(0) != num_bnd + 1)
        return raise_length("bnd_ptr", lay.bnd_ptr.extent(0), "one more than bnd_state", num_bnd + 1);
    if (lay.bnd_dcol.extent(0) != num_bnd)
        return raise_length("bnd_dcol", lay.bnd_dcol.extent(0), "one per boundary state", num_bnd);
    if (lay.bnd_weight.extent(0) != num_edges)
        return raise_length("bnd_weight", lay.bnd_weight.extent(0), "one per boundary edge", num_edges);
    if (with_orig && lay.bnd_orig.extent(0) != num_edges)
        return raise_length("bnd_orig", lay.bnd_orig.extent(0), "one per boundary edge", num_edges);
    if (lay.run_hi.extent(0) != num_runs)
        return raise_length("run_hi", lay.run_hi.extent(0), "one per run", num_runs);
    if (lay.run_col.extent(0) != num_runs)
        return raise_length("run_col", lay.run_col.extent(0), "one per run", num_runs);
    // State 0 has no s-1 and lies in no run: only a boundary reduction
    // gives it a value.
    if (num_states > 0 && (num_bnd == 0 || lay.bnd_state.data()[0] != 0)) {
        PyErr_SetString(PyExc_ValueError, "bnd_state must list state 0 first");
        return false;
    }
    for (Py_ssize_t j = 1; j < num_bnd; ++j)
        if (lay.bnd_state.data()[j] <= lay.bnd_state.data()[j - 1])
            return raise_out_of_range("bnd_state", j, lay.bnd_state.data()[j], "its lower bound",
                                      static_cast<long long>(lay.bnd_state.data()[j - 1]) + 1);
    if (!check_below("pred_list", lay.pred_list.data(), num_pred, num_states, "the number of states") ||
        !check_below("bnd_src", lay.bnd_src.data(), num_edges, num_pred, "the length of pred_list") ||
        (with_orig && !check_below("bnd_orig", lay.bnd_orig.data(), num_edges, num_states,
                                   "the number of states")))
        return false;
    // The scores come through pred_list and the backtracking follows
    // bnd_orig: where the two disagree, it would read back-pointers that no
    // frame wrote.
    for (Py_ssize_t k = 0; with_orig && k < num_edges; ++k) {
        const uint32_t orig = lay.bnd_orig.data()[k];
        const uint32_t gathered = lay.pred_list.data()[lay.bnd_src.data()[k]];
        if (orig != gathered) {
            PyErr_Format(PyExc_ValueError, "bnd_orig[%zd] = %lu differs from its pred_list entry %lu",
                         k, static_cast<unsigned long>(orig), static_cast<unsigned long>(gathered));
            return false;
        }
    }
    const int64_t* bnd_ptr = lay.bnd_ptr.data();
    int64_t previous = 0;
    for (Py_ssize_t j = 0; j <= num_bnd; ++j) {
        if (bnd_ptr[j] < previous)
            return raise_out_of_range("bnd_ptr", j, bnd_ptr[j], "its lower bound", previous);
        if (bnd_ptr[j] > num_edges)
            return raise_out_of_range("bnd_ptr", j, bnd_ptr[j], "the number of boundary edges",
                                      num_edges);
        previous = bnd_ptr[j];
    }
    // The non-empty runs must tile states 1 .. N-1 in order: then every
    // state gets a new value in every frame and s-1 never leaves the buffer.
    const int64_t* run_lo = lay.run_lo.data();
    const int64_t* run_hi = lay.run_hi.data();
    int64_t next = 1;
    for (Py_ssize_t r = 0; r < num_runs; ++r) {
        if (run_hi[r] <= run_lo[r])
            continue;
        if (run_lo[r] != next)
            return raise_out_of_range("run_lo", r, run_lo[r], "the expected start", next);
        if (run_hi[r] > num_states)
            return raise_out_of_range("run_hi", r, run_hi[r], "the number of states", num_states);
        next = run_hi[r];
    }
    if (num_states > 1 && next != num_states) {
        PyErr_Format(PyExc_ValueError, "the runs cover states 1 to %lld only, of %lld states",
                     static_cast<long long>(next - 1), static_cast<long long>(num_states));
        return false;
    }
    int64_t largest = -1;
    for (Py_ssize_t r = 0; r < num_runs; ++r)
        if (run_hi[r] > run_lo[r])
            largest = std::max<int64_t>(largest, lay.run_col.data()[r]);
    for (Py_ssize_t j = 0; j < num_bnd; ++j)
        largest = std::max<int64_t>(largest, lay.bnd_dcol.data()[j]);
    *max_column = largest;
    return true;
}

// Counts the recursions hold in 32 bits.
static bool check_count(const char* what, int64_t value) noexcept {
    if (value > std::numeric_limits<int32_t>::max()) {
        PyErr_Format(PyExc_ValueError, "%s (%lld) exceeds the supported maximum of %d", what,
                     static_cast<long long>(value), std::numeric_limits<int32_t>::max());
        return false;
    }
    return true;
}

// Releases the interpreter lock for the lifetime of the scope.
class gil_release {
public:
    gil_release() noexcept : state_(PyEval_SaveThread()) {}
    ~gil_release() { PyEval_RestoreThread(state_); }
    gil_release(const gil_release&) = delete;
    gil_release& operator=(const gil_release&) = delete;

private:
    PyThreadState* state_;
};

template <class T, int Dims>
static PyObject* new_array(int type_num, const npy_intp (&dims)[Dims], bool zeroed) noexcept {
    npy_intp shape[Dims];
    for (int i = 0; i < Dims; ++i)
        shape[i] = dims[i];
    return zeroed ? PyArray_ZEROS(Dims, shape, type_num, 0) : PyArray_EMPTY(Dims, shape, type_num, 0);
}

// A fresh array converted to its view, as the kernels take every array.
template <class T, int Dims>
static bool allocate(array_view<T, Dims>& out, int type_num, const npy_intp (&dims)[Dims],
                     bool zeroed) noexcept {
    py_ref array = py_ref::steal(new_array<T, Dims>(type_num, dims, zeroed));
    return array && convert(array.get(), out);
}

// A private float32 copy of a 1-D float32 view (None stays a 0-d NaN, which
// the 1-D view then refuses, as NumPy's own copy would behave).
static bool copy_vector(const f32_view& source, f32_view& out) noexcept {
    py_ref array;
    if (source.absent()) {
        array = py_ref::steal(PyArray_EMPTY(0, nullptr, NPY_FLOAT32, 0));
        if (array)
            *static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))) =
                std::numeric_limits<float>::quiet_NaN();
    } else {
        npy_intp n = source.extent(0);
        array = py_ref::steal(PyArray_EMPTY(1, &n, NPY_FLOAT32, 0));
        if (array && n)
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), source.data(),
                        static_cast<size_t>(n) * sizeof(float));
    }
    return array && convert(array.get(), out);
}

// ---------------------------------------------------------------------------
// decode

static PyObject* decode_impl(PyObject*, PyObject* const* slots) noexcept {
    u32_view pred, ptr, columns;
    f32_view log_prob, log_initial;
    f32_view_2d log_dens;
    if (!convert(slots[0], pred) || !convert(slots[1], ptr) || !convert(slots[2], log_prob) ||
        !convert(slots[3], log_dens))
        return fail(decode_name, 70);
    if (!convert(slots[4], columns) || !convert(slots[5], log_initial))
        return fail(decode_name, 71);
    int32_t renorm_period = 1024;
    if (slots[6] && !to_int32(slots[6], &renorm_period))
        return fail(decode_name, 72);

    const int64_t num_states = ptr.extent(0) - 1;
    const int64_t num_frames = log_dens.extent(0);
    const int64_t num_cols = log_dens.extent(1);
    if (num_cols > max_columns) {
        PyErr_SetString(PyExc_ValueError, "compiled decoder supports at most 16 observation columns");
        return fail(decode_name, 80);
    }

    py_ref lay = py_ref::steal(call_split_layout(pred, ptr, log_prob, columns, records.float_zero));
    if (!lay)
        return fail(decode_name, 82);
    layout_views layout;
    if (!read_layout_entry(lay.get(), names.bnd_state, layout.bnd_state))
        return fail(decode_name, 83);
    if (!read_layout_entry(lay.get(), names.pred_list, layout.pred_list))
        return fail(decode_name, 85);
    if (!read_layout_entry(lay.get(), names.bnd_src, layout.bnd_src))
        return fail(decode_name, 87);
    if (!read_layout_entry(lay.get(), names.bnd_orig, layout.bnd_orig))
        return fail(decode_name, 88);
    if (!read_layout_entry(lay.get(), names.bnd_ptr, layout.bnd_ptr))
        return fail(decode_name, 89);
    if (!read_layout_entry(lay.get(), names.bnd_weight, layout.bnd_weight))
        return fail(decode_name, 90);
    if (!read_layout_entry(lay.get(), names.bnd_dcol, layout.bnd_dcol))
        return fail(decode_name, 91);
    if (!read_layout_entry(lay.get(), names.run_lo, layout.run_lo))
        return fail(decode_name, 92);
    if (!read_layout_entry(lay.get(), names.run_hi, layout.run_hi))
        return fail(decode_name, 93);
    if (!read_layout_entry(lay.get(), names.run_col, layout.run_col))
        return fail(decode_name, 95);
    lay.reset();

    const Py_ssize_t num_bnd = layout.bnd_state.extent(0);
    const Py_ssize_t num_pred = layout.pred_list.extent(0);
    f32_view pl, buf_a, buf_b;
    u8_view is_bnd;
    u32_view bnd_col;
    u32_view_2d bt;
    if (!allocate(pl, NPY_FLOAT32, {num_pred ? num_pred : 1}, false))
        return fail(decode_name, 96);
    if (!allocate(is_bnd, NPY_UINT8, {num_states}, true))
        return fail(decode_name, 97);
    if (!allocate(bnd_col, NPY_UINT32, {num_states}, true))
        return fail(decode_name, 98);
    if (!copy_vector(log_initial, buf_a))
        return fail(decode_name, 100);
    if (!allocate(buf_b, NPY_FLOAT32, {num_states}, false))
        return fail(decode_name, 101);
    if (!allocate(bt, NPY_UINT32, {num_frames, num_bnd ? num_bnd : 1}, false))
        return fail(decode_name, 105);

    // What the kernel will index, checked before it runs.
    int64_t max_column = -1;
    if (!check_count("the number of states", num_states + 1) ||
        !check_count("the number of frames", num_frames) ||
        !check_count("the number of boundary edges", layout.bnd_src.extent(0)) ||
        (num_frames > 0 && !check_pred(pred, ptr, num_states)) ||
        !check_layout(layout, num_states, true, num_frames > 0, &max_column))
        return fail(decode_name, 106);
    if (num_frames > 0) {
        if (buf_a.extent(0) != num_states) {
            raise_length("log_initial", buf_a.extent(0), "one per state", num_states);
            return fail(decode_name, 106);
        }
        if (max_column >= num_cols) {
            PyErr_Format(PyExc_ValueError,
                         "the model reads observation column %lld but log_dens has %lld column%s",
                         static_cast<long long>(max_column), static_cast<long long>(num_cols),
                         num_cols == 1 ? "" : "s");
            return fail(decode_name, 106);
        }
    }

    layout_ref ref = layout.ref();
    ref.num_states = static_cast<int32_t>(num_states);
    uint8_t* is_bnd_data = is_bnd.data();
    uint32_t* bnd_col_data = bnd_col.data();
    for (int32_t j = 0; j < ref.num_bnd; ++j) {
        is_bnd_data[ref.bnd_state[j]] = 1;
        bnd_col_data[ref.bnd_state[j]] = static_cast<uint32_t>(j);
    }

    float* final_scores = buf_a.data();
    double offset = 0.0;
    const int64_t bt_stride = bt.extent(1);
    {
        gil_release unlocked;
        offset = viterbi_recursion(ref, log_dens.data(), static_cast<int32_t>(num_frames),
                                   static_cast<int32_t>(num_cols), renorm_period, buf_a.data(),
                                   buf_b.data(), pl.data(), bt.data(), bt_stride, &final_scores);
    }

    const Py_ssize_t num_scores = buf_a.extent(0);
    if (num_scores == 0) {
        PyErr_SetString(PyExc_ValueError, "attempt to get argmax of an empty sequence");
        return fail(decode_name, 150);
    }
    const int64_t state = first_argmax(final_scores, num_scores);
    const float final_score = final_scores[state];
    const double log_probability = static_cast<double>(final_score) + offset;

    npy_intp path_len = num_frames;
    py_ref path = py_ref::steal(PyArray_EMPTY(1, &path_len, NPY_INT64, 0));
    if (!path)
        return fail(decode_name, 153);
    auto* path_data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(path.get())));
    if (!(final_score > -std::numeric_limits<float>::infinity())) {
        if (num_frames)
            std::memset(path_data, 0, static_cast<size_t>(num_frames) * sizeof(int64_t));
    } else {
        const uint32_t* bt_data = bt.data();
        int64_t st = state;
        for (int64_t t = num_frames - 1; t >= 0; --t) {
            // Unreachable for a checked layout; kept so that no float
            // pattern can send the walk outside the maps.
            if (st < 0 || st >= num_states) {
                PyErr_SetString(PyExc_RuntimeError, "backtracking left the state space");
                return fail(decode_name, 161);
            }
            path_data[t] = st;
            st = is_bnd_data[st] ? bt_data[t * bt_stride + bnd_col_data[st]] : st - 1;
        }
    }
    py_ref score = py_ref::steal(PyFloat_FromDouble(log_probability));
    py_ref result = py_ref::steal(score ? PyTuple_Pack(2, path.get(), score.get()) : nullptr);
    if (!result)
        return fail(decode_name, 166);
    return result.release();
}

static PyObject** const decode_params[] = {&names.pred,     &names.ptr,     &names.log_prob,
                                           &names.log_dens, &names.columns, &names.log_initial,
                                           &names.renorm_period};
static const char* const decode_locals[] = {
    "num_states", "num_frames", "num_cols", "lay",     "bnd_state", "num_bnd", "pred_list",
    "num_pred",   "bnd_src",    "bnd_orig", "bnd_ptr", "bnd_lp",    "bnd_dcol", "run_lo",
    "run_hi",     "num_runs",   "run_col",  "pl",      "is_bnd",    "bnd_col", "buf_a",
    "buf_b",      "prev",       "cur",      "tmp",     "bt",        "d",       "frame",
    "j",          "k",          "s",        "p",       "c",         "r",       "lo",
    "hi",         "best",       "tp",       "dval",    "m",         "offset",  "state",
    "log_probability", "path",  "st"};

const kernel_function_def decode_def = {
    "decode", "decode", decode_name, decode_params, 7, 6, decode_locals,
    static_cast<int>(sizeof decode_locals / sizeof decode_locals[0]), 70, 70, nullptr, false,
    decode_impl};

#endif  // CADENTIA_KERNELS_ONLY

}  // namespace cadentia
