// layout_kernel.hpp: the passes of the layout split over converted data.
//
// `_split_layout` (layout.hpp) converts its arguments with NumPy and builds
// the result as NumPy arrays; the work in between is these plain loops over
// the converted data, which check every gather before reading and report
// where the NumPy operation would refuse.  No Python header.
#pragma once

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cadentia {

// Where a NumPy gather from `size` entries would read position `i`, or -1
// when it refuses it.
static inline std::ptrdiff_t gather_position(int64_t i, std::ptrdiff_t size) noexcept {
    if (i < 0)
        i += size;
    return i >= 0 && i < size ? static_cast<std::ptrdiff_t>(i) : -1;
}

// The first refused position of a gather, remembered while a pass goes on.
struct gather_fault {
    bool found = false;
    int64_t index = 0;
    void note(int64_t i) noexcept {
        if (!found)
            found = true, index = i;
    }
};

// Counts wrap modulo 2^64, like NumPy's int64 differences.
static inline int64_t row_count(const int64_t* ptr, int64_t s) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(ptr[s + 1]) - static_cast<uint64_t>(ptr[s]));
}

// Writes the boundary states to `bnd` (room for num_states) and returns their
// number.  All three tests run for every state, as the elementwise
// definition reads ptr[s]'s edge for every state; the first refused gather of
// `pred` and of `weight` are reported separately because they fail at
// different steps.
static std::ptrdiff_t split_states(const int64_t* ptr, std::ptrdiff_t num_states, const int64_t* pred,
                             std::ptrdiff_t num_pred, const double* weight, std::ptrdiff_t num_weight,
                             double identity, int64_t* bnd, gather_fault* pred_fault,
                             gather_fault* weight_fault) noexcept {
    std::ptrdiff_t num_bnd = 0;
    for (std::ptrdiff_t s = 0; s < num_states; ++s) {
        const int64_t first = ptr[s];
        bool from_prev = false;
        bool plain = false;
        std::ptrdiff_t p = gather_position(first, num_pred);
        if (p < 0)
            pred_fault->note(first);
        else
            from_prev = pred[p] == s - 1;
        std::ptrdiff_t w = gather_position(first, num_weight);
        if (w < 0)
            weight_fault->note(first);
        else
            plain = weight[w] == identity;
        if (!(row_count(ptr, s) == 1 && from_prev && plain))
            bnd[num_bnd++] = s;
    }
    return num_bnd;
}

// The same split for the usual case, every first-edge position in
// [0, size) with size = min(num_pred, num_weight) >= 1.  Positions are clamped
// so that every read stays in bounds, and the loop has no branches, since
// interior and boundary states interleave along the lanes.  Returns false
// when some position was clamped; split_states then redoes the work.
static bool split_states_in_bounds(const int64_t* ptr, std::ptrdiff_t num_states,
                                   const int64_t* pred, const double* weight, std::ptrdiff_t size,
                                   double identity, int64_t* bnd, std::ptrdiff_t* num_bnd) noexcept {
    const uint64_t last = static_cast<uint64_t>(size) - 1;
    uint64_t largest = 0;  // negative positions become huge
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t s = 0; s < num_states; ++s) {
        const uint64_t first = static_cast<uint64_t>(ptr[s]);
        largest = std::max(largest, first);
        const uint64_t f = std::min(first, last);
        const bool det = (row_count(ptr, s) == 1) & (pred[f] == s - 1) & (weight[f] == identity);
        bnd[count] = s;
        count += !det;
    }
    *num_bnd = count;
    return largest <= last;
}

// Number of boundary edges: the lengths of the ranges [ptr[s], ptr[s+1]),
// empty when reversed.  Saturates just past `limit`, so absurd row pointers
// cannot overflow the sum.
static uint64_t count_edges(const int64_t* ptr, const int64_t* bnd, std::ptrdiff_t num_bnd,
                            uint64_t limit) noexcept {
    uint64_t total = 0;
    for (std::ptrdiff_t i = 0; i < num_bnd; ++i) {
        const int64_t lo = ptr[bnd[i]];
        const int64_t hi = ptr[bnd[i] + 1];
        if (hi <= lo)
            continue;
        const uint64_t length = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
        if (length > limit - total)
            return limit + 1;
        total += length;
    }
    return total;
}

