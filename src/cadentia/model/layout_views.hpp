// layout_views.hpp: the layout as both decoders take it from `_split_layout`.
//
// Both decoders call `_split_layout` through the module namespace (a caller
// may replace it), read the ten arrays back as views of private copies, and
// check every index the kernels will follow, so that no layout, however it
// was made, can move a kernel outside its buffers.  `decoder_layout` holds
// the result; its `ref()` is the plain record the kernels read.  The
// working-array helpers both decoders allocate with live here too.
#pragma once

#include "array_view.hpp"
#include "kernel_layout.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

constexpr const char reads_column_format[] =
    "the model reads observation column %lld but %s has %lld column%s";

constexpr const char out_of_range_format[] = "%s[%zd] = %lld is out of range: %s is %lld";

// An index of the model that would send a kernel outside its buffers.
[[gnu::cold, gnu::noinline]] static bool raise_out_of_range(const char* array, Py_ssize_t position,
                                                          long long value, const char* bound_name,
                                                          long long bound) noexcept {
    PyErr_Format(PyExc_ValueError, out_of_range_format, array, position, value, bound_name, bound);
    return false;
}

constexpr const char length_format[] = "%s has %zd entries, expected %lld (%s)";

[[gnu::cold, gnu::noinline]] static bool raise_length(const char* array, Py_ssize_t length,
                                                    const char* expected_name,
                                                    long long expected) noexcept {
    PyErr_Format(PyExc_ValueError, length_format, array, length, expected, expected_name);
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

// The layout arrays, as views that keep them alive, and what the checks
// found out about them.
struct layout_views {
    u32_view bnd_state, pred_list, bnd_src, bnd_orig, bnd_dcol, run_col;
    i64_view bnd_ptr, run_lo, run_hi;
    f32_view bnd_weight;
    int32_t num_states = 0;
    int64_t max_column = -1;  // the largest observation column the model reads, or -1
    int8_t sources_consecutive = -1;

    layout_ref ref() const noexcept {
        return {bnd_state.data(),  pred_list.data(),
                bnd_src.data(),    bnd_orig.data(),
                bnd_ptr.data(),    bnd_weight.data(),
                bnd_dcol.data(),   run_lo.data(),
                run_hi.data(),     run_col.data(),
                num_states,        static_cast<int32_t>(bnd_state.extent(0)),
                static_cast<int32_t>(pred_list.extent(0)),
                static_cast<int32_t>(run_lo.extent(0)),
                sources_consecutive};
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

// The traceback line each decoder reports for a layout entry it cannot
// read, in key order; 0 for an entry it does not read.
struct layout_lines {
    int bnd_state, pred_list, bnd_src, bnd_orig, bnd_ptr, bnd_weight, bnd_dcol, run_lo, run_hi,
        run_col;
};

// Reads the entries of the layout `lay` into `out`, in key order: 0, or
// the line of the entry that failed.
static int read_layout(PyObject* lay, const layout_lines& lines, layout_views& out) noexcept {
    if (!read_layout_entry(lay, names.bnd_state, out.bnd_state))
        return lines.bnd_state;
    if (!read_layout_entry(lay, names.pred_list, out.pred_list))
        return lines.pred_list;
    if (!read_layout_entry(lay, names.bnd_src, out.bnd_src))
        return lines.bnd_src;
    if (lines.bnd_orig && !read_layout_entry(lay, names.bnd_orig, out.bnd_orig))
        return lines.bnd_orig;
    if (!read_layout_entry(lay, names.bnd_ptr, out.bnd_ptr))
        return lines.bnd_ptr;
    if (!read_layout_entry(lay, names.bnd_weight, out.bnd_weight))
        return lines.bnd_weight;
    if (!read_layout_entry(lay, names.bnd_dcol, out.bnd_dcol))
        return lines.bnd_dcol;
    if (!read_layout_entry(lay, names.run_lo, out.run_lo))
        return lines.run_lo;
    if (!read_layout_entry(lay, names.run_hi, out.run_hi))
        return lines.run_hi;
    if (!read_layout_entry(lay, names.run_col, out.run_col))
        return lines.run_col;
    return 0;
}

constexpr const char state_zero_message[] = "bnd_state must list state 0 first";
constexpr const char orig_differs_format[] = "bnd_orig[%zd] = %lu differs from its pred_list entry %lu";
constexpr const char runs_cover_format[] = "the runs cover states 1 to %lld only, of %lld states";

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
        PyErr_SetString(PyExc_ValueError, state_zero_message);
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
            PyErr_Format(PyExc_ValueError, orig_differs_format, k, static_cast<unsigned long>(orig),
                         static_cast<unsigned long>(gathered));
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
        PyErr_Format(PyExc_ValueError, runs_cover_format, static_cast<long long>(next - 1),
                     static_cast<long long>(num_states));
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

constexpr const char count_format[] = "%s (%lld) exceeds the supported maximum of %d";

// Counts the recursions hold in 32 bits.
static bool check_count(const char* what, int64_t value) noexcept {
    if (value > std::numeric_limits<int32_t>::max()) {
        PyErr_Format(PyExc_ValueError, count_format, what, static_cast<long long>(value),
                     std::numeric_limits<int32_t>::max());
        return false;
    }
    return true;
}

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

}  // namespace cadentia
