// layout.hpp: the interior/boundary split of a transition model, shared by
// both decoders.
//
// A transition model arrives in compressed-sparse-row form by destination
// state (`ptr`, `pred`, one weight per edge) with the observation column of
// every state.  In the tempo-lane grid almost every state is a plain phase
// advance: its only predecessor is s-1, reached with the identity weight
// (0.0 in the log domain, 1.0 in the linear one).  Such interior states need
// no per-state data at all; the kernels advance them as a stride-1 shift.
// Only the few boundary states reduce over predecessors, so the layout keeps
// a small CSR of their incoming edges (`bnd_ptr` over `bnd_src`, `bnd_orig`,
// `bnd_weight`) and one sorted list of every predecessor those edges read
// (`pred_list`), which a kernel gathers once per frame.  The constant-column
// runs [run_lo, run_hi) cut states 1..N-1 wherever the observation column
// changes, so a whole run shifts and multiplies by one density.
//
// What consumers rely on, for well-formed input: every state missing from
// `bnd_state` has exactly the one identity edge from s-1; state 0 is always
// a boundary state; pred_list[bnd_src[k]] == bnd_orig[k]; bnd_ptr starts at
// 0 and ends at the edge count; the runs tile 1..N-1 in order (run 0 may be
// empty, starting at 1) and run r reads run_col[r].  Every output is a
// fresh, one-dimensional, C-contiguous array that shares no memory with an
// argument.
//
// The function is defined as a sequence of NumPy array operations, and
// callers may see exactly what those operations would do: NumPy's own
// conversions, its out-of-bounds messages (negative positions count from the
// end), wrapping casts to uint32, its floating-point warnings on the float32
// cast.  The arguments go through NumPy's conversion and cast; everything
// after that is computed here in single passes over the converted data,
// checking every gather before reading and raising where the array operation
// would.  Malformed input (decreasing `ptr`, negative indices, short
// `columns`) gets the same layout those operations would give; only arrays
// of more than one dimension are refused, since no meaning exists for them.
#pragma once

#include "arguments.hpp"
#include "layout_kernel.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

constexpr const char* split_layout_trace = "cadentia.model._kernels._split_layout";

// Traceback lines, one per step of the layout's definition.
namespace layout_line {
constexpr int arguments = 22;
constexpr int convert_ptr = 32;
constexpr int convert_pred = 33;
constexpr int convert_weight = 34;
constexpr int num_states = 35;
constexpr int split_pred = 38;
constexpr int split_weight = 39;
constexpr int boundary = 40;
constexpr int edges = 43;
constexpr int edge_orig = 45;
constexpr int unique = 46;
constexpr int convert_columns = 49;
constexpr int change = 50;
constexpr int run_lo = 51;
constexpr int run_hi = 53;
constexpr int dict = 56;
constexpr int bnd_ptr = 60;
constexpr int bnd_weight = 61;
constexpr int bnd_dcol = 62;
constexpr int run_col = 66;
}  // namespace layout_line

// NumPy's texts for the failures its array operations raise at these steps.
constexpr const char index_bounds_format[] = "index %zd is out of bounds for axis 0 with size %zd";
constexpr const char scalar_index_message[] =
    "too many indices for array: array is 0-dimensional, but 1 were indexed";
constexpr const char scalar_shape_message[] = "tuple index out of range";
constexpr const char scalar_diff_message[] = "diff requires input that is at least one dimensional";
constexpr const char too_big_message[] =
    "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
// The module's own refusal.
constexpr const char not_one_dimensional_format[] =
    "_split_layout() argument '%s' must be one-dimensional, not %d-dimensional";

// The edge positions form an int64 array; no more of them can exist.
constexpr uint64_t max_layout_edges = static_cast<uint64_t>(NPY_MAX_INTP) / sizeof(int64_t);

