// arguments.hpp: function objects and argument matching.
//
// Every function and method of the module is a `kernel_function`: a small
// static type called through vectorcall, so positional arguments arrive as
// an array and keyword names as a tuple, with nothing built per call.  It
// carries the attributes that make it look like a Python function to
// `inspect` (a code object whose argument names are the parameters), and it
// binds to instances like one, which is how `ForwardDecoder.reset` and
// `ForwardDecoder.step` become methods.
//
// Argument matching happens here only.  A function's body receives one slot
// per parameter, filled with borrowed references (nullptr for an omitted
// optional parameter), and converts the values itself, in parameter order.
#pragma once

#include "base.hpp"

#include <cstddef>

namespace cadentia {

// ---------------------------------------------------------------------------
// Data

constexpr int max_parameters = 8;

struct kernel_function_def {
    const char* name;        // short name, as argument errors quote it
    const char* qualname;
    const char* trace_name;  // qualified name of its traceback entries
    PyObject** const* params;  // the interned parameter names, in order
    int num_params;
    int num_required;
    const char* const* local_names;  // the code object's names after the parameters
    int num_locals;
    int first_line;      // the code object's first line
    int arg_error_line;  // traceback line of argument errors; 0 adds no entry
    const char* doc;     // nullptr leaves __doc__ None
    bool is_method;      // the first positional argument is the instance
    // The body; nullptr for construction, which only borrows the matcher.
    PyObject* (*impl)(PyObject* self, PyObject* const* slots) noexcept;
    PyTypeObject* self_type = nullptr;  // for methods: the type of the instance
    PyObject* code = nullptr;  // made by start-up, for the function object
};

struct kernel_function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const kernel_function_def* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* defaults;
    PyObject* globals;
    PyObject* module;
    PyObject* code;
    PyObject* annotations;
};

// ---------------------------------------------------------------------------
// Argument matching

constexpr const char arg_count_format[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";

[[gnu::cold, gnu::noinline]] static bool raise_arg_count(const kernel_function_def& def,
                                                        Py_ssize_t given, bool too_many) noexcept {
    const char* quantifier;
    Py_ssize_t expected;
    if (def.num_required == def.num_params) {
        quantifier = "exactly";
        expected = def.num_params;
    } else if (too_many) {
        quantifier = "at most";
        expected = def.num_params;
    } else {
        quantifier = "at least";
        expected = def.num_required;
    }
    PyErr_Format(PyExc_TypeError, arg_count_format, def.name, quantifier, expected,
                 expected == 1 ? "" : "s", given);
    return false;
}

// Finds the parameter a keyword names: by identity of the interned name
// first, then by string equality, so keywords built at run time still match.
static int find_parameter(const kernel_function_def& def, PyObject* key) noexcept {
    for (int i = 0; i < def.num_params; ++i)
        if (*def.params[i] == key)
            return i;
    for (int i = 0; i < def.num_params; ++i)
        if (PyUnicode_Compare(*def.params[i], key) == 0)
            return i;
    return -1;
}

constexpr const char keywords_not_strings_format[] = "%.200s() keywords must be strings";
constexpr const char multiple_values_format[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char unexpected_keyword_format[] = "%s() got an unexpected keyword argument '%U'";

static bool match_keyword(const kernel_function_def& def, Py_ssize_t nargs, PyObject* key,
                          PyObject* value, PyObject** slots) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, keywords_not_strings_format, def.name);
        return false;
    }
    int i = find_parameter(def, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, unexpected_keyword_format, def.name, key);
        return false;
    }
    if (i < nargs || slots[i]) {
        PyErr_Format(PyExc_TypeError, multiple_values_format, def.name, key);
        return false;
    }
    slots[i] = value;
    return true;
}

static bool check_required(const kernel_function_def& def, PyObject** slots) noexcept {
    for (int i = 0; i < def.num_required; ++i)
        if (!slots[i])
            return raise_arg_count(def, i, false);
    return true;
}

