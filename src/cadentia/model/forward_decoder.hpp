// forward_decoder.hpp: the streaming forward (filtering) decoder.
//
// A ForwardDecoder is built once per state space: construction computes the
// layout with identity weight 1.0 and allocates every buffer the recursion
// needs, so that a `step` allocates nothing but its result.  The belief, a
// float32 distribution over states, lives in the object and carries over
// from one chunk to the next; a stream pushed in chunks of any size gives
// the same per-frame states as one call over all frames.
//
// The glue around forward_kernel.hpp: construction, step and reset, and the
// type record.
#pragma once

#include "arguments.hpp"
#include "forward_kernel.hpp"
#include "layout_views.hpp"

#include <new>

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

struct forward_decoder_object {
    PyObject_HEAD
    layout_views layout;  // checked at construction; the kernel's record
    f32_view pl;
    f32_view belief;
    f32_view spare;
    f32_view initial;
    bool busy;  // a step is running with the lock released
    // Construction completed.  A subclass's __del__ can keep an object whose
    // construction failed, with its buffers missing.
    bool ready;
    forward_workspace work;  // the boundary sums' weights and scratch
};

constexpr const char* cinit_name = "cadentia.model._kernels.ForwardDecoder.__cinit__";
constexpr const char* step_name = "cadentia.model._kernels.ForwardDecoder.step";
constexpr const char* reset_name = "cadentia.model._kernels.ForwardDecoder.reset";
constexpr const char* reduce_name = "cadentia.model._kernels.ForwardDecoder.__reduce__";
constexpr const char* setstate_name = "cadentia.model._kernels.ForwardDecoder.__setstate__";
constexpr int cinit_line = 189;  // also the argument errors'
constexpr int reset_line = 214;
constexpr int step_line = 220;

constexpr layout_lines forward_layout_lines = {
    .bnd_state = 196, .pred_list = 198, .bnd_src = 200, .bnd_orig = 0, .bnd_ptr = 201,
    .bnd_weight = 202, .bnd_dcol = 203, .run_lo = 204, .run_hi = 205, .run_col = 207};

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

// ---------------------------------------------------------------------------
// Construction

static PyObject** const cinit_params[] = {&names.pred, &names.ptr, &names.prob, &names.columns,
                                          &names.initial};

// Construction takes its arguments as a tuple and a dictionary, so it only
// borrows the matcher; it has no function object of its own.
inline kernel_function_def forward_decoder_cinit_def = {
    .name = "__cinit__",
    .qualname = "ForwardDecoder.__cinit__",
    .trace_name = cinit_name,
    .params = cinit_params,
    .num_params = 5,
    .num_required = 5,
    .local_names = nullptr,
    .num_locals = 0,
    .first_line = cinit_line,
    .arg_error_line = cinit_line,
    .doc = nullptr,
    .is_method = false,
    .impl = nullptr,
};

constexpr const char column_limit_format[] =
    "observation column %lld is out of range: a decoder reads at most %d columns";

// The body of construction: 0, or the traceback line of the failure.
static int forward_decoder_cinit(forward_decoder_object* fd, PyObject* args,
                                 PyObject* kwargs) noexcept {
    PyObject* slots[max_parameters] = {};
    if (!match_arguments(forward_decoder_cinit_def, args, kwargs, slots))
        return 189;
    u32_view pred, ptr, columns;
    f32_view prob, initial;
    if (!convert(slots[0], pred) || !convert(slots[1], ptr))
        return 189;
    if (!convert(slots[2], prob) || !convert(slots[3], columns))
        return 190;
    if (!convert(slots[4], initial))
        return 191;
    const int64_t num_states = ptr.extent(0) - 1;
    layout_views& layout = fd->layout;
    layout.num_states = static_cast<int32_t>(num_states);
    {
        py_ref lay = py_ref::steal(call_split_layout(pred, ptr, prob, columns, records.float_one));
        if (!lay)
            return 195;
        if (int line = read_layout(lay.get(), forward_layout_lines, layout))
            return line;
    }

    const Py_ssize_t num_pred = layout.pred_list.extent(0);
    if (!allocate(fd->pl, NPY_FLOAT32, {num_pred ? num_pred : 1}, false))
        return 208;
    if (!copy_vector(initial, fd->initial))
        return 210;
    if (!copy_vector(initial, fd->belief))
        return 211;
    if (!allocate(fd->spare, NPY_FLOAT32, {num_states}, false))
        return 212;

    // What the recursion and reset will index, checked once here.
    if (!check_count("the number of states", num_states + 1) ||
        !check_count("the number of boundary edges", layout.bnd_src.extent(0)) ||
        !check_pred(pred, ptr, num_states) ||
        !check_layout(layout, num_states, false, true, &layout.max_column))
        return 213;
    if (fd->initial.extent(0) != num_states) {
        raise_length("initial", fd->initial.extent(0), "one per state", num_states);
        return 213;
    }
    layout.sources_consecutive = sources_consecutive(layout.ref()) ? 1 : 0;
    if (layout.max_column >= max_columns) {
        PyErr_Format(PyExc_ValueError, column_limit_format,
                     static_cast<long long>(layout.max_column), max_columns);
        return 213;
    }
    if (!fd->work.prepare(layout.ref())) {
        PyErr_NoMemory();
        return 213;
    }
    fd->ready = true;
    return 0;
}

