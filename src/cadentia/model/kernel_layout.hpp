// kernel_layout.hpp: the layout as both recursions read it.
//
// `_split_layout` (layout.hpp) makes the layout as NumPy arrays; the glue
// checks every index in it (layout_views.hpp) and hands the kernels this
// plain record of pointers and extents.  The kernels trust it: boundary
// states ascending with state 0 first, every edge's source an entry of
// pred_list, every pred_list entry a state, and the non-empty runs tiling
// states 1 .. N-1 in order.
//
// No Python header: the kernels and the C++ harness build on it alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

namespace cadentia {

// A frame's densities are copied into a fixed row of this many values.
constexpr int max_columns = 16;

constexpr float minus_inf_f32 = -std::numeric_limits<float>::infinity();

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

// True when each boundary state's sources are consecutive entries of pl,
// as in the tempo grid: its candidates then load as vectors, and groups of
// boundary states can walk pl together.
static bool sources_consecutive(const layout_ref& lay) noexcept {
    for (int32_t j = 0; j < lay.num_bnd; ++j)
        for (int64_t p = lay.bnd_ptr[j] + 1; p < lay.bnd_ptr[j + 1]; ++p)
            if (lay.bnd_src[p] != lay.bnd_src[p - 1] + 1)
                return false;
    return true;
}

// Whether the sources are consecutive, from the record when it says.
static bool consecutive_sources(const layout_ref& lay) noexcept {
    return lay.sources_consecutive >= 0 ? lay.sources_consecutive != 0 : sources_consecutive(lay);
}

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

// pl[k] = x[pred_list[k]]: the boundary predecessors of one frame.
static inline void gather_predecessors(const layout_ref& lay, const float* x,
                                       float* __restrict pl) noexcept {
    for (int32_t k = 0; k < lay.num_pred; ++k)
        pl[k] = x[lay.pred_list[k]];
}

}  // namespace cadentia
