// Identity: which bucket and which object a path names, its text form and its hash.
#include "function.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"

namespace qmp {

Ref posix_text(PyObject* self) noexcept {
    Ref path = getattr(self, names.path);
    if (!path) return {};
    return call_method(path.get(), names.as_posix);
}

Ref directory_prefix(PyObject* self) noexcept {
    Ref text = posix_text(self);
    if (!text) return {};
    Ref stripped = call_method(text.get(), names.strip, names.slash);
    if (!stripped) return {};
    return Ref::steal(PyNumber_Add(stripped.get(), names.slash));
}

// if not Local.hasattr(self._section_key_on_thread()): self._valid_reset()
// configer = EnvConfig.init_configer()
// return configer.get(Local.getattr(self._section_key_on_thread()), "bucket_name")
PyObject* bucket_name_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref local = load_global(names.Local);
    if (!local) return nullptr;
    Ref has = getattr(local.get(), names.hasattr);
    if (!has) return nullptr;
    Ref key = call_method(self, names._section_key_on_thread);
    if (!key) return nullptr;
    Ref present = call(has.get(), key.get());
    if (!present) return nullptr;
    const int is_present = truth(present.get());
    if (is_present < 0) return nullptr;
    if (!is_present && !call_method(self, names._valid_reset)) return nullptr;

    Ref env_config = load_global(names.EnvConfig);
    if (!env_config) return nullptr;
    Ref configer = call_method(env_config.get(), names.init_configer);
    if (!configer) return nullptr;
    Ref get = getattr(configer.get(), names.get);
    if (!get) return nullptr;

    local = load_global(names.Local);
    if (!local) return nullptr;
    Ref get_section = getattr(local.get(), names.getattr);
    if (!get_section) return nullptr;
    key = call_method(self, names._section_key_on_thread);
    if (!key) return nullptr;
    Ref section = call(get_section.get(), key.get());
    if (!section) return nullptr;

    Ref value = call(get.get(), section.get(), names.bucket_name);
    if (!value || !check_result_type(value.get(), &PyUnicode_Type, "unicode")) return nullptr;
    return value.release();
}

// return f"(bucket='{self.bucket_name}', path='{self.path.as_posix()}')"
PyObject* str_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return nullptr;
    Ref bucket_text = format_field(bucket.get());
    if (!bucket_text) return nullptr;
    Ref text = posix_text(self);
    if (!text) return nullptr;
    Ref path_text = format_field(text.get());
    if (!path_text) return nullptr;
    return PyUnicode_FromFormat("(bucket='%U', path='%U')", bucket_text.get(), path_text.get());
}

// return hash((self.bucket_name, self.path))
PyObject* hash_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return nullptr;
    Ref path = getattr(self, names.path);
    if (!path) return nullptr;
    Ref pair = Ref::steal(PyTuple_Pack(2, bucket.get(), path.get()));
    if (!pair) return nullptr;
    const Py_hash_t hash = PyObject_Hash(pair.get());
    if (hash == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(hash);
}

}  // namespace qmp
