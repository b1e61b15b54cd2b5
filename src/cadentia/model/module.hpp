// module.hpp: the module object, its start-up and the function table.
//
// Included last: start-up creates what every header before it defines, in
// the fixed order the exec step runs, and the module definition that
// `PyInit__kernels` returns closes the file.
#pragma once

#include "array_view.hpp"
#include "arguments.hpp"
#include "layout.hpp"
#include "viterbi.hpp"
#include "forward_decoder.hpp"

namespace cadentia {

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

constexpr const char interpreter_change_message[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

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
           (records.float_one = PyFloat_FromDouble(1.0));
}

// A builtin the functions' definitions name must exist.
static bool check_builtin(PyObject* name) noexcept {
    py_ref value = py_ref::steal(PyObject_GetAttr(records.builtins, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, name_error_format, name);
    }
    return static_cast<bool>(value);
}

enum class size_check { warn, ignore };

constexpr const char not_type_format[] = "%.200s.%.200s is not a type object";
constexpr const char size_changed_format[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";

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
    py_ref type = py_ref::steal(reinterpret_cast<PyObject*>(import_type(
        builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), size_check::warn)));
    if (!type)
        return false;
    py_ref numpy = py_ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy)
        return false;
    PyObject* np = numpy.get();
    struct entry {
        const char* name;
        size_t size;
        size_check check;
    };
    const entry entries[] = {
        {"dtype", sizeof(PyArray_Descr), size_check::ignore},
        {"flatiter", sizeof(PyArrayIterObject), size_check::ignore},
        // The size C gives it: the header declares the iterators as a
        // flexible array in C, but as a fixed one for C++.
        {"broadcast", offsetof(PyArrayMultiIterObject, iters),
         size_check::ignore},
        {"ndarray", sizeof(PyArrayObject_fields), size_check::ignore},
        {"generic", sizeof(PyObject), size_check::warn},
        {"number", sizeof(PyObject), size_check::warn},
        {"integer", sizeof(PyObject), size_check::warn},
        {"signedinteger", sizeof(PyObject), size_check::warn},
        {"unsignedinteger", sizeof(PyObject), size_check::warn},
        {"inexact", sizeof(PyObject), size_check::warn},
        {"floating", sizeof(PyObject), size_check::warn},
        {"complexfloating", sizeof(PyObject), size_check::warn},
        {"flexible", sizeof(PyObject), size_check::warn},
        {"character", sizeof(PyObject), size_check::warn},
        {"ufunc", sizeof(PyUFuncObject), size_check::ignore},
    };
    for (const entry& e : entries) {
        py_ref type = py_ref::steal(
            reinterpret_cast<PyObject*>(import_type(np, "numpy", e.name, e.size, e.check)));
        if (!type)
            return false;
    }
    return true;
}

constexpr const char numpy_import_message[] = "numpy._core.multiarray failed to import";

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

// ---------------------------------------------------------------------------
// The function table
//
// Every function object of the module, in the order start-up makes them:
// where it is bound, under which name, and the line of the start-up entry
// when binding it fails.  This one table drives the code objects (exec step
// 8), the methods and pickling hooks of the type (step 9) and the module's
// functions (steps 14 and 15).

enum class bound_in { module, type, pickling };

struct function_entry {
    kernel_function_def* def;
    PyObject** name;
    bound_in where;
    int line;
    // A trailing integer default and the line of its tuple; 0 for none.
    int defaults_line;
    long default_value;
};

inline const function_entry function_table[] = {
    {&split_layout_def, &names._split_layout, bound_in::module, 22, 0, 0},
    {&decode_def, &names.decode, bound_in::module, 70, 72, 1024},
    {&forward_decoder_reset_def, &names.reset, bound_in::type, 214, 0, 0},
    {&forward_decoder_step_def, &names.step, bound_in::type, 220, 0, 0},
    {&forward_decoder_reduce_def, &names.__reduce__, bound_in::pickling, 1, 0, 0},
    {&forward_decoder_setstate_def, &names.__setstate__, bound_in::pickling, 1, 0, 0},
};

// Exec step 8: the function type and every function's code object.
static bool make_code_objects() noexcept {
    if (PyType_Ready(&kernel_function_type) < 0)
        return false;
    for (const function_entry& e : function_table) {
        if (e.def->code)  // kept from an earlier, failed start-up
            continue;
        if (!(e.def->code = make_code_object(*e.def)))
            return false;
    }
    return true;
}

// Makes the function object of `e` and binds it; 0, or the line of the
// start-up entry for its failure.
static int bind_function(const function_entry& e) noexcept {
    py_ref defaults;
    if (e.defaults_line) {
        py_ref value = py_ref::steal(PyLong_FromLong(e.default_value));
        defaults = py_ref::steal(value ? PyTuple_Pack(1, value.get()) : nullptr);
        if (!defaults)
            return e.defaults_line;
    }
    py_ref function = py_ref::steal(kernel_function_new(*e.def, defaults.get()));
    if (!function)
        return e.line;
    PyTypeObject* type = &forward_decoder_type;
    switch (e.where) {
        case bound_in::module:
            return PyDict_SetItem(records.dict, *e.name, function.get()) < 0 ? e.line : 0;
        case bound_in::type:
            return set_type_attribute(type, *e.name, function.get()) ? 0 : e.line;
        case bound_in::pickling:
            if (PyDict_SetItem(type->tp_dict, *e.name, function.get()) < 0)
                return e.line;
            PyType_Modified(type);
            return 0;
    }
    return 0;
}

static int bind_all(bound_in where) noexcept {
    for (const function_entry& e : function_table)
        if (e.where == where)
            if (int line = bind_function(e))
                return line;
    return 0;
}

constexpr const char pickling_format[] = "Unable to initialize pickling for %.200s";

// Exec step 9: the type, its methods, then (instances hold private buffers
// that a pickle could not rebuild) two hooks that refuse pickling in place
// of the default object protocol, and the array-view type.  0, or the line
// of the failure's entry.
static int register_types(PyObject* module) noexcept {
    if (PyType_Ready(&forward_decoder_type) < 0 ||
        PyModule_AddObjectRef(module, "ForwardDecoder",
                              reinterpret_cast<PyObject*>(&forward_decoder_type)) < 0)
        return 1;
    if (int line = bind_all(bound_in::type))
        return line;
    PyObject* type = reinterpret_cast<PyObject*>(&forward_decoder_type);
    const bool inherited = inherits_from_object(type, names.__getstate__) &&
                           inherits_from_object(type, names.__reduce_ex__) &&
                           inherits_from_object(type, names.__reduce__);
    if ((PyErr_Occurred() || (inherited && bind_all(bound_in::pickling)))) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RuntimeError, pickling_format, forward_decoder_type.tp_name);
        return 1;
    }
    return array_view_ready() == 0 ? 0 : 1;
}

constexpr const char reinit_message[] =
    "Module '_kernels' has already been imported. Re-initialisation is not supported.";
constexpr const char version_mismatch_format[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";

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

    if (!check_builtin(names.__import__) || !check_builtin(names.enumerate) ||
        !check_builtin(names.Ellipsis) || !check_builtin(names.id))
        return exec_fail(1);

    if (!make_code_objects())
        return exec_fail(1);
    if (int line = register_types(module))
        return exec_fail(line);
    if (!import_numpy_types())
        return exec_fail(1);

    py_ref numpy = py_ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItem(records.dict, names.np, numpy.get()) < 0)
        return exec_fail(13);

    if (!import_numpy_api())
        return exec_fail(19);

    if (int line = bind_all(bound_in::module))
        return exec_fail(line);

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
};

}  // namespace cadentia