// The first boundary edge position that a gather from `size` entries refuses.
// Within one ascending range that is the range's start, or else the first
// position past the end.
static gather_fault first_edge_fault(const int64_t* ptr, const int64_t* bnd, std::ptrdiff_t num_bnd,
                                     std::ptrdiff_t size) noexcept {
    gather_fault fault;
    for (std::ptrdiff_t i = 0; i < num_bnd && !fault.found; ++i) {
        const int64_t lo = ptr[bnd[i]];
        const int64_t hi = ptr[bnd[i] + 1];
        if (hi <= lo)
            continue;
        if (lo < -size || lo >= size)
            fault.note(lo);
        else if (hi > size)
            fault.note(size);
    }
    return fault;
}

// Gathers one value per boundary edge, in boundary-edge order.  Positions
// must have passed first_edge_fault.
template <class T, class Convert>
static void gather_edges(const int64_t* ptr, const int64_t* bnd, std::ptrdiff_t num_bnd, const T* src,
                         std::ptrdiff_t size, Convert convert) noexcept {
    std::ptrdiff_t k = 0;
    for (std::ptrdiff_t i = 0; i < num_bnd; ++i) {
        const int64_t lo = ptr[bnd[i]];
        const int64_t hi = ptr[bnd[i] + 1];
        for (int64_t e = lo; e < hi; ++e)
            convert(k++, src[e < 0 ? e + size : e]);
    }
}

// True when narrowing `d` to float may raise a floating-point flag that NumPy
// turns into a warning or an error: overflow to infinity, any result below
// the normal range (a superset of underflow), or a signalling NaN.
static inline bool narrowing_may_signal(double d, float f) noexcept {
    const double magnitude = std::fabs(d);
    if (magnitude < FLT_MIN)
        return magnitude != 0.0;
    if (std::isinf(f))
        return !std::isinf(d);
    if (std::isnan(d)) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return (bits & (uint64_t{1} << 51)) == 0;
    }
    return false;
}

// Sorted unique with inverse for values that are states, so small: a bitmap
// marks the values present, and a scan of its words in order ranks them.
// `bits` has a zeroed bit for every value up to the largest one.  Returns the
// number of distinct values.
static std::ptrdiff_t mark_values(const uint32_t* values, std::ptrdiff_t n, uint64_t* bits) noexcept {
    std::ptrdiff_t distinct = 0;
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        uint64_t& word = bits[values[k] >> 6];
        const uint64_t bit = uint64_t{1} << (values[k] & 63);
        distinct += (word & bit) == 0;
        word |= bit;
    }
    return distinct;
}

// Writes the marked values in ascending order to `sorted` and the rank of
// each to rank_of[value]; rank_of is written, and later read, only at the
// marked values.
static void rank_values(const uint64_t* bits, std::ptrdiff_t num_words, uint32_t* sorted,
                        uint32_t* rank_of) noexcept {
    uint32_t rank = 0;
    for (std::ptrdiff_t i = 0; i < num_words; ++i) {
        for (uint64_t word = bits[i]; word; word &= word - 1) {
            const uint32_t value = static_cast<uint32_t>(i * 64 + std::countr_zero(word));
            sorted[rank] = value;
            rank_of[value] = rank++;
        }
    }
}

// Writes every state s in 1..n-1 whose column differs from the one before
// to `change` (room for n) and returns their number.
static std::ptrdiff_t find_changes(const int64_t* col, std::ptrdiff_t n, int64_t* change) noexcept {
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t s = 1; s < n; ++s) {
        change[count] = s;
        count += col[s] != col[s - 1];
    }
    return count;
}

}  // namespace cadentia