static const char split_layout_doc[] =
    "Interior/boundary split + constant-column runs shared by both kernels.\n"
    "\n"
    "    A state is *deterministic* (a plain phase advance) when its single\n"
    "    predecessor is ``s-1`` with weight ``identity`` \xe2\x80\x94 log-prob 0 for Viterbi,\n"
    "    probability 1 for the forward decode; the rest are *boundaries* that reduce\n"
    "    over their predecessors. ``weight`` is the per-edge log-prob or probability;\n"
    "    the gathered boundary weights come back as float32. Returns the layout arrays\n"
    "    (``bnd_orig`` is the boundary predecessors for Viterbi backtracking; the\n"
    "    forward decode ignores it).";

// ---------------------------------------------------------------------------
// Glue

// A converted array argument, NumPy's asarray(x).astype(dtype): a private
// copy, so nothing the caller does later (even from Python code run by a
// conversion) can change what the steps read.
template <class T>
struct layout_input {
    py_ref array;
    const T* data = nullptr;
    npy_intp size = 0;
    bool scalar = false;  // 0-dimensional: it has no first extent
};

template <class T>
static bool convert_input(PyObject* obj, int type_num, const char* param,
                          layout_input<T>* out) noexcept {
    // asarray does not keep subclasses, hence ENSUREARRAY.
    py_ref array = py_ref::steal(
        PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
    if (!array)
        return false;
    // PyArray_CastToType steals the descriptor and always makes a new
    // C-ordered array, with astype's unsafe casting.
    out->array = py_ref::steal(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(array.get()),
                                                  PyArray_DescrFromType(type_num), 0));
    if (!out->array)
        return false;
    auto* a = reinterpret_cast<PyArrayObject*>(out->array.get());
    const int ndim = PyArray_NDIM(a);
    if (ndim > 1) {
        PyErr_Format(PyExc_ValueError, not_one_dimensional_format, param, ndim);
        return false;
    }
    out->scalar = ndim == 0;
    out->size = ndim == 0 ? 0 : PyArray_DIM(a, 0);
    out->data = static_cast<const T*>(PyArray_DATA(a));
    return true;
}

// A new 1-D array held by `out`, and its data; nullptr with the exception
// set on failure.  NumPy gives even an empty array a data block, so a live
// array never has a null data pointer.
template <class T>
static T* new_vector(npy_intp n, int type_num, py_ref* out) noexcept {
    npy_intp dims[1] = {n};
    out->reset(PyArray_SimpleNew(1, dims, type_num));
    return *out ? static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out->get())))
                : nullptr;
}

[[gnu::cold, gnu::noinline]] static void raise_index(int64_t index, npy_intp size) noexcept {
    PyErr_Format(PyExc_IndexError, index_bounds_format, static_cast<Py_ssize_t>(index),
                 static_cast<Py_ssize_t>(size));
}

// Everything one call builds, in the order the steps build it.
struct layout_work {
    double identity = 0.0;
    layout_input<int64_t> ptr, pred, col;
    layout_input<double> weight;
    npy_intp num_states = 0;
    py_ref bnd_scratch;
    const int64_t* bnd = nullptr;
    npy_intp num_bnd = 0;
    npy_intp num_edges = 0;
    py_ref bnd_orig, bnd_src, pred_list;
    py_ref run_lo, run_hi;
    int64_t* run_lo_data = nullptr;
    npy_intp num_runs = 0;
    py_ref result;
};

// The boundary states and the checks of the deterministic test.
static int build_boundary(layout_work& w) noexcept {
    if (w.pred.scalar) {
        PyErr_SetString(PyExc_IndexError, scalar_index_message);
        return layout_line::split_pred;
    }
    // A 0-d weight has no position to read; its refusal comes after pred's.
    const npy_intp num_weight = w.weight.scalar ? 0 : w.weight.size;
    int64_t* bnd = new_vector<int64_t>(std::max<npy_intp>(w.num_states, 0), NPY_INT64,
                                       &w.bnd_scratch);
    if (!bnd)
        return layout_line::boundary;
    w.bnd = bnd;
    // Without states nothing is read, though a 0-d weight is still refused.
    if (w.num_states <= 0 && !w.weight.scalar)
        return 0;
    const npy_intp readable = std::min(w.pred.size, num_weight);
    if (readable > 0 && split_states_in_bounds(w.ptr.data, w.num_states, w.pred.data,
                                               w.weight.data, readable, w.identity, bnd,
                                               &w.num_bnd))
        return 0;
    gather_fault pred_fault, weight_fault;
    w.num_bnd = split_states(w.ptr.data, w.num_states, w.pred.data, w.pred.size, w.weight.data,
                             num_weight, w.identity, bnd, &pred_fault, &weight_fault);
    if (pred_fault.found) {
        raise_index(pred_fault.index, w.pred.size);
        return layout_line::split_pred;
    }
    if (w.weight.scalar) {
        PyErr_SetString(PyExc_IndexError, scalar_index_message);
        return layout_line::split_weight;
    }
    if (weight_fault.found) {
        raise_index(weight_fault.index, num_weight);
        return layout_line::split_weight;
    }
    return 0;
}

