// Module loading (PyInit_path, the create and exec steps), the imports of the module body
// and the assembly of the class MinIOPath from its member table.
#include <atomic>
#include <cstdint>
#include <span>

#include "function.hpp"
#include "generator.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"

namespace qmp {
namespace {

constexpr const char module_qualified_name[] = "quorvex.minio.path";
constexpr const char class_name[] = "MinIOPath";

// -- the member table -----------------------------------------------------------------

enum class Wrap : unsigned char { plain, retry, property, property_of_retry };

constexpr Param self_only[] = {{"self", nullptr, nullptr}};
constexpr Param write_params[] = {{"self", nullptr, nullptr}, {"data", "bytes", &PyBytes_Type}};
constexpr Param upload_params[] = {{"self", nullptr, nullptr},
                                   {"local_path", "str", &PyUnicode_Type}};
constexpr Param delete_params[] = {{"self", nullptr, nullptr}, {"recursive", "bool", nullptr}};
constexpr Param glob_params[] = {{"self", nullptr, nullptr}, {"pattern", "str", &PyUnicode_Type}};

enum class Default : unsigned char { none, true_value, star };

struct Member {
    Signature sig;
    Wrap wrap;
    Default defaults;
};

// Namespace order: the class body lists its members in this order.
constexpr Member members[] = {
    {{"bucket_name", self_only, "str", bucket_name_impl, false}, Wrap::property, Default::none},
    {{"bucket_exists", self_only, "bool", bucket_exists_impl, false},
     Wrap::property_of_retry,
     Default::none},
    {{"create_bucket", self_only, "None", create_bucket_impl, false}, Wrap::retry, Default::none},
    {{"delete_bucket", self_only, "None", delete_bucket_impl, false}, Wrap::plain, Default::none},
    {{"exists", self_only, "bool", exists_impl, false}, Wrap::property_of_retry, Default::none},
    {{"is_dir", self_only, "bool", is_dir_impl, false}, Wrap::retry, Default::none},
    {{"read", self_only, "bytes", read_impl, false}, Wrap::retry, Default::none},
    {{"write", write_params, "None", write_impl, false}, Wrap::retry, Default::none},
    {{"upload", upload_params, "None", upload_impl, false}, Wrap::retry, Default::none},
    {{"delete", delete_params, "None", delete_impl, false}, Wrap::retry, Default::true_value},
    {{"mkdir", self_only, "None", mkdir_impl, false}, Wrap::plain, Default::none},
    {{"glob", glob_params, "Generator['MinIOPath', Any, Any]", glob_impl, true},
     Wrap::retry,
     Default::star},
    {{"mtime", self_only, "datetime.datetime", mtime_impl, false},
     Wrap::property_of_retry,
     Default::none},
    {{"__str__", self_only, "str", str_impl, false}, Wrap::plain, Default::none},
    {{"__hash__", self_only, "int", hash_impl, false}, Wrap::plain, Default::none},
};

// The binder fills a fixed array of max_params arguments: every member must fit in it.
constexpr bool every_member_fits_the_binding_array() {
    for (const Member& member : members) {
        if (member.sig.params.size() > max_params) return false;
    }
    return true;
}
static_assert(every_member_fits_the_binding_array(),
              "a member has more parameters than max_params (function.hpp) allows");

// -- process-wide loading state -------------------------------------------------------

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* held_module = nullptr;      // strong; the one module object of the process
PyObject* executed_module = nullptr;  // strong; the module object whose exec succeeded

constexpr const char interpreter_change_message[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

// module.<attr> = <module spec>.<field>, skipping a field the module spec does not have.
bool copy_spec_field(PyObject* module_spec, PyObject* module, PyObject* field, PyObject* attr,
                     bool skip_none) noexcept {
    Ref value = getattr(module_spec, field);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttr(module, attr, value.get()) == 0;
}

PyObject* path_create(PyObject* module_spec, PyModuleDef*) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, interpreter_change_message);
        return nullptr;
    }
    if (held_module) return Py_NewRef(held_module);  // a new reference, every time
    if (!init_names()) return nullptr;

