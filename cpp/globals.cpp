#include "globals.hpp"

namespace qmp {

Ref load_global(PyObject* name) noexcept {
    // Borrowed lookups become strong at once: the next call may change either dict.
    PyObject* value = nullptr;
    if (globals.module_dict) {
        value = PyDict_GetItemWithError(globals.module_dict, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
    }
    if (globals.builtins_dict) {
        value = PyDict_GetItemWithError(globals.builtins_dict, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace qmp