// bnd_orig, then its sorted unique (pred_list) and inverse (bnd_src).
static int build_edges(layout_work& w) noexcept {
    const uint64_t num_edges = count_edges(w.ptr.data, w.bnd, w.num_bnd, max_layout_edges);
    if (num_edges > max_layout_edges) {
        PyErr_SetString(PyExc_ValueError, too_big_message);
        return layout_line::edges;
    }
    w.num_edges = static_cast<npy_intp>(num_edges);
    gather_fault fault = first_edge_fault(w.ptr.data, w.bnd, w.num_bnd, w.pred.size);
    if (fault.found) {
        raise_index(fault.index, w.pred.size);
        return layout_line::edge_orig;
    }
    uint32_t* orig = new_vector<uint32_t>(w.num_edges, NPY_UINT32, &w.bnd_orig);
    if (!orig)
        return layout_line::edge_orig;
    // uint32 casts wrap, as NumPy's unsafe astype does.
    uint32_t max_value = 0;
    gather_edges(w.ptr.data, w.bnd, w.num_bnd, w.pred.data, w.pred.size,
                 [&](npy_intp k, int64_t v) {
                     orig[k] = static_cast<uint32_t>(v);
                     max_value = std::max(max_value, orig[k]);
                 });

    uint32_t* src = new_vector<uint32_t>(w.num_edges, NPY_UINT32, &w.bnd_src);
    if (!src)
        return layout_line::unique;
    const npy_intp n = w.num_edges;
    // Predecessors are states, so the bitmap and rank table are normally a
    // few kilobytes; wrapped or absurd values fall back to sorting.
    const uint64_t num_values = n ? uint64_t{max_value} + 1 : 0;
    if (num_values <= 2 * (static_cast<uint64_t>(n) + std::max<npy_intp>(w.num_states, 0)) + 4096) {
        const npy_intp num_words = static_cast<npy_intp>((num_values + 63) / 64);
        py_ref bits_owner, rank_owner;
        uint64_t* bits = new_vector<uint64_t>(num_words, NPY_UINT64, &bits_owner);
        uint32_t* rank_of = bits ? new_vector<uint32_t>(static_cast<npy_intp>(num_values),
                                                        NPY_UINT32, &rank_owner)
                                 : nullptr;
        if (!rank_of)
            return layout_line::unique;
        std::memset(bits, 0, num_words * sizeof(uint64_t));
        uint32_t* sorted = new_vector<uint32_t>(mark_values(orig, n, bits), NPY_UINT32,
                                                &w.pred_list);
        if (!sorted)
            return layout_line::unique;
        rank_values(bits, num_words, sorted, rank_of);
        for (npy_intp k = 0; k < n; ++k)
            src[k] = rank_of[orig[k]];
        return 0;
    }
    // Sorting in place in bnd_src, which is overwritten by the ranks below.
    std::memcpy(src, orig, n * sizeof(uint32_t));
    std::sort(src, src + n);
    const npy_intp distinct = std::unique(src, src + n) - src;
    uint32_t* sorted = new_vector<uint32_t>(distinct, NPY_UINT32, &w.pred_list);
    if (!sorted)
        return layout_line::unique;
    std::memcpy(sorted, src, distinct * sizeof(uint32_t));
    for (npy_intp k = 0; k < n; ++k)
        src[k] = static_cast<uint32_t>(std::lower_bound(sorted, sorted + distinct, orig[k]) - sorted);
    return 0;
}

