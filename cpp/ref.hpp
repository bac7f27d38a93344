// Owned references, pending errors and call helpers shared by every source file.
//
// Conventions: a raw PyObject* parameter is borrowed; helpers return Ref (empty means a
// Python error is set) or int (-1 error, 0/1 answer).  Only functions whose address goes
// into a CPython table hand out raw owned pointers, through Ref::release().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace qmp {

class Ref {
public:
    Ref() noexcept = default;
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);  // last: the old value's finaliser may run Python code
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the error indicator while cleanup code runs.  Python code must never be called
// with an error set, and an exception raised from C is not chained to the one that was
// pending, so the chaining of a try/finally is done here by hand.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    explicit operator bool() const noexcept { return type_ != nullptr; }

    // Puts the held error back as the current one.
    void restore() noexcept {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(tb_, nullptr));
    }

    // The cleanup raised: its exception wins and the held one becomes its __context__,
    // as when an exception leaves a finally block.
    void become_context_of_current() noexcept {
        if (!type_) return;
        // The current error is taken out first: normalising the held one may call its
        // class, which must not run with an error set (it would fail with SystemError
        // and leave no current error behind).
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_) PyException_SetTraceback(value_, tb_);
        PyErr_NormalizeException(&t, &v, &tb);
        if (v && v != value_) {
            PyException_SetContext(v, std::exchange(value_, nullptr));  // steals
        }
        PyErr_Restore(t, v, tb);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// While alive, makes `exc` the exception being handled (what sys.exc_info() reports and
// what an exception raised meanwhile takes as its __context__), as inside an except block.
class HandledException {
public:
    explicit HandledException(PyObject* exc) noexcept {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), Py_NewRef(exc),
                         PyException_GetTraceback(exc));
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() { PyErr_SetExcInfo(type_, value_, tb_); }  // steals the saved state

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// The current exception, normalised and with its traceback attached, taken out of the
// error indicator (which is left clear).  Empty only if no exception was set.
[[nodiscard]] inline Ref take_exception() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const Ref owned_type = Ref::steal(type);
    const Ref owned_tb = Ref::steal(tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    return Ref::steal(value);
}

// raise exc: makes the exception instance the current one again, with its traceback.
inline void raise_exception(Ref exc) noexcept {
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyObject* tb = PyException_GetTraceback(exc.get());
    PyErr_Restore(type, exc.release(), tb);
}

[[nodiscard]] inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// f(*args): positional arguments only.  Slot 0 of the vector is reserved so that a bound
// method or a wrapper can prepend its own first argument without copying.
template <class... A>
[[nodiscard]] Ref call(PyObject* f, A*... args) noexcept {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(*positional, **dict(zip(kwnames, trailing))): the last len(kwnames) arguments are the
// values of the keywords named in kwnames.
template <class... A>
[[nodiscard]] Ref call_kw(PyObject* f, PyObject* kwnames, A*... args) noexcept {
    PyObject* argv[] = {nullptr, args...};
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(
        f, argv + 1, (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args) for arguments already evaluated: the attribute is looked up, then
// called, without making a bound method when the attribute is a plain function.
template <class... A>
[[nodiscard]] Ref call_method(PyObject* obj, PyObject* name, A*... args) noexcept {
    PyObject* argv[] = {nullptr, obj, args...};  // slot 0 reserved for the callee's use
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A method of obj found as the interpreter finds it before a call (obj.name(...)): a
// plain function of the type is kept unbound, with obj as its first argument, so that no
// bound-method object is made; anything else is the attribute's value, called as it is.
// The lookup happens when lookup() runs, so the order of evaluation stays that of the
// Python expression.
class Method {
public:
    [[nodiscard]] bool lookup(PyObject* obj, PyObject* name) noexcept {
#if PY_VERSION_HEX < 0x030D0000
        PyObject* found = nullptr;
        const int unbound = _PyObject_GetMethod(obj, name, &found);
        callable_ = Ref::steal(found);
        self_ = unbound ? Ref::borrow(obj) : Ref();
#else
        callable_ = getattr(obj, name);
#endif
        return static_cast<bool>(callable_);
    }

    // method(*args)
    template <class... A>
    [[nodiscard]] Ref operator()(A*... args) const noexcept {
        return call_kw(nullptr, args...);
    }

    // method(*positional, **dict(zip(kwnames, trailing))); kwnames may be nullptr.
    template <class... A>
    [[nodiscard]] Ref call_kw(PyObject* kwnames, A*... args) const noexcept {
        // Slot 0 is reserved for the callee's use; slot 1 holds self for an unbound method.
        PyObject* argv[] = {nullptr, self_.get(), args...};
        const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
        const bool with_self = static_cast<bool>(self_);
        PyObject* const* start = with_self ? argv + 1 : argv + 2;
        const std::size_t nargs = sizeof...(A) - nkw + (with_self ? 1 : 0);
        return Ref::steal(PyObject_Vectorcall(callable_.get(), start,
                                              nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    Ref callable_;
    Ref self_;  // set when callable_ is a function of the type, not yet bound
};

// The concatenation of str objects, made in one allocation as an f-string makes its
// result from its pieces.
[[nodiscard]] inline Ref join_texts(std::initializer_list<PyObject*> parts) noexcept {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        if (part_max > max_char) max_char = part_max;
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    if (!text) return {};
    const int kind = PyUnicode_KIND(text.get());
    char* data = static_cast<char*>(PyUnicode_DATA(text.get()));
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(part), static_cast<std::size_t>(n * kind));
        } else if (PyUnicode_CopyCharacters(text.get(), at, part, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return text;
}

// Truth test: -1 error, 0 false, 1 true.
[[nodiscard]] inline int truth(PyObject* value) noexcept { return PyObject_IsTrue(value); }

// The truth of obj.<name>: -1 error, 0 false, 1 true.
[[nodiscard]] inline int attribute_truth(PyObject* obj, PyObject* name) noexcept {
    Ref value = getattr(obj, name);
    if (!value) return -1;
    return truth(value.get());
}

// format(value, "") as an f-string field without conversion does it: a str is taken as it is.
[[nodiscard]] inline Ref format_field(PyObject* value) noexcept {
    return Ref::steal(PyObject_Format(value, nullptr));
}

}  // namespace qmp