static PyObject* forward_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    // A half-built object is released at once: its members are set up empty
    // first, so destruction is safe from any point of construction.
    py_ref self = py_ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    forward_decoder_object* fd = as_decoder(self.get());
    new (&fd->layout) layout_views();
    for (f32_view* v : {&fd->pl, &fd->belief, &fd->spare, &fd->initial})
        new (v) f32_view();
    fd->busy = false;
    fd->ready = false;
    new (&fd->work) forward_workspace();
    if (int line = forward_decoder_cinit(fd, args, kwargs))
        return fail(cinit_name, line);
    return self.release();
}

static void forward_decoder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_finalize && type->tp_dealloc == forward_decoder_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
    }
    forward_decoder_object* fd = as_decoder(self);
    fd->layout.~layout_views();
    for (f32_view* v : {&fd->pl, &fd->belief, &fd->spare, &fd->initial})
        v->~f32_view();
    fd->work.~forward_workspace();
    type->tp_free(self);
}

// ---------------------------------------------------------------------------
// step and reset

constexpr const char busy_message[] =
    "ForwardDecoder is in use by another thread; step and reset must not run concurrently";
constexpr const char not_ready_message[] =
    "this ForwardDecoder cannot be used: its construction failed";

// Whether the decoder can run now; RuntimeError when not.
static bool usable(const forward_decoder_object* fd) noexcept {
    if (!fd->ready) {
        PyErr_SetString(PyExc_RuntimeError, not_ready_message);
        return false;
    }
    if (fd->busy) {
        PyErr_SetString(PyExc_RuntimeError, busy_message);
        return false;
    }
    return true;
}

constexpr const char step_columns_format[] =
    "forward decoder supports at most %d observation columns";

static int forward_decoder_step_body(forward_decoder_object* fd, PyObject* const* slots,
                                     PyObject** result) noexcept {
    f32_view_2d dens;
    if (!convert(slots[0], dens))
        return 220;
    const int64_t num_frames = dens.extent(0);
    const int64_t num_cols = dens.extent(1);
    const int64_t max_column = fd->layout.max_column;
    if (num_cols > max_columns) {
        PyErr_Format(PyExc_ValueError, step_columns_format, max_columns);
        return 226;
    }
    if (!fd->ready) {
        PyErr_SetString(PyExc_RuntimeError, not_ready_message);
        return 226;
    }
    if (num_frames > 0 && max_column >= num_cols) {
        PyErr_Format(PyExc_ValueError, reads_column_format, static_cast<long long>(max_column),
                     "dens", static_cast<long long>(num_cols), num_cols == 1 ? "" : "s");
        return 226;
    }
    if (!check_count("the number of frames", num_frames) || !usable(fd))
        return 226;
    npy_intp out_len = num_frames;
    py_ref out = py_ref::steal(PyArray_EMPTY(1, &out_len, NPY_UINT32, 0));
    if (!out)
        return 227;
    auto* out_data = static_cast<uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));

    const layout_ref lay = fd->layout.ref();
    float* a = fd->belief.data();
    float* newest;
    fd->busy = true;
    {
        gil_release unlocked;
        newest = forward_recursion(best_form(), lay, dens.data(), static_cast<int32_t>(num_frames),
                                   static_cast<int32_t>(num_cols), a, fd->spare.data(),
                                   fd->pl.data(), out_data, fd->work);
    }
    fd->busy = false;
    if (newest != a)
        fd->belief.swap(fd->spare);
    *result = out.release();
    return 0;
}

static PyObject* forward_decoder_step_impl(PyObject* self, PyObject* const* slots) noexcept {
    PyObject* result = nullptr;
    if (int line = forward_decoder_step_body(as_decoder(self), slots, &result))
        return fail(step_name, line);
    return result;
}