// Each entry is inserted as soon as it is made, in the layout's key order.
static int insert(layout_work& w, PyObject* key, py_ref& value) noexcept {
    return PyDict_SetItem(w.result.get(), key, value.get()) < 0 ? layout_line::dict : 0;
}

static int build_layout(PyObject* const* slots, layout_work& w) noexcept {
    if (!to_double(slots[4], &w.identity))
        return layout_line::arguments;
    if (!convert_input(slots[1], NPY_INT64, "ptr", &w.ptr))
        return layout_line::convert_ptr;
    if (!convert_input(slots[0], NPY_INT64, "pred", &w.pred))
        return layout_line::convert_pred;
    if (!convert_input(slots[2], NPY_DOUBLE, "weight", &w.weight))
        return layout_line::convert_weight;
    if (w.ptr.scalar) {
        PyErr_SetString(PyExc_IndexError, scalar_shape_message);
        return layout_line::num_states;
    }
    w.num_states = w.ptr.size - 1;
    if (int line = build_boundary(w))
        return line;
    if (int line = build_edges(w))
        return line;

    if (!convert_input(slots[3], NPY_INT64, "columns", &w.col))
        return layout_line::convert_columns;
    if (w.col.scalar) {
        PyErr_SetString(PyExc_ValueError, scalar_diff_message);
        return layout_line::change;
    }
    py_ref change_owner;
    int64_t* change = new_vector<int64_t>(w.col.size, NPY_INT64, &change_owner);
    if (!change)
        return layout_line::change;
    const npy_intp num_changes = find_changes(w.col.data, w.col.size, change);
    // Runs start at 0 and at every change, except that run 0 starts at 1:
    // state 0 belongs to no run.  They end at every change and at N.
    w.num_runs = num_changes + 1;
    w.run_lo_data = new_vector<int64_t>(w.num_runs, NPY_INT64, &w.run_lo);
    if (!w.run_lo_data)
        return layout_line::run_lo;
    w.run_lo_data[0] = 1;
    std::memcpy(w.run_lo_data + 1, change, num_changes * sizeof(int64_t));
    int64_t* run_hi = new_vector<int64_t>(w.num_runs, NPY_INT64, &w.run_hi);
    if (!run_hi)
        return layout_line::run_hi;
    std::memcpy(run_hi, change, num_changes * sizeof(int64_t));
    run_hi[num_changes] = w.num_states;

    const int64_t* ptr = w.ptr.data;
    const int64_t* bnd = w.bnd;
    const npy_intp num_bnd = w.num_bnd;
    w.result = py_ref::steal(PyDict_New());
    if (!w.result)
        return layout_line::dict;

    py_ref bnd_state;
    uint32_t* state = new_vector<uint32_t>(num_bnd, NPY_UINT32, &bnd_state);
    if (!state)
        return layout_line::dict;
    for (npy_intp i = 0; i < num_bnd; ++i)
        state[i] = static_cast<uint32_t>(bnd[i]);
    if (int line = insert(w, names.bnd_state, bnd_state))
        return line;
    if (int line = insert(w, names.pred_list, w.pred_list))
        return line;
    if (int line = insert(w, names.bnd_src, w.bnd_src))
        return line;
    if (int line = insert(w, names.bnd_orig, w.bnd_orig))
        return line;

    py_ref bnd_ptr;
    int64_t* offsets = new_vector<int64_t>(num_bnd + 1, NPY_INT64, &bnd_ptr);
    if (!offsets)
        return layout_line::bnd_ptr;
    // A running sum of the counts themselves, wrapping like NumPy's cumsum;
    // for a reversed row this differs from the edges actually gathered.
    uint64_t offset = 0;
    offsets[0] = 0;
    for (npy_intp i = 0; i < num_bnd; ++i) {
        offset += static_cast<uint64_t>(row_count(ptr, bnd[i]));
        offsets[i + 1] = static_cast<int64_t>(offset);
    }
    if (int line = insert(w, names.bnd_ptr, bnd_ptr))
        return line;

    gather_fault fault = first_edge_fault(ptr, bnd, num_bnd, w.weight.size);
    if (fault.found) {
        raise_index(fault.index, w.weight.size);
        return layout_line::bnd_weight;
    }
    py_ref bnd_weight;
    float* weights = new_vector<float>(w.num_edges, NPY_FLOAT32, &bnd_weight);
    if (!weights)
        return layout_line::bnd_weight;
    bool signals = false;
    gather_edges(ptr, bnd, num_bnd, w.weight.data, w.weight.size, [&](npy_intp k, double d) {
        weights[k] = static_cast<float>(d);
        signals |= narrowing_may_signal(d, weights[k]);
    });
    if (signals) {
        // Let NumPy's own cast decide: it warns or raises per np.errstate.
        py_ref gathered;
        double* values = new_vector<double>(w.num_edges, NPY_FLOAT64, &gathered);
        if (!values)
            return layout_line::bnd_weight;
        gather_edges(ptr, bnd, num_bnd, w.weight.data, w.weight.size,
                     [&](npy_intp k, double d) { values[k] = d; });
        bnd_weight = py_ref::steal(PyArray_CastToType(
            reinterpret_cast<PyArrayObject*>(gathered.get()), PyArray_DescrFromType(NPY_FLOAT32), 0));
        if (!bnd_weight)
            return layout_line::bnd_weight;
    }
    if (int line = insert(w, names.bnd_weight, bnd_weight))
        return line;

    const npy_intp num_cols = w.col.size;
    for (npy_intp i = 0; i < num_bnd; ++i) {
        if (bnd[i] >= num_cols) {
            raise_index(bnd[i], num_cols);
            return layout_line::bnd_dcol;
        }
    }
    py_ref bnd_dcol;
    uint32_t* dcol = new_vector<uint32_t>(num_bnd, NPY_UINT32, &bnd_dcol);
    if (!dcol)
        return layout_line::bnd_dcol;
    for (npy_intp i = 0; i < num_bnd; ++i)
        dcol[i] = static_cast<uint32_t>(w.col.data[bnd[i]]);
    if (int line = insert(w, names.bnd_dcol, bnd_dcol))
        return line;
    if (int line = insert(w, names.run_lo, w.run_lo))
        return line;
    if (int line = insert(w, names.run_hi, w.run_hi))
        return line;

    // The run starts always include state 0.
    if (num_cols == 0) {
        raise_index(0, 0);
        return layout_line::run_col;
    }
    py_ref run_col;
    uint32_t* cols = new_vector<uint32_t>(w.num_runs, NPY_UINT32, &run_col);
    if (!cols)
        return layout_line::run_col;
    cols[0] = static_cast<uint32_t>(w.col.data[0]);
    for (npy_intp r = 1; r < w.num_runs; ++r)
        cols[r] = static_cast<uint32_t>(w.col.data[w.run_lo_data[r]]);
    return insert(w, names.run_col, run_col);
}

static PyObject* split_layout_impl(PyObject*, PyObject* const* slots) noexcept {
    layout_work w;
    if (int line = build_layout(slots, w))
        return fail(split_layout_trace, line);
    return w.result.release();
}

// ---------------------------------------------------------------------------
// Tables

static PyObject** const split_layout_params[] = {&names.pred, &names.ptr, &names.weight,
                                                 &names.columns, &names.identity};

static const char* const split_layout_locals[] = {
    "ptr_np", "pred_np", "weight_np", "num_states", "counts", "ids",
    "is_det", "bnd", "glob", "bnd_orig", "pred_list", "bnd_src",
    "col_np", "change", "run_lo", "run_hi", "s"};

inline kernel_function_def split_layout_def = {
    .name = "_split_layout",
    .qualname = "_split_layout",
    .trace_name = split_layout_trace,
    .params = split_layout_params,
    .num_params = 5,
    .num_required = 5,
    .local_names = split_layout_locals,
    .num_locals = static_cast<int>(std::size(split_layout_locals)),
    .first_line = layout_line::arguments,
    .arg_error_line = layout_line::arguments,
    .doc = split_layout_doc,
    .is_method = false,
    .impl = split_layout_impl,
};

}  // namespace cadentia
