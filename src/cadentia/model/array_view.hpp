// array_view.hpp: typed views over the memory of the arrays the kernels work
// on, and their export back to Python code.
//
// Every array a kernel touches (caller's arguments, layout arrays, working
// arrays) reaches it as an `array_view<T, Dims>`: a data address and extents
// over memory that the exporter still owns.  The kernels index views as dense
// row-major arrays without looking at strides, so conversion guarantees that:
// one buffer request per object, asking the exporter for a writable,
// C-contiguous buffer with a format string, followed by a fixed sequence of
// tests (rank, format, item size, strides) that each refuse with one exact
// message.  What the exporter refuses (read-only or non-contiguous NumPy
// arrays, objects without buffers) is the exporter's own error, passed on
// unchanged.
//
// A successful request becomes one heap `buffer_hold`, shared by every view
// copied from it and by every exported object made from those views.  Its
// count is atomic because views are copied and dropped inside kernels that
// run without the interpreter lock; whoever drops the last hold gives the
// buffer back, taking the lock for that moment if it has to.  The hold is
// allocated before the request and never moves, since exporters may point
// the buffer's shape or strides into the Py_buffer itself.
//
// Exported views are objects of one small type that share the hold and
// re-export the original shape, strides and format.  Converting such an
// object back to a view of the same element type shares its hold directly.
#pragma once

#include "base.hpp"
#include "buffer_format.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

constexpr int max_view_dims = 2;

// Exactly the request the kernels need: NumPy then refuses read-only and
// non-contiguous arrays itself, with its own messages.
constexpr int view_request_flags = PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

struct buffer_hold {
    Py_buffer buffer;  // stays in place: exporters may point into it
    std::atomic<Py_ssize_t> count{1};
    // Extents and strides as exported again; strides derived row-major when
    // the exporter gave none.
    int ndim = 0;
    Py_ssize_t shape[max_view_dims] = {};
    Py_ssize_t strides[max_view_dims] = {};
};

template <class T> struct element_traits;

struct export_object {
    PyObject_HEAD
    buffer_hold* hold;
    const element_ops* ops;
};

extern PyTypeObject array_view_type;

// ---------------------------------------------------------------------------
// Holds

static inline void hold_acquire(buffer_hold* h) noexcept {
    h->count.fetch_add(1, std::memory_order_relaxed);
}

static void hold_drop(buffer_hold* h) noexcept {
    if (h->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // Kernels drop views without the interpreter lock; giving the buffer
    // back calls into the exporter and needs it.
    if (PyGILState_Check()) {
        PyBuffer_Release(&h->buffer);
    } else {
        PyGILState_STATE state = PyGILState_Ensure();
        PyBuffer_Release(&h->buffer);
        PyGILState_Release(state);
    }
    delete h;
}

// ---------------------------------------------------------------------------
// Views

template <class T, int Dims>
class array_view {
    static_assert(Dims >= 1 && Dims <= max_view_dims);

public:
    array_view() noexcept = default;
    array_view(const array_view& o) noexcept : hold_(o.hold_), data_(o.data_) {
        for (int d = 0; d < Dims; ++d) extents_[d] = o.extents_[d];
        if (hold_) hold_acquire(hold_);
    }
    array_view(array_view&& o) noexcept { swap(o); }
    array_view& operator=(const array_view& o) noexcept {
        array_view(o).swap(*this);
        return *this;
    }
    array_view& operator=(array_view&& o) noexcept {
        array_view(std::move(o)).swap(*this);
        return *this;
    }
    ~array_view() { release(); }

    T* data() const noexcept { return data_; }
    Py_ssize_t extent(int d) const noexcept { return extents_[d]; }
    Py_ssize_t size() const noexcept {
        Py_ssize_t n = 1;
        for (int d = 0; d < Dims; ++d) n *= extents_[d];
        return n;
    }
    bool absent() const noexcept { return hold_ == nullptr; }

    void release() noexcept {
        if (buffer_hold* h = std::exchange(hold_, nullptr)) hold_drop(h);
        data_ = nullptr;
        for (int d = 0; d < Dims; ++d) extents_[d] = 0;
    }
    void swap(array_view& o) noexcept {
        std::swap(hold_, o.hold_);
        std::swap(data_, o.data_);
        for (int d = 0; d < Dims; ++d) std::swap(extents_[d], o.extents_[d]);
    }

    buffer_hold* hold() const noexcept { return hold_; }

    // Takes over one hold already counted for this view.
    void adopt(buffer_hold* h) noexcept {
        release();
        hold_ = h;
        data_ = static_cast<T*>(h->buffer.buf);
        for (int d = 0; d < Dims; ++d) extents_[d] = h->shape[d];
    }

private:
    buffer_hold* hold_ = nullptr;
    T* data_ = nullptr;
    Py_ssize_t extents_[Dims] = {};
};

using u32_view = array_view<uint32_t, 1>;
using u32_view_2d = array_view<uint32_t, 2>;
using f32_view = array_view<float, 1>;
using f32_view_2d = array_view<float, 2>;
using i64_view = array_view<int64_t, 1>;
using u8_view = array_view<uint8_t, 1>;

// ---------------------------------------------------------------------------
// Element access for exported views

constexpr const char* msg_negative_to_uint = "can't convert negative value to npy_uint%d";
constexpr const char* msg_too_large_for_uint = "value too large to convert to npy_uint%d";

template <class U>
static int store_unsigned(void* p, PyObject* value) noexcept {
    constexpr int bits = 8 * sizeof(U);
    py_ref index = py_ref::steal(PyNumber_Index(value));
    if (!index) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) return -1;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_Format(PyExc_OverflowError, msg_negative_to_uint, bits);
        return -1;
    }
    if (overflow > 0 || static_cast<unsigned long long>(v) > static_cast<unsigned long long>(U(-1))) {
        PyErr_Format(PyExc_OverflowError, msg_too_large_for_uint, bits);
        return -1;
    }
    U u = static_cast<U>(v);
    std::memcpy(p, &u, sizeof u);
    return 0;
}

