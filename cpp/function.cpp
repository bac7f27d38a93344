// The member function type: layout, attributes, descriptor binding, vectorcall.
#include "function.hpp"

#include "compat.hpp"
#include "names.hpp"

#include <structmember.h>

namespace qmp {
namespace {

MethodFunction* as_function(PyObject* op) noexcept { return reinterpret_cast<MethodFunction*>(op); }

// -- calling --------------------------------------------------------------------------

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    auto* func = as_function(callable);
    // Held for the call: the body may run code that reassigns __defaults__.
    Ref defaults = Ref::borrow(func->defaults);
    PyObject* bound[max_params] = {};
    if (!bind_arguments(func, defaults.get(), args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        return nullptr;
    }
    // A directory walk re-enters upload through the class: guard the C stack as CPython
    // guards every call of a C function.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = func->sig->impl(bound);
    Py_LeaveRecursiveCall();
    return result;
}

// Fetched through an instance: a bound method; through the class: the function itself.
PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject*) noexcept {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

PyObject* function_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

// -- attributes -----------------------------------------------------------------------

PyObject* function_get_name(PyObject* op, void*) noexcept {
    return Py_NewRef(as_function(op)->name);
}

int function_set_name(PyObject* op, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->name, Py_NewRef(value));
    return 0;
}

PyObject* function_get_qualname(PyObject* op, void*) noexcept {
    return Py_NewRef(as_function(op)->qualname);
}

int function_set_qualname(PyObject* op, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* function_get_defaults(PyObject* op, void*) noexcept {
    PyObject* defaults = as_function(op)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

int function_set_defaults(PyObject* op, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;  // deleting means None, as for functions
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(op)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* function_get_annotations(PyObject* op, void*) noexcept {
    auto* func = as_function(op);
    if (!func->annotations) {
        func->annotations = PyDict_New();
        if (!func->annotations) return nullptr;
    }
    return Py_NewRef(func->annotations);  // the same dict on every read
}

int function_set_annotations(PyObject* op, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_code(PyObject* op, void*) noexcept {
    return Py_NewRef(as_function(op)->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    compat::type_params_getset<MethodFunction, &MethodFunction::type_params>,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by reference, as functions are: the qualified name, looked up in the
// module when loaded.
PyObject* function_reduce(PyObject* op, PyObject*) noexcept {
    return Py_NewRef(as_function(op)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(MethodFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodFunction, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// -- lifetime -------------------------------------------------------------------------

int function_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    auto* func = as_function(op);
    Py_VISIT(func->name);
    Py_VISIT(func->qualname);
    Py_VISIT(func->module);
    Py_VISIT(func->doc);
    Py_VISIT(func->defaults);
    Py_VISIT(func->annotations);
    Py_VISIT(func->code);
    Py_VISIT(func->param_names);
    Py_VISIT(func->dict);
    Py_VISIT(func->type_params);
    return 0;
}

int function_clear(PyObject* op) noexcept {
    auto* func = as_function(op);
    // The names stay readable: they are replaced by exact strings rather than cleared,
    // since a str subclass could be part of the cycle being broken.
    Py_SETREF(func->name, Py_NewRef(names.empty));
    Py_SETREF(func->qualname, Py_NewRef(names.empty));
    Py_CLEAR(func->module);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->annotations);
    Py_CLEAR(func->dict);
    Py_CLEAR(func->type_params);
    return 0;
}

void function_dealloc(PyObject* op) noexcept {
    auto* func = as_function(op);
    PyObject_GC_UnTrack(op);
    if (func->weakreflist) PyObject_ClearWeakRefs(op);
    Py_CLEAR(func->name);
    Py_CLEAR(func->qualname);
    Py_CLEAR(func->module);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->annotations);
    Py_CLEAR(func->code);
    Py_CLEAR(func->param_names);
    Py_CLEAR(func->dict);
    Py_CLEAR(func->type_params);
    PyObject_GC_Del(op);
}

// -- construction helpers -------------------------------------------------------------

Ref make_annotations(const Signature* sig) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const Param& param : sig->params) {
        if (!param.annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(param.annotation));
        if (!text || PyDict_SetItemString(dict.get(), param.name, text.get()) < 0) return {};
    }
    Ref text = Ref::steal(PyUnicode_FromString(sig->return_annotation));
    if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return {};
    return dict;
}

// A code object that tells introspection (inspect.signature, help) the parameter names.
Ref make_code(const Signature* sig, PyObject* param_names, PyObject* qualname) noexcept {
    PyCodeObject* empty = PyCode_NewEmpty("quorvex/minio/path", sig->name, 0);
    if (!empty) return {};
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));
    Ref replace = getattr(code.get(), names.replace);
    if (!replace) return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return {};
    const Py_ssize_t count = PyTuple_GET_SIZE(param_names);
    Ref argcount = Ref::steal(PyLong_FromSsize_t(count));
    // The flags of a function's code: a generator function's for a generator member.
    const long flags_value = CO_OPTIMIZED | CO_NEWLOCALS | (sig->generator ? CO_GENERATOR : 0);
    Ref flags = Ref::steal(PyLong_FromLong(flags_value));
    if (!argcount || !flags ||
        PyDict_SetItem(kwargs.get(), names.co_argcount, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_nlocals, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_varnames, param_names) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_qualname, qualname) < 0 ||
        PyDict_SetItem(kwargs.get(), names.co_flags, flags.get()) < 0) {
        return {};
    }
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return {};
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

}  // namespace

// clang-format off: the header macro ends in a comma of its own
PyTypeObject MethodFunction_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quorvex.minio.path.method_function",
    .tp_basicsize = sizeof(MethodFunction),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(MethodFunction, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(MethodFunction, weakreflist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(MethodFunction, dict),
};
// clang-format on

bool ready_function_type() noexcept {
    if (MethodFunction_Type.tp_flags & Py_TPFLAGS_READY) return true;
    return PyType_Ready(&MethodFunction_Type) == 0;
}

Ref make_function(const Signature* sig, PyObject* module, const char* class_name,
                  PyObject* defaults) noexcept {
    // Everything that can fail is made before the object exists.
    Ref name = Ref::steal(PyUnicode_InternFromString(sig->name));
    if (!name) return {};
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, sig->name));
    if (!qualname) return {};
    Ref param_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sig->params.size())));
    if (!param_names) return {};
    for (std::size_t i = 0; i < sig->params.size(); ++i) {
        PyObject* pname = PyUnicode_InternFromString(sig->params[i].name);
        if (!pname) return {};
        PyTuple_SET_ITEM(param_names.get(), static_cast<Py_ssize_t>(i), pname);
    }
    Ref annotations = make_annotations(sig);
    if (!annotations) return {};
    Ref code = make_code(sig, param_names.get(), qualname.get());
    if (!code) return {};

    auto* func = PyObject_GC_New(MethodFunction, &MethodFunction_Type);
    if (!func) return {};
    // No failure is possible from here on.
    func->vectorcall = function_vectorcall;
    func->sig = sig;
    func->name = name.release();
    func->qualname = qualname.release();
    func->module = Py_NewRef(module);
    func->doc = Py_NewRef(Py_None);
    func->defaults = (defaults && defaults != Py_None) ? Py_NewRef(defaults) : nullptr;
    func->annotations = annotations.release();
    func->code = code.release();
    func->param_names = param_names.release();
    func->dict = nullptr;
    func->type_params = nullptr;
    func->weakreflist = nullptr;
    PyObject_GC_Track(func);
    return Ref::steal(reinterpret_cast<PyObject*>(func));
}

}  // namespace qmp
