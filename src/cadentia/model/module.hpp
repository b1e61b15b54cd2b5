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
    // For C API out-parameters: drops the old reference, then exposes the slot.
    PyObject** put() noexcept {
        reset();
        return &p_;
    }

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
    X(co_varnames) X(co_flags) X(co_nlocals) X(co_qualname) X(state)

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

// Declared here, defined by the subsystems that follow in the translation
// unit; start-up creates them in its fixed order.
struct kernel_function_def;
extern const kernel_function_def split_layout_def;
extern const kernel_function_def decode_def;
extern const kernel_function_def forward_decoder_reset_def;
extern const kernel_function_def forward_decoder_step_def;
extern const kernel_function_def forward_decoder_reduce_def;
extern const kernel_function_def forward_decoder_setstate_def;
extern PyTypeObject forward_decoder_type;
static int arguments_ready() noexcept;
static PyObject* kernel_function_new(const kernel_function_def& def, PyObject* defaults) noexcept;
static int array_view_ready() noexcept;

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

// ---------------------------------------------------------------------------
// Start-up

constexpr const char* init_name = "init cadentia.model._kernels";

constexpr const char module_doc[] =
    "Compiled HMM kernels for the contiguous tempo-lane grid.\n"
    "\n"
    "Two decoders over the same state space, sharing the interior/boundary split\n"
    "(:func:`_split_layout`): :func:`decode` is the offline Viterbi (MAP, log domain,\n"
    "backtracked); :class:`ForwardDecoder` is the streaming forward/filtering decode\n"
    "(linear domain, causal).\n"
    "\n"
    "Interior phase states have one predecessor, s-1, at log-prob 0 / probability 1,\n"
    "so phase advance is a stride-1 shift; only the few boundary states reduce over\n"
    "their predecessors. Single precision throughout.\n";

