// What differs between the interpreters the module is built for (CPython 3.11, 3.12 and
// 3.13), in one place.  The module is compiled for one interpreter at a time, and its member
// functions and glob generator follow that interpreter's own functions and generators; every
// difference between those versions is settled here on PY_VERSION_HEX, so that the type
// definitions themselves carry no version branches.
//
// The differences, as the interpreters show them:
// - 3.12 deprecates the (type, value, traceback) form of generator.throw(): given more than
//   one argument, throw() first issues a DeprecationWarning (an error under -W error, with
//   the generator left untouched).
// - 3.12 moved the conversion of a StopIteration leaving a generator's body into
//   RuntimeError from the generator machinery into the body's own code.  An exception
//   thrown into a just-created generator never enters the body, so there a thrown
//   StopIteration now propagates unchanged; 3.11 converted it as it does everywhere else.
// - 3.12 gives functions __type_params__: an empty tuple unless set; only a tuple may be
//   assigned, and it cannot be deleted.  functools.wraps copies it from 3.12 on.
// - 3.13 gives generators __class_getitem__, so that the generator type can be
//   parameterised as types.GeneratorType can.
// Everything else the module relies on reads the same on all three: the conversion of a
// StopIteration raised once the body runs and its chaining, the messages of send, throw and
// close, close() returning None for a body without handlers, the attributes inspect reads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qmp::compat {

inline constexpr bool throw_signature_deprecated = PY_VERSION_HEX >= 0x030C0000;
inline constexpr bool stop_iteration_converted_before_start = PY_VERSION_HEX < 0x030C0000;
inline constexpr bool functions_have_type_params = PY_VERSION_HEX >= 0x030C0000;
inline constexpr bool generators_have_class_getitem = PY_VERSION_HEX >= 0x030D0000;

// Called by throw() once its argument count is checked: false (with the warning raised as
// an exception) when the warning filters turn the deprecation into an error.
[[nodiscard]] inline bool warn_throw_signature(Py_ssize_t nargs) noexcept {
    if (!throw_signature_deprecated || nargs <= 1) return true;
    return PyErr_WarnEx(PyExc_DeprecationWarning,
                        "the (type, exc, tb) signature of throw() is deprecated, "
                        "use the single-arg signature instead.",
                        1) == 0;
}

// __type_params__ over a field of T holding nullptr (read as ()) or a tuple.
template <class T, PyObject* T::* Field>
PyObject* get_type_params(PyObject* op, void*) noexcept {
    PyObject* value = reinterpret_cast<T*>(op)->*Field;
    return value ? Py_NewRef(value) : PyTuple_New(0);
}

template <class T, PyObject* T::* Field>
int set_type_params(PyObject* op, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<T*>(op)->*Field, Py_NewRef(value));
    return 0;
}

// The version-dependent entries of the two types' tables.  Each goes last, just before the
// table's sentinel: where the running version has no such attribute it is a second
// sentinel, and the table simply ends one entry earlier.
template <class T, PyObject* T::* Field>
inline constexpr PyGetSetDef type_params_getset =
    functions_have_type_params ? PyGetSetDef{"__type_params__", get_type_params<T, Field>,
                                             set_type_params<T, Field>, nullptr, nullptr}
                               : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};

inline constexpr PyMethodDef class_getitem_method =
    generators_have_class_getitem ? PyMethodDef{"__class_getitem__", Py_GenericAlias,
                                                METH_O | METH_CLASS, PyDoc_STR("See PEP 585")}
                                  : PyMethodDef{nullptr, nullptr, 0, nullptr};

}  // namespace qmp::compat
