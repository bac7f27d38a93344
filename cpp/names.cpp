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
#define QMP_INTERN_TEXT(n, text) \
    if (!make_text(names.n, text)) return false;
    QMP_TEXTS(QMP_INTERN_TEXT)
#undef QMP_INTERN_TEXT
    if (!names.int_zero) names.int_zero = PyLong_FromLong(0);
    if (!names.int_zero) return false;
    return make_tuple(names.kw_prefix_recursive, {names.prefix, names.recursive}) &&
           make_tuple(names.kw_length, {names.length}) &&
           make_tuple(names.kw_flush, {names.flush}) && make_tuple(names.kw_path, {names.path}) &&
           make_tuple(names.kw_co_qualname, {names.co_qualname});
}

}  // namespace qmp