template <> struct element_traits<uint32_t> {
    static PyObject* get(const void* p) noexcept {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return PyLong_FromUnsignedLong(v);
    }
    static constexpr element_ops ops = {"uint32_t", element_kind::unsigned_int, 4, get,
                                        store_unsigned<uint32_t>};
};

template <> struct element_traits<uint8_t> {
    static PyObject* get(const void* p) noexcept {
        return PyLong_FromLong(*static_cast<const uint8_t*>(p));
    }
    static constexpr element_ops ops = {"uint8_t", element_kind::unsigned_int, 1, get,
                                        store_unsigned<uint8_t>};
};

template <> struct element_traits<int64_t> {
    static PyObject* get(const void* p) noexcept {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return PyLong_FromLongLong(v);
    }
    static int set(void* p, PyObject* value) noexcept {
        py_ref index = py_ref::steal(PyNumber_Index(value));
        if (!index) return -1;
        long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) return -1;
        int64_t w = v;
        std::memcpy(p, &w, sizeof w);
        return 0;
    }
    static constexpr element_ops ops = {"int64_t", element_kind::signed_int, 8, get, set};
};

template <> struct element_traits<float> {
    static PyObject* get(const void* p) noexcept {
        float v;
        std::memcpy(&v, p, sizeof v);
        return PyFloat_FromDouble(v);
    }
    static int set(void* p, PyObject* value) noexcept {
        double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return -1;
        float f = static_cast<float>(v);
        std::memcpy(p, &f, sizeof f);
        return 0;
    }
    static constexpr element_ops ops = {"float", element_kind::real, 4, get, set};
};

// ---------------------------------------------------------------------------
// Shape and stride tests

constexpr const char* msg_wrong_dims = "Buffer has wrong number of dimensions (expected %d, got %d)";

[[gnu::cold, gnu::noinline]] static bool wrong_dims(int expected, int got) noexcept {
    PyErr_Format(PyExc_ValueError, msg_wrong_dims, expected, got);
    return false;
}

constexpr const char* msg_item_size =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";

[[gnu::cold, gnu::noinline]] static bool wrong_item_size(Py_ssize_t got, const element_ops& want) noexcept {
    PyErr_Format(PyExc_ValueError, msg_item_size, static_cast<size_t>(got), got > 1 ? "s" : "",
                 want.name, want.size, want.size > 1 ? "s" : "");
    return false;
}

constexpr const char* msg_indirect_dim = "Buffer not compatible with direct access in dimension %d.";

[[gnu::cold, gnu::noinline]] static bool indirect_dim(int d) noexcept {
    PyErr_Format(PyExc_ValueError, msg_indirect_dim, d);
    return false;
}