    Ref name = getattr(module_spec, names.name);
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* made = module.get();
    if (!copy_spec_field(module_spec, made, names.loader, names.__loader__, false) ||
        !copy_spec_field(module_spec, made, names.origin, names.__file__, false) ||
        !copy_spec_field(module_spec, made, names.parent, names.__package__, false) ||
        !copy_spec_field(module_spec, made, names.submodule_search_locations, names.__path__,
                         true)) {
        return nullptr;
    }
    held_module = Py_NewRef(module.get());
    return module.release();
}

// -- the module body: imports ---------------------------------------------------------

// import <name>: binds the top-level module.
bool import_module(PyObject* module_dict, const char* name) noexcept {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return false;
    Ref imported =
        Ref::steal(PyImport_ImportModuleLevelObject(text.get(), module_dict, nullptr, nullptr, 0));
    if (!imported) return false;
    return PyDict_SetItem(module_dict, text.get(), imported.get()) == 0;
}

// from <source> import <names...>: each name is fetched and bound in turn; a missing
// attribute may still be a submodule already in sys.modules.
bool import_from(PyObject* module_dict, const char* source,
                 std::span<const char* const> fromlist) noexcept {
    Ref source_name = Ref::steal(PyUnicode_FromString(source));
    if (!source_name) return false;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fromlist.size())));
    if (!list) return false;
    for (std::size_t i = 0; i < fromlist.size(); ++i) {
        PyObject* item = PyUnicode_InternFromString(fromlist[i]);
        if (!item) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(source_name.get(), module_dict, nullptr, list.get(), 0));
    if (!imported) return false;
    for (std::size_t i = 0; i < fromlist.size(); ++i) {
        PyObject* attr = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i));
        Ref value = getattr(imported.get(), attr);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", source_name.get(), attr));
            if (!full) return false;
            PyObject* sub = PyImport_GetModule(full.get());  // new reference or NULL
            if (!sub) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
                }
                return false;
            }
            value = Ref::steal(sub);
        }
        if (PyDict_SetItem(module_dict, attr, value.get()) < 0) return false;
    }
    return true;
}

bool run_imports(PyObject* module_dict) noexcept {
    static constexpr const char* typing_names[] = {"Any", "Generator"};
    static constexpr const char* minio_names[] = {"Minio"};
    static constexpr const char* delete_names[] = {"DeleteObject"};
    static constexpr const char* error_names[] = {"S3Error"};
    static constexpr const char* base_names[] = {"retry", "BasePath", "Local"};
    static constexpr const char* config_names[] = {"EnvConfig"};
    return import_module(module_dict, "datetime") && import_module(module_dict, "fnmatch") &&
           import_module(module_dict, "io") && import_module(module_dict, "pathlib") &&
           import_from(module_dict, "typing", typing_names) &&
           import_from(module_dict, "minio", minio_names) &&
           import_from(module_dict, "minio.deleteobjects", delete_names) &&
           import_from(module_dict, "minio.error", error_names) &&
           import_from(module_dict, "quorvex.base", base_names) &&
           import_from(module_dict, "quorvex.config", config_names);
}

// -- the module body: the class -------------------------------------------------------

