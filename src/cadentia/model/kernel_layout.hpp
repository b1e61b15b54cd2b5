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
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

namespace cadentia {

// A frame's densities are copied into a fixed row of this many values.
constexpr int max_columns = 16;
static_assert(max_columns == 16, "the AVX2 column gather (forms.hpp) picks from two vectors of 8");

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

// ---------------------------------------------------------------------------
// Boundary states in groups
//
// A boundary state's reduction is a serial chain over its edges, and one
// state after another those chains cost much of a frame.  Both kernels can
// instead take `lanes` boundary states at once, one per vector lane: the
// group walks the entries of pl that any of its states reads, in ascending
// order, one row per entry, and each lane combines that entry with its own
// weight for it, or with a padding weight where the entry is not among its
// sources (-inf for a maximum, 0.0 for a sum), which leaves the lane's
// result unchanged.  Each lane then still meets its own edges in edge order,
// which is why every state's sources must ascend strictly.
//
// States are grouped by how their sources step through pl (first step, its
// phase, then the first source), so that a group's states read nearly the
// same entries: neighbouring tempo lanes in the tempo grid, the same beat of
// neighbouring lanes in the bar grid.  A layout whose groups would leave
// lanes idle too often keeps its states one at a time.

template <class W>
class band_layout {
public:
    int32_t num_groups = 0;  // 0: the layout takes the states one at a time
    int32_t lanes = 0;
    const int32_t* bnd = nullptr;    // num_groups * lanes: each lane's state, -1 for padding
    const int32_t* dcol = nullptr;   // num_groups * lanes: each lane's column, 0 for padding
    const int32_t* row = nullptr;    // num_groups + 1: each group's first row
    const int32_t* entry = nullptr;  // one per row: the entry of pl it reads
    const W* weight = nullptr;       // lanes per row

    // Builds the groups for a checked layout; false only when the memory
    // cannot be had.
    bool prepare(const layout_ref& lay, int32_t num_lanes, W padding) noexcept {
        num_groups = 0;
        lanes = num_lanes;
        if (lay.num_bnd == 0 || !ascending_sources(lay))
            return true;
        const int32_t groups = (lay.num_bnd + lanes - 1) / lanes;
        const int64_t edges = lay.bnd_ptr[lay.num_bnd];
        std::unique_ptr<int32_t[]> order(new (std::nothrow) int32_t[groups * lanes]);
        std::unique_ptr<int32_t[]> scratch(new (std::nothrow) int32_t[edges + 1]);
        if (!order || !scratch)
            return false;
        arrange(lay, order.get(), groups);
        int64_t rows = 0;
        for (int32_t g = 0; g < groups; ++g)
            rows += group_entries(lay, order.get() + g * lanes, scratch.get());
        // Idle lanes cost as much as busy ones: past this the states one at
        // a time, each with its own setup, cost less.
        if (rows * lanes > 2 * edges + 16 * static_cast<int64_t>(lay.num_bnd) ||
            rows > std::numeric_limits<int32_t>::max() / lanes)
            return true;
        const size_t ints = static_cast<size_t>(2 * groups * lanes + groups + 1 + rows);
        block_.reset(new (std::nothrow) std::byte[rows * lanes * sizeof(W) + ints * sizeof(int32_t)]);
        if (!block_)
            return false;
        auto* w = reinterpret_cast<W*>(block_.get());
        auto* ints_at = reinterpret_cast<int32_t*>(w + rows * lanes);
        int32_t* lane_bnd = ints_at;
        int32_t* lane_col = lane_bnd + groups * lanes;
        int32_t* first_row = lane_col + groups * lanes;
        int32_t* entries = first_row + groups + 1;
        std::fill(w, w + rows * lanes, padding);
        int32_t next = 0;
        for (int32_t g = 0; g < groups; ++g) {
            const int32_t* states = order.get() + g * lanes;
            const int32_t count = group_entries(lay, states, scratch.get());
            std::copy(scratch.get(), scratch.get() + count, entries + next);
            first_row[g] = next;
            for (int32_t k = 0; k < lanes; ++k) {
                const int32_t j = states[k];
                lane_bnd[g * lanes + k] = j;
                lane_col[g * lanes + k] = j < 0 ? 0 : static_cast<int32_t>(lay.bnd_dcol[j]);
                if (j < 0)
                    continue;
                // Both ascend: each edge's row is found by walking forward.
                int32_t r = next;
                for (int64_t p = lay.bnd_ptr[j]; p < lay.bnd_ptr[j + 1]; ++p) {
                    while (entries[r] != static_cast<int32_t>(lay.bnd_src[p]))
                        ++r;
                    w[static_cast<int64_t>(r) * lanes + k] = lay.bnd_weight[p];
                }
            }
            next += count;
        }
        first_row[groups] = next;
        num_groups = groups;
        bnd = lane_bnd;
        dcol = lane_col;
        row = first_row;
        entry = entries;
        weight = w;
        return true;
    }

private:
    static bool ascending_sources(const layout_ref& lay) noexcept {
        for (int32_t j = 0; j < lay.num_bnd; ++j)
            for (int64_t p = lay.bnd_ptr[j] + 1; p < lay.bnd_ptr[j + 1]; ++p)
                if (lay.bnd_src[p] <= lay.bnd_src[p - 1])
                    return false;
        return true;
    }

    // The states in group order, padded with -1 to whole groups.
    void arrange(const layout_ref& lay, int32_t* order, int32_t groups) const noexcept {
        struct key {
            int64_t step, phase, first;
            auto operator<=>(const key&) const = default;
        };
        auto key_of = [&](int32_t j) {
            const int64_t begin = lay.bnd_ptr[j];
            const int64_t count = lay.bnd_ptr[j + 1] - begin;
            if (count == 0)
                return key{0, 0, -1};
            const int64_t first = lay.bnd_src[begin];
            const int64_t step = count > 1 ? lay.bnd_src[begin + 1] - first : 1;
            return key{step, first % step, first};
        };
        for (int32_t j = 0; j < lay.num_bnd; ++j)
            order[j] = j;
        std::stable_sort(order, order + lay.num_bnd,
                         [&](int32_t x, int32_t y) { return key_of(x) < key_of(y); });
        std::fill(order + lay.num_bnd, order + groups * lanes, -1);
    }

    // Writes the sorted entries of pl that the group's states read to `out`
    // and returns their number.
    int32_t group_entries(const layout_ref& lay, const int32_t* states, int32_t* out) const noexcept {
        int32_t n = 0;
        for (int32_t k = 0; k < lanes; ++k)
            if (states[k] >= 0)
                for (int64_t p = lay.bnd_ptr[states[k]]; p < lay.bnd_ptr[states[k] + 1]; ++p)
                    out[n++] = static_cast<int32_t>(lay.bnd_src[p]);
        std::sort(out, out + n);
        return static_cast<int32_t>(std::unique(out, out + n) - out);
    }

    std::unique_ptr<std::byte[]> block_;
};

// pl[k] = x[pred_list[k]]: the boundary predecessors of one frame.
static inline void gather_predecessors(const layout_ref& lay, const float* x,
                                       float* __restrict pl) noexcept {
    for (int32_t k = 0; k < lay.num_pred; ++k)
        pl[k] = x[lay.pred_list[k]];
}

}  // namespace cadentia
