// viterbi.hpp: the offline Viterbi decoder, `decode`.
//
// The glue around viterbi_kernel.hpp: it converts the arguments, builds and
// checks the layout (layout_views.hpp), allocates the working arrays through
// NumPy, runs the recursion with the interpreter lock released in the widest
// form the CPU has, then picks the final state and backtracks.
#pragma once

#include "arguments.hpp"
#include "layout_views.hpp"
#include "viterbi_kernel.hpp"

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

constexpr const char* decode_name = "cadentia.model._kernels.decode";
constexpr int decode_line = 70;  // also the argument errors'
constexpr const char decode_columns_format[] =
    "compiled decoder supports at most %d observation columns";
constexpr const char empty_argmax_message[] = "attempt to get argmax of an empty sequence";
constexpr const char left_state_space_message[] = "backtracking left the state space";

constexpr layout_lines decode_layout_lines = {
    .bnd_state = 83, .pred_list = 85, .bnd_src = 87, .bnd_orig = 88, .bnd_ptr = 89,
    .bnd_weight = 90, .bnd_dcol = 91, .run_lo = 92, .run_hi = 93, .run_col = 95};

// ---------------------------------------------------------------------------
// decode

// The body of `decode`: 0 with the result in *result, or the traceback line
// of the failure.
static int decode_body(PyObject* const* slots, PyObject** result) noexcept {
    u32_view pred, ptr, columns;
    f32_view log_prob, log_initial;
    f32_view_2d log_dens;
    if (!convert(slots[0], pred) || !convert(slots[1], ptr) || !convert(slots[2], log_prob) ||
        !convert(slots[3], log_dens))
        return 70;
    if (!convert(slots[4], columns) || !convert(slots[5], log_initial))
        return 71;
    int32_t renorm_period = 1024;
    if (slots[6] && !to_int32(slots[6], &renorm_period))
        return 72;

    const int64_t num_states = ptr.extent(0) - 1;
    const int64_t num_frames = log_dens.extent(0);
    const int64_t num_cols = log_dens.extent(1);
    if (num_cols > max_columns) {
        PyErr_Format(PyExc_ValueError, decode_columns_format, max_columns);
        return 80;
    }

    layout_views layout;
    {
        py_ref lay = py_ref::steal(call_split_layout(pred, ptr, log_prob, columns, records.float_zero));
        if (!lay)
            return 82;
        if (int line = read_layout(lay.get(), decode_layout_lines, layout))
            return line;
    }

    const Py_ssize_t num_bnd = layout.bnd_state.extent(0);
    const Py_ssize_t num_pred = layout.pred_list.extent(0);
    f32_view pl, buf_a, buf_b;
    u8_view is_bnd;
    u32_view bnd_col;
    u32_view_2d bt;
    if (!allocate(pl, NPY_FLOAT32, {num_pred ? num_pred : 1}, false))
        return 96;
    if (!allocate(is_bnd, NPY_UINT8, {num_states}, true))
        return 97;
    if (!allocate(bnd_col, NPY_UINT32, {num_states}, true))
        return 98;
    if (!copy_vector(log_initial, buf_a))
        return 100;
    if (!allocate(buf_b, NPY_FLOAT32, {num_states}, false))
        return 101;
    if (!allocate(bt, NPY_UINT32, {num_frames, num_bnd ? num_bnd : 1}, false))
        return 105;

    // What the kernel will index, checked before it runs.
    if (!check_count("the number of states", num_states + 1) ||
        !check_count("the number of frames", num_frames) ||
        !check_count("the number of boundary edges", layout.bnd_src.extent(0)) ||
        (num_frames > 0 && !check_pred(pred, ptr, num_states)) ||
        !check_layout(layout, num_states, true, num_frames > 0, &layout.max_column))
        return 106;
    if (num_frames > 0) {
        if (buf_a.extent(0) != num_states) {
            raise_length("log_initial", buf_a.extent(0), "one per state", num_states);
            return 106;
        }
        if (layout.max_column >= num_cols) {
            PyErr_Format(PyExc_ValueError, reads_column_format,
                         static_cast<long long>(layout.max_column), "log_dens",
                         static_cast<long long>(num_cols), num_cols == 1 ? "" : "s");
            return 106;
        }
    }

    layout.num_states = static_cast<int32_t>(num_states);
    const layout_ref ref = layout.ref();
    boundary_maps(ref, is_bnd.data(), bnd_col.data());
    const kernel_form form = best_form();
    viterbi_workspace work;
    // Without frames the edges are not checked, and nothing reads them.
    if (num_frames > 0 && !work.prepare(ref, form)) {
        PyErr_NoMemory();
        return 106;
    }
    float* final_scores = buf_a.data();
    double offset = 0.0;
    const int64_t bt_stride = bt.extent(1);
    {
        gil_release unlocked;
        offset = viterbi_recursion(form, ref, log_dens.data(),
                                   static_cast<int32_t>(num_frames), static_cast<int32_t>(num_cols),
                                   renorm_period, buf_a.data(), buf_b.data(), pl.data(), bt.data(),
                                   bt_stride, &final_scores, work);
    }

    if (buf_a.extent(0) == 0) {
        PyErr_SetString(PyExc_ValueError, empty_argmax_message);
        return 150;
    }
    const int64_t state = first_argmax(final_scores, buf_a.extent(0));
    const float final_score = final_scores[state];
    const double log_probability = static_cast<double>(final_score) + offset;

    npy_intp path_len = num_frames;
    py_ref path = py_ref::steal(PyArray_EMPTY(1, &path_len, NPY_INT64, 0));
    if (!path)
        return 153;
    auto* path_data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(path.get())));
    if (!(final_score > minus_inf_f32)) {
        if (num_frames)
            std::memset(path_data, 0, static_cast<size_t>(num_frames) * sizeof(int64_t));
    } else if (!viterbi_backtrack(is_bnd.data(), bnd_col.data(), bt.data(), bt_stride, num_states,
                                  num_frames, state, path_data)) {
        PyErr_SetString(PyExc_RuntimeError, left_state_space_message);
        return 161;
    }
    py_ref score = py_ref::steal(PyFloat_FromDouble(log_probability));
    *result = score ? PyTuple_Pack(2, path.get(), score.get()) : nullptr;
    return *result ? 0 : 166;
}

static PyObject* decode_impl(PyObject*, PyObject* const* slots) noexcept {
    PyObject* result = nullptr;
    if (int line = decode_body(slots, &result))
        return fail(decode_name, line);
    return result;
}

// ---------------------------------------------------------------------------
// Tables

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

inline kernel_function_def decode_def = {
    .name = "decode",
    .qualname = "decode",
    .trace_name = decode_name,
    .params = decode_params,
    .num_params = 7,
    .num_required = 6,
    .local_names = decode_locals,
    .num_locals = static_cast<int>(std::size(decode_locals)),
    .first_line = decode_line,
    .arg_error_line = decode_line,
    .doc = nullptr,
    .is_method = false,
    .impl = decode_impl,
};

}  // namespace cadentia
