// base.hpp: what every piece of glue stands on: the Python and NumPy
// includes, the owning reference, the process-wide records, the interpreter
// lock guard and the traceback convention.
//
// All module-level data are process-wide records: the module can live in one
// interpreter per process only, so nothing is kept in per-module state.  The
// records are written during start-up, with the single exception of the cache
// of traceback code objects, which is written when a failure is reported (the
// interpreter lock is always held then).
//
// Error protocol: every fallible function returns nullptr, -1, false or (for
// the bodies of module functions) the traceback line of its failure, with an
// exception set; nothing throws.  A module function adds exactly one
// traceback entry on its failure path, in one place: its entry point hands
// the failing line to `fail()`.
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
    // For C API out-parameters: drops the old reference, then exposes the slot.
    PyObject** put() noexcept {
        reset();
        return &p_;
    }

private:
    explicit py_ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

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

// ---------------------------------------------------------------------------
// Process-wide records

constexpr const char* module_name = "cadentia.model._kernels";
constexpr const char* source_file = "src/cadentia/model/_kernels";
constexpr const char name_error_format[] = "name '%U' is not defined";

// Interned names: every parameter name, attribute name and dictionary key
// the functions use, created once by start-up so that lookups and keyword
// matching compare by identity.
#define CADENTIA_NAMES(X)                                                      \
    X(pred) X(ptr) X(weight) X(columns) X(identity) X(log_prob) X(log_dens)    \
    X(log_initial) X(renorm_period) X(prob) X(initial) X(self) X(dens)         \
    X(state) X(bnd_state) X(pred_list) X(bnd_src) X(bnd_orig) X(bnd_ptr)       \
    X(bnd_weight) X(bnd_dcol) X(run_lo) X(run_hi) X(run_col) X(_split_layout)  \
    X(decode) X(reset) X(step) X(np) X(__test__) X(__import__) X(enumerate)    \
    X(Ellipsis) X(id) X(__reduce__) X(__setstate__) X(__getstate__)            \
    X(__reduce_ex__) X(__set_name__) X(replace) X(co_argcount) X(co_varnames)  \
    X(co_flags) X(co_nlocals) X(co_qualname)

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
    PyObject* float_zero = nullptr;  // the identity weights
    PyObject* float_one = nullptr;
};

inline name_table names;
inline module_records records;

// ---------------------------------------------------------------------------
// Traceback entries

// A failing function appends one frame for itself: an empty code object that
// carries the file, function name and line, so that tracebacks point into
// the module's source.  Code objects are cached by (function, line) because
// a failure that repeats at one site should not rebuild its code object.
struct traceback_site {
    const char* funcname;
    int line;
    PyObject* code;
};

inline traceback_site* traceback_cache = nullptr;
inline Py_ssize_t traceback_cache_len = 0;
inline Py_ssize_t traceback_cache_cap = 0;

static PyObject* traceback_code(const char* funcname, int line) noexcept {
    for (Py_ssize_t i = 0; i < traceback_cache_len; ++i) {
        const traceback_site& site = traceback_cache[i];
        if (site.line == line && std::strcmp(site.funcname, funcname) == 0)
            return site.code;
    }
    // Making the code object must not clobber the exception being reported;
    // if it fails, its own error replaces the pending one.
    py_ref pending = py_ref::steal(PyErr_GetRaisedException());
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, funcname, line));
    if (!code)
        return nullptr;
    if (traceback_cache_len == traceback_cache_cap) {
        Py_ssize_t cap = traceback_cache_cap ? 2 * traceback_cache_cap : 16;
        auto* grown = static_cast<traceback_site*>(
            PyMem_Realloc(traceback_cache, cap * sizeof(traceback_site)));
        if (!grown) {
            // Still report the entry, just without caching it.
            PyErr_SetRaisedException(pending.release());
            return code;  // leaked deliberately: at most once per failed growth
        }
        traceback_cache = grown;
        traceback_cache_cap = cap;
    }
    traceback_cache[traceback_cache_len++] = {funcname, line, code};
    PyErr_SetRaisedException(pending.release());
    return code;
}

// Appends one entry for `funcname` at `line` to the pending exception.
[[gnu::cold]] static void add_traceback(const char* funcname, int line) noexcept {
    PyObject* code = traceback_code(funcname, line);
    if (!code)
        return;
    PyObject* globals = records.dict;
    py_ref empty_globals;
    if (!globals) {
        empty_globals = py_ref::steal(PyDict_New());
        if (!empty_globals)
            return;
        globals = empty_globals.get();
    }
    py_ref frame = py_ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// The one exit of a failing module function: its traceback entry, then nullptr.
[[gnu::cold]] static PyObject* fail(const char* funcname, int line) noexcept {
    add_traceback(funcname, line);
    return nullptr;
}

}  // namespace cadentia