// Replaces bases that are not classes but offer __mro_entries__, as a class statement does.
// Returns the bases to use; `replaced` tells whether any base was replaced.
Ref resolve_bases(PyObject* orig_bases, bool& replaced) noexcept {
    replaced = false;
    Ref result = Ref::borrow(orig_bases);
    Ref list;  // built lazily, once the first base is replaced
    const Py_ssize_t n = PyTuple_GET_SIZE(orig_bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(orig_bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref meth = getattr(base, names.__mro_entries__);
            if (!meth) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
                PyErr_Clear();
            } else {
                entries = call(meth.get(), orig_bases);
                if (!entries) return {};
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return {};
                }
            }
        }
        if (!entries && !list) continue;
        if (!list) {
            list = Ref::steal(PyList_New(0));
            if (!list) return {};
            for (Py_ssize_t j = 0; j < i; ++j) {
                if (PyList_Append(list.get(), PyTuple_GET_ITEM(orig_bases, j)) < 0) return {};
            }
        }
        if (entries) {
            replaced = true;
            const Py_ssize_t m = PyTuple_GET_SIZE(entries.get());
            for (Py_ssize_t j = 0; j < m; ++j) {
                if (PyList_Append(list.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) return {};
            }
        } else if (PyList_Append(list.get(), base) < 0) {
            return {};
        }
    }
    if (list) result = Ref::steal(PyList_AsTuple(list.get()));
    return result;
}

// The most derived metaclass of the bases, `type` when there are none.
Ref calculate_metaclass(PyObject* bases) noexcept {
    PyTypeObject* winner = nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (!winner || PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        if (PyType_IsSubtype(winner, candidate)) continue;
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return {};
    }
    if (!winner) winner = &PyType_Type;
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref make_defaults(Default kind) noexcept {
    switch (kind) {
        case Default::true_value: return Ref::steal(PyTuple_Pack(1, Py_True));
        case Default::star: return Ref::steal(PyTuple_Pack(1, names.star));
        case Default::none: break;
    }
    return Ref::borrow(Py_None);
}

// One member: retry() first, then the function, then the decorator and property.
Ref build_member(const Member& member, PyObject* module_name) noexcept {
    const bool retried = member.wrap == Wrap::retry || member.wrap == Wrap::property_of_retry;
    Ref decorator;
    if (retried) {
        Ref retry = load_global(names.retry);
        if (!retry) return {};
        decorator = call(retry.get());
        if (!decorator) return {};
    }
    Ref defaults = make_defaults(member.defaults);
    if (!defaults) return {};
    Ref value = make_function(&member.sig, module_name, class_name, defaults.get());
    if (!value) return {};
    if (retried) {
        value = call(decorator.get(), value.get());
        if (!value) return {};
    }
    if (member.wrap == Wrap::property || member.wrap == Wrap::property_of_retry) {
        value = call(globals.property, value.get());
    }
    return value;
}

bool create_class(PyObject* module_dict) noexcept {
    Ref module_name = Ref::steal(PyUnicode_InternFromString(module_qualified_name));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(class_name));
    if (!module_name || !qualname) return false;

    Ref base = load_global(names.BasePath);
    if (!base) return false;
    Ref orig_bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!orig_bases) return false;
    bool replaced = false;
    Ref bases = resolve_bases(orig_bases.get(), replaced);
    if (!bases) return false;
    Ref metaclass = calculate_metaclass(bases.get());
    if (!metaclass) return false;

    Ref ns;
    Ref prepare = getattr(metaclass.get(), names.__prepare__);
    if (prepare) {
        ns = call(prepare.get(), qualname.get(), bases.get());
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return false;

    // client: "Minio", an annotation stored as text.
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), names.client, names.Minio) < 0) {
        return false;
    }
    Ref section = Ref::steal(PyTuple_Pack(1, names.minio_section));
    if (!section) return false;
    if (PyObject_SetItem(ns.get(), names.__module__, module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), names.__qualname__, qualname.get()) < 0 ||
        PyObject_SetItem(ns.get(), names.__annotations__, annotations.get()) < 0 ||
        PyObject_SetItem(ns.get(), names._section, section.get()) < 0) {
        return false;
    }
    Ref creator = load_global(names.Minio);
    if (!creator || PyObject_SetItem(ns.get(), names._creator, creator.get()) < 0) return false;

    for (const Member& member : members) {
        Ref value = build_member(member, module_name.get());
        if (!value) return false;
        Ref key = Ref::steal(PyUnicode_InternFromString(member.sig.name));
        if (!key || PyObject_SetItem(ns.get(), key.get(), value.get()) < 0) return false;
    }
    if (replaced && PyObject_SetItem(ns.get(), names.__orig_bases__, orig_bases.get()) < 0) {
        return false;
    }

    Ref cls = call(metaclass.get(), qualname.get(), bases.get(), ns.get());
    if (!cls) return false;
    return PyDict_SetItem(module_dict, names.MinIOPath, cls.get()) == 0;
}

