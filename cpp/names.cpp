#include "names.hpp"

#include <initializer_list>

namespace qmp {
namespace {

bool make_tuple(PyObject*& slot, std::initializer_list<PyObject*> items) noexcept {
    if (slot) return true;
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return false;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    slot = t;
    return true;
}

bool make_text(PyObject*& slot, const char* text) noexcept {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

bool init_names() noexcept {
#define QMP_INTERN_NAME(n) \
    if (!make_text(names.n, #n)) return false;
    QMP_NAMES(QMP_INTERN_NAME)
#undef QMP_INTERN_NAME
    if (!make_text(names.slash, "/") || !make_text(names.empty, "") ||
        !make_text(names.no_such_bucket, "NoSuchBucket") ||
        !make_text(names.seek_end, "SEEK_END")) {
        return false;
    }
    if (!names.int_zero && !(names.int_zero = PyLong_FromLong(0))) return false;
    PyObject* prefix = PyUnicode_InternFromString("prefix");
    if (!prefix) return false;
    PyObject* recursive = PyUnicode_InternFromString("recursive");
    if (!recursive) {
        Py_DECREF(prefix);
        return false;
    }
    PyObject* length = PyUnicode_InternFromString("length");
    PyObject* flush = length ? PyUnicode_InternFromString("flush") : nullptr;
    const bool ok = flush && make_tuple(names.kw_prefix_recursive, {prefix, recursive}) &&
                    make_tuple(names.kw_length, {length}) &&
                    make_tuple(names.kw_flush, {flush}) &&
                    make_tuple(names.kw_path, {names.path});
    Py_DECREF(prefix);
    Py_DECREF(recursive);
    Py_XDECREF(length);
    Py_XDECREF(flush);
    return ok;
}

}  // namespace qmp
