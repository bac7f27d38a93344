// The module namespace, the builtins it falls back on, and the three built-ins captured
// once while the module loads.
#pragma once

#include "ref.hpp"

namespace qmp {

struct ModuleGlobals {
    PyObject* module_dict = nullptr;    // the namespace of the executed module (strong)
    PyObject* builtins_dict = nullptr;  // the builtins module's namespace (strong)

    // Captured at load time; later changes to the builtins module do not affect them.
    PyObject* property = nullptr;
    PyObject* print = nullptr;
    PyObject* not_implemented_error = nullptr;
};

inline ModuleGlobals globals;

// A module-level name, resolved now: the module namespace first, then the builtins,
// otherwise NameError "name '...' is not defined".
[[nodiscard]] Ref load_global(PyObject* name) noexcept;

}  // namespace qmp
