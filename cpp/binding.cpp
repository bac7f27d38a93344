// Argument binding shared by every member: positional-or-keyword parameters, defaults
// read from the function object at each call, exact-type checks, and the TypeError texts.
#include "function.hpp"

#include <algorithm>

namespace qmp {
namespace {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_count(const char* name, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    const char* quantity = "exactly";
    Py_ssize_t expected = min;
    if (min < max) {
        if (given < min) {
            quantity = "at least";
        } else {
            quantity = "at most";
            expected = max;
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, quantity, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, or -1.  Identity first: keyword names are usually
// interned; then by value, since names built at run time are not.
Py_ssize_t find_param(PyObject* param_names, PyObject* key) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(param_names, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pname = PyTuple_GET_ITEM(param_names, i);
        if (PyUnicode_GET_LENGTH(pname) == PyUnicode_GET_LENGTH(key) &&
            PyUnicode_Compare(pname, key) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

void raise_argument_type(const char* param, const char* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(value)->tp_name);
}

bool check_result_type(PyObject* value, PyTypeObject* type, const char* label) noexcept {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", label, Py_TYPE(value)->tp_name);
    return false;
}

bool bind_arguments(const MethodFunction* func, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    const Signature* sig = func->sig;
    const auto nparams = static_cast<Py_ssize_t>(sig->params.size());
    const Py_ssize_t ndefaults = defaults ? std::min(PyTuple_GET_SIZE(defaults), nparams) : 0;
    const Py_ssize_t nrequired = nparams - ndefaults;

    if (nargs > nparams) {
        raise_count(sig->name, nrequired, nparams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams; ++i) bound[i] = nullptr;

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig->name);
                return false;
            }
            const Py_ssize_t index = find_param(func->param_names, key);
            if (index < 0) {
                if (PyErr_Occurred()) return false;
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig->name, key);
                return false;
            }
            if (bound[index]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig->name, key);
                return false;
            }
            bound[index] = args[nargs + k];
        }
    }

    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (bound[i]) continue;
        if (i >= nrequired) {
            bound[i] = PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - nparams + i);
            continue;
        }
        raise_count(sig->name, nrequired, nparams, nargs);
        return false;
    }

    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& param = sig->params[static_cast<std::size_t>(i)];
        if (param.exact_type && !Py_IS_TYPE(bound[i], param.exact_type)) {
            raise_argument_type(param.name, param.exact_type->tp_name, bound[i]);
            return false;
        }
    }
    return true;
}

}  // namespace qmp