// The fast-call form: positional arguments as an array, keyword names as a
// tuple whose values follow the positional ones.
static bool match_arguments(const kernel_function_def& def, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
    Py_ssize_t num_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > def.num_params || (num_keywords == 0 && nargs < def.num_required))
        return raise_arg_count(def, nargs, nargs > def.num_params);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    for (Py_ssize_t k = 0; k < num_keywords; ++k)
        if (!match_keyword(def, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots))
            return false;
    return check_required(def, slots);
}

// The tuple-and-dictionary form, used by construction.
static bool match_arguments(const kernel_function_def& def, PyObject* args, PyObject* kwargs,
                            PyObject** slots) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t num_keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > def.num_params || (num_keywords == 0 && nargs < def.num_required))
        return raise_arg_count(def, nargs, nargs > def.num_params);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (num_keywords && PyDict_Next(kwargs, &pos, &key, &value))
        if (!match_keyword(def, nargs, key, value, slots))
            return false;
    return check_required(def, slots);
}

// ---------------------------------------------------------------------------
// Scalar conversions

constexpr const char integer_required_message[] = "an integer is required";
constexpr const char int_returned_non_int_format[] = "__int__ returned non-int (type %.200s)";
constexpr const char int_returned_int_subclass_format[] =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";

// A signed 32-bit integer: ints as they are, anything else through its
// __int__ (so floats truncate toward zero).
static bool to_int32(PyObject* obj, int32_t* out) noexcept {
    py_ref number;
    if (PyLong_Check(obj)) {
        number = py_ref::borrow(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, integer_required_message);
            return false;
        }
        number = py_ref::steal(nb->nb_int(obj));
        if (!number)
            return false;
        if (!PyLong_CheckExact(number.get())) {
            const char* type_name = Py_TYPE(number.get())->tp_name;
            if (!PyLong_Check(number.get())) {
                PyErr_Format(PyExc_TypeError, int_returned_non_int_format, type_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, int_returned_int_subclass_format,
                                 type_name) < 0)
                return false;
        }
    }
    int value = PyLong_AsInt(number.get());
    if (value == -1 && PyErr_Occurred())
        return false;
    *out = value;
    return true;
}

// A double: exact floats directly, anything else through float conversion.
static bool to_double(PyObject* obj, double* out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        return false;
    *out = value;
    return true;
}

// ---------------------------------------------------------------------------
// The function type

constexpr const char too_many_parameters_format[] = "%s takes more than %d parameters";

