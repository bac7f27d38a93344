// The function type of the class's members: a function object that binds like a function
// defined in a class body, is called through vectorcall and binds its arguments from a
// parameter table.
#pragma once

#include <span>

#include "ref.hpp"

namespace qmp {

// A member body.  `args` holds the bound arguments in parameter order, `self` first; they
// are borrowed and stay alive for the call.  Returns a new reference, or nullptr with an
// exception set.
using Impl = PyObject* (*)(PyObject* const* args) noexcept;

inline constexpr std::size_t max_params = 2;

struct Param {
    const char* name;
    const char* annotation;    // stored as text in __annotations__; nullptr for none
    PyTypeObject* exact_type;  // the argument must be of exactly this type; nullptr: any
};

struct Signature {
    const char* name;               // the member's name, used in every argument message
    std::span<const Param> params;  // self first
    const char* return_annotation;
    Impl impl;
    bool generator;  // calling it returns a generator
};

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // any object
    PyObject* doc;          // any object
    PyObject* defaults;     // nullptr (None) or a tuple
    PyObject* annotations;  // nullptr or a dict, created on first read
    PyObject* code;         // code object describing the parameters, for introspection
    PyObject* param_names;  // tuple of interned parameter names
    PyObject* type_params;  // __type_params__ where the interpreter has it: nullptr or a tuple
    PyObject* dict;
    PyObject* weakreflist;
};

extern PyTypeObject MethodFunction_Type;

// Readies the type; idempotent.
[[nodiscard]] bool ready_function_type() noexcept;

// A new function object for `sig`, with __module__ `module`, __qualname__
// `class_name + "." + sig->name`, `defaults` (borrowed; nullptr for None) and a new
// annotation dict built from the signature.
[[nodiscard]] Ref make_function(const Signature* sig, PyObject* module, const char* class_name,
                                PyObject* defaults) noexcept;

// Binds a vectorcall argument vector to the parameters of `func`, filling `bound` with
// borrowed pointers.  `defaults` is the function's __defaults__ held by the caller for
// the duration of the call.  Raises TypeError with the member's messages on failure.
[[nodiscard]] bool bind_arguments(const MethodFunction* func, PyObject* defaults,
                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  PyObject** bound) noexcept;

// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void raise_argument_type(const char* param, const char* expected, PyObject* value) noexcept;

// Checks a result declared as "str" or "bytes": exactly that type or None, otherwise
// TypeError "Expected <label>, got <type>".  Returns false with the error set.
[[nodiscard]] bool check_result_type(PyObject* value, PyTypeObject* type,
                                     const char* label) noexcept;

}  // namespace qmp