constexpr const char interpreter_change_message[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char reinit_message[] =
    "Module '_kernels' has already been imported. Re-initialisation is not supported.";
constexpr const char version_mismatch_format[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
constexpr const char not_type_format[] = "%.200s.%.200s is not a type object";
constexpr const char size_changed_format[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
constexpr const char numpy_import_message[] = "numpy._core.multiarray failed to import";
constexpr const char pickling_format[] = "Unable to initialize pickling for %.200s";
constexpr const char name_error_format[] = "name '%U' is not defined";

// Copies one attribute of the import spec into the new module's namespace.
// A missing attribute is skipped, as is None where `skip_none` asks for it.
static bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from,
                                const char* to, bool skip_none) noexcept {
    py_ref value = py_ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None)
        return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (records.interpreter_id == -1) {
        records.interpreter_id = id;
    } else if (records.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, interpreter_change_message);
        return nullptr;
    }
    if (records.module)
        return Py_NewRef(records.module);

    py_ref name = py_ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    py_ref module = py_ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// A failed start-up forgets the module so that a later import starts over.
[[gnu::cold]] static int exec_fail(int line) noexcept {
    if (line > 0)
        add_traceback(init_name, line);
    Py_CLEAR(records.module);
    records.dict = nullptr;
    return -1;
}

static bool create_names() noexcept {
    if (names.pred)  // interned once per process; a retried start-up reuses them
        return true;
#define CADENTIA_NAME_INTERN(n) \
    if (!(names.n = PyUnicode_InternFromString(#n))) return false;
    CADENTIA_NAMES(CADENTIA_NAME_INTERN)
#undef CADENTIA_NAME_INTERN
    return (records.float_zero = PyFloat_FromDouble(0.0)) &&
           (records.float_one = PyFloat_FromDouble(1.0)) &&
           (records.int_zero = PyLong_FromLong(0)) &&
           (records.int_minus_one = PyLong_FromLong(-1)) &&
           (records.int_one = PyLong_FromLong(1));
}

static bool cache_builtin(PyObject* name, PyObject** slot) noexcept {
    PyObject* value = PyObject_GetAttr(records.builtins, name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, name_error_format, name);
        }
        return false;
    }
    Py_XSETREF(*slot, value);
    return true;
}

enum class size_check { warn, ignore };

// Looks up a type that the module was compiled against and checks that its
// instances are at least as large as the headers said.
static PyTypeObject* import_type(PyObject* module, const char* module_name,
                                 const char* class_name, size_t size,
                                 size_check check) noexcept {
    py_ref result = py_ref::steal(PyObject_GetAttrString(module, class_name));
    if (!result)
        return nullptr;
    if (!PyType_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, not_type_format, module_name, class_name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(result.get());
    Py_ssize_t basicsize = type->tp_basicsize;
    Py_ssize_t itemsize = type->tp_itemsize;
    if (itemsize) {
        Py_ssize_t alignment = static_cast<Py_ssize_t>(size % 8) ? size % 8 : 8;
        if (itemsize < alignment)
            itemsize = alignment;
    }
    if (static_cast<size_t>(basicsize + itemsize) < size) {
        PyErr_Format(PyExc_ValueError, size_changed_format, module_name, class_name,
                     static_cast<Py_ssize_t>(size), basicsize + itemsize);
        return nullptr;
    }
    if (check == size_check::warn && static_cast<size_t>(basicsize) > size) {
        char warning[200];
        PyOS_snprintf(warning, sizeof warning, size_changed_format, module_name,
                      class_name, static_cast<Py_ssize_t>(size), basicsize);
        if (PyErr_WarnEx(nullptr, warning, 0) < 0)
            return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(result.release());
}

static bool import_numpy_types() noexcept {
    py_ref builtins = py_ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins)
        return false;
    if (!(records.type_type = import_type(builtins.get(), "builtins", "type",
                                          sizeof(PyHeapTypeObject), size_check::warn)))
        return false;
    py_ref numpy = py_ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy)
        return false;
    PyObject* np = numpy.get();
    struct entry {
        PyTypeObject** slot;
        const char* name;
        size_t size;
        size_check check;
    };
    const entry entries[] = {
        {&records.np_dtype, "dtype", sizeof(PyArray_Descr), size_check::ignore},
        {&records.np_flatiter, "flatiter", sizeof(PyArrayIterObject), size_check::ignore},
        // The size C gives it: the header declares the iterators as a
        // flexible array in C, but as a fixed one for C++.
        {&records.np_broadcast, "broadcast", offsetof(PyArrayMultiIterObject, iters),
         size_check::ignore},
        {&records.np_ndarray, "ndarray", sizeof(PyArrayObject_fields), size_check::ignore},
        {&records.np_generic, "generic", sizeof(PyObject), size_check::warn},
        {&records.np_number, "number", sizeof(PyObject), size_check::warn},
        {&records.np_integer, "integer", sizeof(PyObject), size_check::warn},
        {&records.np_signedinteger, "signedinteger", sizeof(PyObject), size_check::warn},
        {&records.np_unsignedinteger, "unsignedinteger", sizeof(PyObject), size_check::warn},
        {&records.np_inexact, "inexact", sizeof(PyObject), size_check::warn},
        {&records.np_floating, "floating", sizeof(PyObject), size_check::warn},
        {&records.np_complexfloating, "complexfloating", sizeof(PyObject), size_check::warn},
        {&records.np_flexible, "flexible", sizeof(PyObject), size_check::warn},
        {&records.np_character, "character", sizeof(PyObject), size_check::warn},
        {&records.np_ufunc, "ufunc", sizeof(PyUFuncObject), size_check::ignore},
    };
    for (const entry& e : entries) {
        PyTypeObject* type = import_type(np, "numpy", e.name, e.size, e.check);
        if (!type)
            return false;
        Py_XSETREF(*e.slot, type);
    }
    return true;
}

// NumPy's own import routine does the version and byte-order checks; an
// ordinary exception from it becomes the ImportError users know from NumPy.
static bool import_numpy_api() noexcept {
    if (_import_array() >= 0)
        return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return false;
    add_traceback("numpy.import_array", 19);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, numpy_import_message);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, cause);
    PyErr_SetRaisedException(raised);
    add_traceback("numpy.import_array", 19);
    return false;
}

// Stores a function object in a static type's dictionary the way a class
// body would, __set_name__ included.
static bool set_type_attribute(PyTypeObject* type, PyObject* name, PyObject* value) noexcept {
    if (PyDict_SetItem(type->tp_dict, name, value) < 0)
        return false;
    PyType_Modified(type);
    py_ref set_name;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                 names.__set_name__, set_name.put()) < 0)
        return false;
    if (!set_name)
        return true;
    PyObject* args[] = {value, reinterpret_cast<PyObject*>(type), name};
    py_ref result = py_ref::steal(PyObject_Vectorcall(set_name.get(), args, 3, nullptr));
    return static_cast<bool>(result);
}

static bool inherits_from_object(PyObject* type, PyObject* name) noexcept {
    py_ref mine = py_ref::steal(PyObject_GetAttr(type, name));
    if (!mine)
        return false;
    py_ref base = py_ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name));
    if (!base)
        return false;
    return mine.get() == base.get();
}

