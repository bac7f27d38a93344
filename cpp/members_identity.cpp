// Identity: which bucket and which object a path names, its text form and its hash.
#include "function.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

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

int names_root(PyObject* text) noexcept {
    // Anything but a str is no name of ours: it goes on to the client, which judges it.
    if (!PyUnicode_Check(text)) return 0;
    if (PyUnicode_CheckExact(text)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyUnicode_READ(kind, data, i) != '/') return 0;
        }
        return 1;
    }
    Ref stripped = call_method(text, names.strip, names.slash);
    if (!stripped) return -1;
    const int rest = truth(stripped.get());
    return rest < 0 ? -1 : !rest;
}

// if not Local.hasattr(self._section_key_on_thread()): self._valid_reset()
// configer = EnvConfig.init_configer()
// return configer.get(Local.getattr(self._section_key_on_thread()), "bucket_name")
PyObject* bucket_name_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref local = load_global(names.Local);
    if (!local) return nullptr;
    Method has;
    if (!has.lookup(local.get(), names.hasattr)) return nullptr;
    Ref key = call_method(self, names._section_key_on_thread);
    if (!key) return nullptr;
    Ref present = has(key.get());
    if (!present) return nullptr;
    const int is_present = truth(present.get());
    if (is_present < 0) return nullptr;
    if (!is_present && !call_method(self, names._valid_reset)) return nullptr;

    Ref env_config = load_global(names.EnvConfig);
    if (!env_config) return nullptr;
    Ref configer = call_method(env_config.get(), names.init_configer);
    if (!configer) return nullptr;
    Method get;
    if (!get.lookup(configer.get(), names.get)) return nullptr;

    local = load_global(names.Local);
    if (!local) return nullptr;
    Method get_section;
    if (!get_section.lookup(local.get(), names.getattr)) return nullptr;
    key = call_method(self, names._section_key_on_thread);
    if (!key) return nullptr;
    Ref section = get_section(key.get());
    if (!section) return nullptr;

    Ref value = get(section.get(), names.bucket_name);
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
    return join_texts({names.str_head, bucket_text.get(), names.str_middle, path_text.get(),
                       names.str_tail})
        .release();
}

namespace {

// hash((first, second)) without making the tuple: the tuple hash of the interpreter
// (xxHash's mixing of the items' hashes), step for step.
Py_hash_t pair_hash(PyObject* first, PyObject* second) noexcept {
#if SIZEOF_PY_UHASH_T > 4
    constexpr Py_uhash_t prime_1 = 11400714785074694791ULL;
    constexpr Py_uhash_t prime_2 = 14029467366897019727ULL;
    constexpr Py_uhash_t prime_5 = 2870177450012600261ULL;
    constexpr auto rotate = [](Py_uhash_t x) { return (x << 31) | (x >> 33); };
#else
    constexpr Py_uhash_t prime_1 = 2654435761UL;
    constexpr Py_uhash_t prime_2 = 2246822519UL;
    constexpr Py_uhash_t prime_5 = 374761393UL;
    constexpr auto rotate = [](Py_uhash_t x) { return (x << 13) | (x >> 19); };
#endif
    Py_uhash_t acc = prime_5;
    for (PyObject* item : {first, second}) {
        const Py_hash_t lane = PyObject_Hash(item);
        if (lane == -1) return -1;
        acc += static_cast<Py_uhash_t>(lane) * prime_2;
        acc = rotate(acc);
        acc *= prime_1;
    }
    acc += static_cast<Py_uhash_t>(2) ^ (prime_5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}

}  // namespace

// return hash((self.bucket_name, self.path))
PyObject* hash_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return nullptr;
    Ref path = getattr(self, names.path);
    if (!path) return nullptr;
    const Py_hash_t hash = pair_hash(bucket.get(), path.get());
    if (hash == -1) return nullptr;
    return PyLong_FromSsize_t(hash);
}

}  // namespace qmp