// The code object that describes a function's parameters to `inspect`.
static PyObject* make_code_object(const kernel_function_def& def) noexcept {
    if (def.num_params > max_parameters || def.num_required > def.num_params) {
        PyErr_Format(PyExc_SystemError, too_many_parameters_format, def.qualname, max_parameters);
        return nullptr;
    }
    py_ref code = py_ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_file, def.name, def.first_line)));
    if (!code)
        return nullptr;
    Py_ssize_t num_names = def.num_params + def.num_locals + (def.is_method ? 1 : 0);
    py_ref varnames = py_ref::steal(PyTuple_New(num_names));
    if (!varnames)
        return nullptr;
    Py_ssize_t n = 0;
    if (def.is_method)
        PyTuple_SET_ITEM(varnames.get(), n++, Py_NewRef(names.self));
    for (int i = 0; i < def.num_params; ++i)
        PyTuple_SET_ITEM(varnames.get(), n++, Py_NewRef(*def.params[i]));
    for (int i = 0; i < def.num_locals; ++i) {
        PyObject* local = PyUnicode_InternFromString(def.local_names[i]);
        if (!local)
            return nullptr;
        PyTuple_SET_ITEM(varnames.get(), n++, local);
    }
    py_ref qualname = py_ref::steal(PyUnicode_FromString(def.qualname));
    py_ref argcount = py_ref::steal(PyLong_FromSsize_t(def.num_params + (def.is_method ? 1 : 0)));
    py_ref nlocals = py_ref::steal(PyLong_FromSsize_t(num_names));
    py_ref flags = py_ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    py_ref kwargs = py_ref::steal(PyDict_New());
    if (!qualname || !argcount || !nlocals || !flags || !kwargs ||
        PyDict_SetItem(kwargs.get(), names.co_argcount, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_varnames, varnames.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_nlocals, nlocals.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_flags, flags.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_qualname, qualname.get()) < 0)
        return nullptr;
    py_ref replace = py_ref::steal(PyObject_GetAttr(code.get(), names.replace));
    if (!replace)
        return nullptr;
    py_ref no_args = py_ref::steal(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

constexpr const char needs_argument_format[] = "descriptor '%s' of '%s' object needs an argument";
constexpr const char wrong_self_format[] =
    "descriptor '%s' requires a '%s' object but received a '%.100s'";

static PyObject* kernel_function_vectorcall(PyObject* callable, PyObject* const* args,
                                            size_t nargsf, PyObject* kwnames) noexcept {
    auto* function = reinterpret_cast<kernel_function_object*>(callable);
    const kernel_function_def& def = *function->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (def.is_method) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, needs_argument_format, def.name,
                         def.self_type->tp_name);
            return nullptr;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, def.self_type)) {
            PyErr_Format(PyExc_TypeError, wrong_self_format, def.name, def.self_type->tp_name,
                         Py_TYPE(self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    PyObject* slots[max_parameters] = {};
    if (!match_arguments(def, args, nargs, kwnames, slots))
        return def.arg_error_line ? fail(def.trace_name, def.arg_error_line) : nullptr;
    return def.impl(self, slots);
}

static PyObject* kernel_function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject* kernel_function_repr(PyObject* self) noexcept {
    auto* function = reinterpret_cast<kernel_function_object*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", function->qualname, self);
}

static void kernel_function_dealloc(PyObject* self) noexcept {
    auto* function = reinterpret_cast<kernel_function_object*>(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->defaults);
    Py_XDECREF(function->globals);
    Py_XDECREF(function->module);
    Py_XDECREF(function->code);
    Py_XDECREF(function->annotations);
    Py_TYPE(self)->tp_free(self);
}

static PyObject* kernel_function_get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

inline PyMemberDef kernel_function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(kernel_function_object, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(kernel_function_object, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(kernel_function_object, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(kernel_function_object, defaults), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(kernel_function_object, globals), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(kernel_function_object, module), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(kernel_function_object, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(kernel_function_object, annotations), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(kernel_function_object, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef kernel_function_getset[] = {
    {"__kwdefaults__", kernel_function_get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject kernel_function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "cadentia.model._kernels.kernel_function",
    .tp_basicsize = sizeof(kernel_function_object),
    .tp_itemsize = 0,
    .tp_dealloc = kernel_function_dealloc,
    .tp_vectorcall_offset = offsetof(kernel_function_object, vectorcall),
    .tp_repr = kernel_function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "Compiled function of cadentia.model._kernels.",
    .tp_members = kernel_function_members,
    .tp_getset = kernel_function_getset,
    .tp_descr_get = kernel_function_descr_get,
};

constexpr const char no_code_object_format[] = "no code object for %s";

static PyObject* kernel_function_new(const kernel_function_def& def, PyObject* defaults) noexcept {
    PyObject* code = def.code;
    if (!code) {
        PyErr_Format(PyExc_SystemError, no_code_object_format, def.qualname);
        return nullptr;
    }
    py_ref self = py_ref::steal(PyType_GenericAlloc(&kernel_function_type, 0));
    if (!self)
        return nullptr;
    auto* function = reinterpret_cast<kernel_function_object*>(self.get());
    function->vectorcall = kernel_function_vectorcall;
    function->def = &def;
    function->name = PyUnicode_FromString(def.name);
    function->qualname = PyUnicode_FromString(def.qualname);
    function->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    function->defaults = Py_NewRef(defaults ? defaults : Py_None);
    function->globals = Py_NewRef(records.dict);
    function->module = PyUnicode_FromString(module_name);
    function->code = Py_NewRef(code);
    function->annotations = PyDict_New();
    if (!function->name || !function->qualname || !function->doc || !function->module ||
        !function->annotations)
        return nullptr;
    return self.release();
}

}  // namespace cadentia