// Instances hold private buffers that a pickle could not rebuild, so the
// default object protocol is replaced by two hooks that refuse.
static bool install_pickling_refusal() noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(&forward_decoder_type);
    bool inherited = inherits_from_object(type, names.__getstate__) &&
                     inherits_from_object(type, names.__reduce_ex__) &&
                     inherits_from_object(type, names.__reduce__);
    if (PyErr_Occurred())
        return false;
    if (!inherited)
        return true;
    py_ref reduce = py_ref::steal(kernel_function_new(forward_decoder_reduce_def, nullptr));
    if (!reduce || PyDict_SetItem(forward_decoder_type.tp_dict, names.__reduce__, reduce.get()) < 0)
        return false;
    py_ref setstate = py_ref::steal(kernel_function_new(forward_decoder_setstate_def, nullptr));
    if (!setstate ||
        PyDict_SetItem(forward_decoder_type.tp_dict, names.__setstate__, setstate.get()) < 0)
        return false;
    PyType_Modified(&forward_decoder_type);
    return true;
}

static bool bind_method(PyObject* name, const kernel_function_def& def) noexcept;

static bool register_types(PyObject* module) noexcept {
    if (PyType_Ready(&forward_decoder_type) < 0 ||
        PyModule_AddObjectRef(module, "ForwardDecoder",
                              reinterpret_cast<PyObject*>(&forward_decoder_type)) < 0)
        return false;
    // The type's namespace lists its working methods before the pickling
    // hooks, as its definition orders them; exec step 16 binds them again.
    if (!bind_method(names.reset, forward_decoder_reset_def) ||
        !bind_method(names.step, forward_decoder_step_def))
        return false;
    if (!install_pickling_refusal()) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RuntimeError, pickling_format, forward_decoder_type.tp_name);
        return false;
    }
    return array_view_ready() == 0;
}

static bool bind_function(PyObject* dict, PyObject* name, const kernel_function_def& def,
                          PyObject* defaults) noexcept {
    py_ref function = py_ref::steal(kernel_function_new(def, defaults));
    return function && PyDict_SetItem(dict, name, function.get()) == 0;
}

static bool bind_method(PyObject* name, const kernel_function_def& def) noexcept {
    py_ref function = py_ref::steal(kernel_function_new(def, nullptr));
    return function && set_type_attribute(&forward_decoder_type, name, function.get());
}

static int module_exec(PyObject* module) noexcept {
    if (records.module) {
        if (records.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, reinit_message);
        return -1;
    }
    records.module = Py_NewRef(module);
    records.dict = PyModule_GetDict(module);

    py_ref builtins = py_ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
        return exec_fail(0);
    Py_XSETREF(records.builtins, builtins.release());

    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xff);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
        char message[200];
        PyOS_snprintf(message, sizeof message, version_mismatch_format, PY_MAJOR_VERSION,
                      PY_MINOR_VERSION, module_name, "does not match", runtime_major,
                      runtime_minor);
        if (PyErr_WarnEx(nullptr, message, 1) < 0)
            return exec_fail(0);
    }

    if (!create_names())
        return exec_fail(0);

    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_ContainsString(modules, module_name);
    if (present < 0 || (!present && PyDict_SetItemString(modules, module_name, module) < 0))
        return exec_fail(1);

    if (!cache_builtin(names.__import__, &records.builtin_import) ||
        !cache_builtin(names.enumerate, &records.builtin_enumerate) ||
        !cache_builtin(names.Ellipsis, &records.builtin_ellipsis) ||
        !cache_builtin(names.id, &records.builtin_id))
        return exec_fail(1);

    if (arguments_ready() < 0)
        return exec_fail(1);
    if (!register_types(module))
        return exec_fail(1);
    if (!import_numpy_types())
        return exec_fail(1);

    py_ref numpy = py_ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItem(records.dict, names.np, numpy.get()) < 0)
        return exec_fail(13);
    Py_XSETREF(records.np, numpy.release());

    if (!import_numpy_api())
        return exec_fail(19);

    if (!bind_function(records.dict, names._split_layout, split_layout_def, nullptr))
        return exec_fail(22);
    py_ref default_period = py_ref::steal(PyLong_FromLong(1024));
    py_ref defaults = py_ref::steal(default_period ? PyTuple_Pack(1, default_period.get()) : nullptr);
    if (!defaults)
        return exec_fail(72);
    if (!bind_function(records.dict, names.decode, decode_def, defaults.get()))
        return exec_fail(70);
    if (!bind_method(names.reset, forward_decoder_reset_def))
        return exec_fail(214);
    if (!bind_method(names.step, forward_decoder_step_def))
        return exec_fail(220);

    py_ref test = py_ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(records.dict, names.__test__, test.get()) < 0)
        return exec_fail(1);
    return 0;
}

inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

inline PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_kernels",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace cadentia