// Adds no traceback entry: reset's failures are reported as they are.
static PyObject* forward_decoder_reset_impl(PyObject* self, PyObject* const*) noexcept {
    forward_decoder_object* fd = as_decoder(self);
    if (!usable(fd))
        return nullptr;
    const int32_t num_states = fd->layout.num_states;
    if (num_states > 0)
        std::memcpy(fd->belief.data(), fd->initial.data(),
                    static_cast<size_t>(num_states) * sizeof(float));
    Py_RETURN_NONE;
}

constexpr const char pickling_refusal_message[] = "no default __reduce__ due to non-trivial __cinit__";

// Instances hold private buffers that a pickle could not rebuild.
[[gnu::cold]] static PyObject* refuse_pickling(const char* where, int line) noexcept {
    PyErr_SetString(PyExc_TypeError, pickling_refusal_message);
    return fail(where, line);
}

static PyObject* forward_decoder_reduce_impl(PyObject*, PyObject* const*) noexcept {
    return refuse_pickling(reduce_name, 2);
}

static PyObject* forward_decoder_setstate_impl(PyObject*, PyObject* const*) noexcept {
    return refuse_pickling(setstate_name, 4);
}

// ---------------------------------------------------------------------------
// Tables

static PyObject** const no_params[] = {nullptr};
static PyObject** const step_params[] = {&names.dens};
static PyObject** const setstate_params[] = {&names.state};
static const char* const reset_locals[] = {"s"};
static const char* const step_locals[] = {
    "num_frames", "num_cols", "out", "a",  "b", "pl", "tmp",    "d",   "frame", "j",       "k",   "s",
    "p",          "c",        "r",   "lo", "hi", "best_s", "acc", "dval",  "ssum", "inv_sum", "best"};

inline PyTypeObject forward_decoder_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "cadentia.model._kernels.ForwardDecoder",
    .tp_basicsize = sizeof(forward_decoder_object),
    .tp_itemsize = 0,
    .tp_dealloc = forward_decoder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = forward_decoder_doc,
    .tp_new = forward_decoder_new,
};

inline kernel_function_def forward_decoder_reset_def = {
    .name = "reset",
    .qualname = "ForwardDecoder.reset",
    .trace_name = reset_name,
    .params = no_params,
    .num_params = 0,
    .num_required = 0,
    .local_names = reset_locals,
    .num_locals = static_cast<int>(std::size(reset_locals)),
    .first_line = reset_line,
    .arg_error_line = 0,
    .doc = "Restore the belief to the initial distribution.",
    .is_method = true,
    .impl = forward_decoder_reset_impl,
    .self_type = &forward_decoder_type,
};

inline kernel_function_def forward_decoder_step_def = {
    .name = "step",
    .qualname = "ForwardDecoder.step",
    .trace_name = step_name,
    .params = step_params,
    .num_params = 1,
    .num_required = 1,
    .local_names = step_locals,
    .num_locals = static_cast<int>(std::size(step_locals)),
    .first_line = step_line,
    .arg_error_line = step_line,
    .doc = "Advance over a chunk of linear densities ``(T, C)``; return the\n"
           "        per-frame argmax state ``(T,)``. Updates the persistent belief.",
    .is_method = true,
    .impl = forward_decoder_step_impl,
    .self_type = &forward_decoder_type,
};

inline kernel_function_def forward_decoder_reduce_def = {
    .name = "__reduce__",
    .qualname = "ForwardDecoder.__reduce__",
    .trace_name = reduce_name,
    .params = no_params,
    .num_params = 0,
    .num_required = 0,
    .local_names = nullptr,
    .num_locals = 0,
    .first_line = 1,
    .arg_error_line = 0,
    .doc = nullptr,
    .is_method = true,
    .impl = forward_decoder_reduce_impl,
    .self_type = &forward_decoder_type,
};

inline kernel_function_def forward_decoder_setstate_def = {
    .name = "__setstate__",
    .qualname = "ForwardDecoder.__setstate__",
    .trace_name = setstate_name,
    .params = setstate_params,
    .num_params = 1,
    .num_required = 1,
    .local_names = nullptr,
    .num_locals = 0,
    .first_line = 3,
    .arg_error_line = 4,
    .doc = nullptr,
    .is_method = true,
    .impl = forward_decoder_setstate_impl,
    .self_type = &forward_decoder_type,
};

}  // namespace cadentia
