// module.hpp: the module object, its start-up, the ForwardDecoder type's
// registration and the traceback convention.
//
// All module-level data are process-wide records: the module can live in one
// interpreter per process only, so nothing is kept in per-module state.  The
// records are written during start-up, with the single exception of the cache
// of traceback code objects, which is written when a failure is reported (the
// interpreter lock is always held then).
//
// Every fallible function returns nullptr, -1 or false with an exception set;
// nothing throws.  Each module function adds exactly one traceback entry on
// its failure path, through `fail()`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

namespace cadentia {

// ---------------------------------------------------------------------------
// Owned references

// The one owning reference type.  Construction says whether the reference is
// stolen or borrowed; there is no implicit conversion from PyObject*.
class py_ref {
public:
    py_ref() noexcept = default;
    static py_ref steal(PyObject* p) noexcept { return py_ref(p); }
    static py_ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return py_ref(p);
    }
    py_ref(const py_ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    py_ref(py_ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    py_ref& operator=(py_ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~py_ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Gives up ownership without a decref.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Steals `p` and drops the old reference.
    void reset(PyObject* p = nullptr) noexcept { Py_XDECREF(std::exchange(p_, p)); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit py_ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Process-wide records

constexpr const char* module_name = "cadentia.model._kernels";
constexpr const char* source_file = "src/cadentia/model/_kernels";

// Interned names and message texts.  Every attribute name, keyword name and
// dictionary key the functions use is listed here once and created by exec
// step 5, so lookups compare by identity.
#define CADENTIA_NAMES(X)                                                      \
    X(pred) X(ptr) X(weight) X(columns) X(identity) X(log_prob) X(log_dens)    \
    X(log_initial) X(renorm_period) X(prob) X(initial) X(self) X(dens)         \
    X(bnd_state) X(pred_list) X(bnd_src) X(bnd_orig) X(bnd_ptr) X(bnd_weight)  \
    X(bnd_dcol) X(run_lo) X(run_hi) X(run_col)                                 \
    X(_split_layout) X(decode) X(ForwardDecoder) X(reset) X(step) X(np)        \
    X(numpy) X(builtins) X(__builtins__) X(__test__) X(__import__)             \
    X(enumerate) X(Ellipsis) X(id) X(name) X(loader) X(origin) X(parent)       \
    X(submodule_search_locations) X(__loader__) X(__file__) X(__package__)     \
    X(__path__) X(__reduce__) X(__setstate__) X(__getstate__)                  \
    X(__reduce_ex__) X(__set_name__) X(__module__) X(__name__)                 \
    X(__qualname__) X(asarray) X(ascontiguousarray) X(array) X(empty)          \
    X(zeros) X(arange) X(concatenate) X(diff) X(cumsum) X(nonzero) X(unique)   \
    X(astype) X(argmax) X(dtype) X(copy) X(return_inverse) X(float32)          \
    X(float64) X(int64) X(uint32) X(uint8) X(replace) X(co_argcount)           \
    X(co_varnames) X(co_flags) X(co_nlocals) X(co_qualname)

struct name_table {
#define CADENTIA_NAME_FIELD(n) PyObject* n = nullptr;
    CADENTIA_NAMES(CADENTIA_NAME_FIELD)
#undef CADENTIA_NAME_FIELD
};

struct module_records {
    PyObject* module = nullptr;  // owned; cleared again when start-up fails
    PyObject* dict = nullptr;    // borrowed from `module`
    int64_t interpreter_id = -1;
    PyObject* builtins = nullptr;
    PyObject* np = nullptr;      // the numpy module
    // Constants 0.0, 1.0, 0, -1 and 1.
    PyObject* float_zero = nullptr;
    PyObject* float_one = nullptr;
    PyObject* int_zero = nullptr;
    PyObject* int_minus_one = nullptr;
    PyObject* int_one = nullptr;
    // Cached builtins.
    PyObject* builtin_import = nullptr;
    PyObject* builtin_enumerate = nullptr;
    PyObject* builtin_ellipsis = nullptr;
    PyObject* builtin_id = nullptr;
    // NumPy types (start-up imports them with their size checks).
    PyTypeObject* type_type = nullptr;
    PyTypeObject* np_dtype = nullptr;
    PyTypeObject* np_flatiter = nullptr;
    PyTypeObject* np_broadcast = nullptr;
    PyTypeObject* np_ndarray = nullptr;
    PyTypeObject* np_generic = nullptr;
    PyTypeObject* np_number = nullptr;
    PyTypeObject* np_integer = nullptr;
    PyTypeObject* np_signedinteger = nullptr;
    PyTypeObject* np_unsignedinteger = nullptr;
    PyTypeObject* np_inexact = nullptr;
    PyTypeObject* np_floating = nullptr;
    PyTypeObject* np_complexfloating = nullptr;
    PyTypeObject* np_flexible = nullptr;
    PyTypeObject* np_character = nullptr;
    PyTypeObject* np_ufunc = nullptr;
};

inline name_table names;
inline module_records records;

}  // namespace cadentia