static Py_ssize_t buffer_extent(const Py_buffer& b, int d) noexcept {
    return b.shape ? b.shape[d] : b.len / b.itemsize;  // no shape: one dimension
}

constexpr const char* msg_not_contiguous_dim =
    "Buffer and memoryview are not contiguous in the same dimension.";
constexpr const char* msg_suboffsets_no_strides = "Buffer exposes suboffsets but no strides";
constexpr const char* msg_not_c_contiguous = "Buffer not C contiguous.";
constexpr const char* msg_no_shape = "Buffer exposes no shape";

// Rank, format (new buffers only), item size and layout, in that order.
static bool check_buffer(const Py_buffer& b, int dims, const element_ops& want,
                         bool test_format) noexcept {
    if (b.ndim != dims) return wrong_dims(dims, b.ndim);
    if (test_format && !format_test(b.format, want)) return false;
    if (b.itemsize != static_cast<Py_ssize_t>(want.size)) return wrong_item_size(b.itemsize, want);
    if (!b.shape && b.ndim > 1) return format_error(msg_no_shape);
    if (b.len <= 0) return true;  // empty: any strides will do
    for (int d = 0; d < dims; ++d) {
        Py_ssize_t extent = buffer_extent(b, d);
        if (extent > 1) {
            if (b.strides) {
                if (d == dims - 1) {
                    if (b.strides[d] != b.itemsize) return format_error(msg_not_contiguous_dim);
                } else if (d == 0 && dims == 2) {
                    Py_ssize_t s = b.strides[d] < 0 ? -b.strides[d] : b.strides[d];
                    if (s < b.itemsize) return format_error(msg_not_contiguous_dim);
                }
            } else if (b.suboffsets) {
                return format_error(msg_suboffsets_no_strides);
            }
        }
        if (b.suboffsets && b.suboffsets[d] >= 0) return indirect_dim(d);
    }
    if (b.strides) {
        Py_ssize_t expected = b.itemsize;
        for (int d = dims - 1; d >= 0; --d) {
            Py_ssize_t extent = buffer_extent(b, d);
            if (extent > 1 && b.strides[d] != expected) return format_error(msg_not_c_contiguous);
            expected = saturating_mul(expected, extent);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Conversion

template <class T, int Dims>
static bool convert(PyObject* obj, array_view<T, Dims>& out) noexcept {
    const element_ops& want = element_traits<T>::ops;
    if (obj == Py_None) {
        out.release();
        return true;
    }
    // An exported view of the same element type: share its hold.
    if (Py_TYPE(obj) == &array_view_type) {
        auto* e = reinterpret_cast<export_object*>(obj);
        if (e->ops == &want) {
            if (!check_buffer(e->hold->buffer, Dims, want, false)) return false;
            hold_acquire(e->hold);
            out.adopt(e->hold);
            return true;
        }
    }
    auto* h = new (std::nothrow) buffer_hold;
    if (!h) {
        PyErr_NoMemory();
        return false;
    }
    if (PyObject_GetBuffer(obj, &h->buffer, view_request_flags) < 0) {
        delete h;
        return false;
    }
    if (!check_buffer(h->buffer, Dims, want, true)) {
        hold_drop(h);  // the refused buffer goes back before the error propagates
        return false;
    }
    h->ndim = Dims;
    for (int d = 0; d < Dims; ++d) h->shape[d] = buffer_extent(h->buffer, d);
    if (h->buffer.strides) {
        for (int d = 0; d < Dims; ++d) h->strides[d] = h->buffer.strides[d];
    } else {
        Py_ssize_t stride = h->buffer.itemsize;
        for (int d = Dims - 1; d >= 0; --d) {
            h->strides[d] = stride;
            stride *= h->shape[d];
        }
    }
    out.adopt(h);
    return true;
}

// ---------------------------------------------------------------------------
// Export

template <class T, int Dims>
static PyObject* export_view(const array_view<T, Dims>& v) noexcept {
    if (v.absent()) return Py_NewRef(Py_None);
    auto* e = PyObject_New(export_object, &array_view_type);
    if (!e) return nullptr;
    hold_acquire(v.hold());
    e->hold = v.hold();
    e->ops = &element_traits<T>::ops;
    return reinterpret_cast<PyObject*>(e);
}

static void array_view_dealloc(PyObject* self) noexcept {
    auto* e = reinterpret_cast<export_object*>(self);
    hold_drop(e->hold);
    Py_TYPE(self)->tp_free(self);
}

constexpr const char* msg_not_fortran = "array view is not Fortran contiguous";

static int array_view_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* e = reinterpret_cast<export_object*>(self);
    const buffer_hold& h = *e->hold;
    // The data is C-contiguous; it is Fortran-contiguous too when at most
    // one dimension has an extent above 1.
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && h.buffer.len > 0) {
        int wide = 0;
        for (int d = 0; d < h.ndim; ++d) wide += h.shape[d] > 1;
        if (wide > 1) {
            PyErr_SetString(PyExc_BufferError, msg_not_fortran);
            return -1;
        }
    }
    view->buf = h.buffer.buf;
    view->obj = Py_NewRef(self);
    view->len = h.buffer.len;
    view->itemsize = h.buffer.itemsize;
    view->readonly = 0;  // the held buffer was requested writable
    view->ndim = h.ndim;
    view->format = (flags & PyBUF_FORMAT) ? (h.buffer.format ? h.buffer.format : const_cast<char*>("B"))
                                          : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? const_cast<Py_ssize_t*>(h.shape) : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(h.strides)
                                                             : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

static Py_ssize_t array_view_length(PyObject* self) noexcept {
    return reinterpret_cast<export_object*>(self)->hold->shape[0];
}

constexpr const char* msg_bad_index = "Invalid index to array view of %d dimension(s): '%.200s'";
constexpr const char* msg_out_of_bounds = "Out of bounds on buffer access (axis %d)";
constexpr const char* msg_delete_element = "Cannot delete array view elements";

// The element addressed by `key`: an int for one dimension, a tuple of one
// int per dimension; negative indices count from the end.
static char* array_view_element(export_object* e, PyObject* key) noexcept {
    const buffer_hold& h = *e->hold;
    PyObject* single[1] = {key};
    PyObject* const* parts = single;
    Py_ssize_t nparts = 1;
    if (PyTuple_Check(key)) {
        parts = &PyTuple_GET_ITEM(key, 0);
        nparts = PyTuple_GET_SIZE(key);
    }
    if (nparts != h.ndim) {
        PyErr_Format(PyExc_TypeError, msg_bad_index, h.ndim, Py_TYPE(key)->tp_name);
        return nullptr;
    }
    Py_ssize_t flat = 0;
    for (int d = 0; d < h.ndim; ++d) {
        if (!PyIndex_Check(parts[d])) {
            PyErr_Format(PyExc_TypeError, msg_bad_index, h.ndim, Py_TYPE(parts[d])->tp_name);
            return nullptr;
        }
        Py_ssize_t i = PyNumber_AsSsize_t(parts[d], PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += h.shape[d];
        if (i < 0 || i >= h.shape[d]) {
            PyErr_Format(PyExc_IndexError, msg_out_of_bounds, d);
            return nullptr;
        }
        flat = flat * h.shape[d] + i;  // dense row-major
    }
    return static_cast<char*>(h.buffer.buf) + flat * h.buffer.itemsize;
}

static PyObject* array_view_subscript(PyObject* self, PyObject* key) noexcept {
    auto* e = reinterpret_cast<export_object*>(self);
    char* p = array_view_element(e, key);
    return p ? e->ops->get(p) : nullptr;
}

static int array_view_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    auto* e = reinterpret_cast<export_object*>(self);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, msg_delete_element);
        return -1;
    }
    char* p = array_view_element(e, key);
    return p ? e->ops->set(p, value) : -1;
}

// ---------------------------------------------------------------------------
// Tables

inline PyBufferProcs array_view_as_buffer = {
    .bf_getbuffer = array_view_getbuffer,
    .bf_releasebuffer = nullptr,  // the exported object itself keeps the hold
};

inline PyMappingMethods array_view_as_mapping = {
    .mp_length = array_view_length,
    .mp_subscript = array_view_subscript,
    .mp_ass_subscript = array_view_ass_subscript,
};

inline PyTypeObject array_view_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "cadentia.model._kernels._array_view",
    .tp_basicsize = sizeof(export_object),
    .tp_itemsize = 0,
    .tp_dealloc = array_view_dealloc,
    .tp_as_mapping = &array_view_as_mapping,
    .tp_as_buffer = &array_view_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "Typed, writable, C-contiguous view over an array's memory.",
};

static int array_view_ready() noexcept { return PyType_Ready(&array_view_type); }

}  // namespace cadentia