// -- the exec step --------------------------------------------------------------------

bool capture_builtin(PyObject* builtins_dict, PyObject* name, PyObject*& slot) noexcept {
    PyObject* value = PyDict_GetItemWithError(builtins_dict, name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return false;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return true;
}

bool warn_on_version_mismatch() noexcept {
    const unsigned long runtime = Py_Version;
    const auto major = static_cast<int>((runtime >> 24) & 0xff);
    const auto minor = static_cast<int>((runtime >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_qualified_name,
                            "does not match", major, minor) == 0;
}

bool exec_body(PyObject* module, bool& entered) noexcept {
    PyObject* module_dict = PyModule_GetDict(module);  // borrowed
    if (!module_dict) return false;

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    if (PyObject_SetAttr(module, names.__builtins__, builtins.get()) < 0) return false;

    if (!warn_on_version_mismatch()) return false;

    Ref modules = Ref::borrow(PySys_GetObject("modules"));
    if (!modules) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.modules");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(module_qualified_name));
    if (!key) return false;
    // The module body runs with the module in sys.modules, as a Python module's body does,
    // so that what it imports can import it in turn.  The import system has put it there
    // already; a loader that runs the steps itself may not have, and then this step makes
    // the entry, and takes it back if the step fails (path_exec), so that no later import
    // finds a half-made module.
    Ref entry = Ref::steal(PyObject_GetItem(modules.get(), key.get()));
    if (!entry) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        if (PyObject_SetItem(modules.get(), key.get(), module) < 0) return false;
        entered = true;
    }

    PyObject* builtins_dict = PyModule_GetDict(builtins.get());
    if (!builtins_dict || !capture_builtin(builtins_dict, names.property, globals.property) ||
        !capture_builtin(builtins_dict, names.print, globals.print) ||
        !capture_builtin(builtins_dict, names.NotImplementedError, globals.not_implemented_error)) {
        return false;
    }
    Py_XSETREF(globals.module_dict, Py_NewRef(module_dict));
    Py_XSETREF(globals.builtins_dict, Py_NewRef(builtins_dict));

    if (!ready_function_type() || !ready_generator_type() || !register_generator_abc()) {
        return false;
    }
    return run_imports(module_dict) && create_class(module_dict);
}

// del sys.modules["quorvex.minio.path"] when it is `module`, keeping the pending error.
void forget_module_entry(PyObject* module) noexcept {
    PendingError pending;
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    Ref key = Ref::steal(PyUnicode_InternFromString(module_qualified_name));
    if (modules && key) {
        Ref entry = Ref::steal(PyObject_GetItem(modules, key.get()));
        if (entry.get() == module && PyObject_DelItem(modules, key.get()) < 0) {
            PyErr_WriteUnraisable(module);
        }
    }
    PyErr_Clear();  // a missing entry is no failure here
    pending.restore();
}

int path_exec(PyObject* module) noexcept {
    if (executed_module) {
        if (module == executed_module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'path' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!init_names()) return -1;
    bool entered = false;
    if (!exec_body(module, entered)) {
        // Release the module so that a later import runs create and exec again: drop our
        // hold on it and the sys.modules entry this step made, if it still names it.
        if (entered) forget_module_entry(module);
        if (module == held_module) Py_CLEAR(held_module);
        return -1;
    }
    executed_module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot path_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(path_create)},
    {Py_mod_exec, reinterpret_cast<void*>(path_exec)},
    {0, nullptr},
};

PyModuleDef path_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "path",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = path_slots,
};

}  // namespace
}  // namespace qmp

PyMODINIT_FUNC PyInit_path(void) { return PyModuleDef_Init(&qmp::path_def); }
