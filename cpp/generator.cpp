// The generator type of glob(): states, send/throw/close, attributes and lifetime.  It
// behaves as a generator function's generator whose body has no exception handler, and it
// runs the body one item per request through glob_step().
#include "generator.hpp"

#include "compat.hpp"
#include "globals.hpp"
#include "names.hpp"

#include <frameobject.h>

namespace qmp {
namespace {

enum class GenState : unsigned char { created, suspended, running, finished };

struct GlobGenerator {
    PyObject_HEAD
    GenState state;
    PyObject* self;      // the MinIOPath being listed; nullptr once finished
    PyObject* pattern;   // the pattern, an exact str; nullptr once finished
    PyObject* objects;   // the listing's iterator; nullptr before the first step
    PyObject* prefix;    // the listing's prefix (str or None); nullptr before the first step
    PyObject* name;      // __name__, a str
    PyObject* qualname;  // __qualname__, a str
    PyObject* frame;     // gi_frame, made when first read; nullptr once finished
    PyObject* weakreflist;
};

// What one resumption produced, as CPython's PySendResult: an item, the end of the body, or
// an error (which, for a finished generator resumed by next(), may be no exception at all).
enum class Outcome : unsigned char { yielded, returned, failed };

// Made once per process while the type is readied, and never freed.
PyObject* glob_code = nullptr;      // gi_code: co_name "glob"
PyObject* glob_name = nullptr;      // "glob"
PyObject* glob_qualname = nullptr;  // "MinIOPath.glob"
bool registered_with_abc = false;

GlobGenerator* as_generator(PyObject* op) noexcept { return reinterpret_cast<GlobGenerator*>(op); }

// -- running the body -----------------------------------------------------------------

// Finishes the generator and releases what it holds.  The state changes first: releasing
// the listing may run its finaliser, which may call back into this generator.
void generator_finish(GlobGenerator* g) noexcept {
    g->state = GenState::finished;
    Py_CLEAR(g->objects);
    Py_CLEAR(g->prefix);
    Py_CLEAR(g->frame);
    Py_CLEAR(g->pattern);
    Py_CLEAR(g->self);
}

// raise RuntimeError("generator raised StopIteration") from the StopIteration that left the
// body.  A generator's frame sets __context__ as well as __cause__; a C caller has to chain
// both by hand.
void convert_stop_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref stop = take_exception();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref runtime_error = take_exception();
    if (!runtime_error) return;  // the new exception could not be made: that error stays
    if (stop) {
        PyException_SetCause(runtime_error.get(), Py_NewRef(stop.get()));  // steals
        PyException_SetContext(runtime_error.get(), stop.release());       // steals
    }
    raise_exception(std::move(runtime_error));
}

// The body left with an exception (or `thrown` into it at the suspension point, where
// nothing handles it): finish, with the exception held while the release runs Python code.
// `convert`: false where the interpreter lets a StopIteration pass (see compat.hpp).
void generator_fail(GlobGenerator* g, bool convert) noexcept {
    {
        PendingError pending;
        generator_finish(g);
        pending.restore();
    }
    if (convert) convert_stop_iteration();
}

// One step of the body.  Its inputs are copied into local references first: the body runs
// Python code, which may do anything to the generator's fields.
Outcome generator_step(GlobGenerator* g, Ref& result) noexcept {
    Ref self = Ref::borrow(g->self);
    Ref pattern = Ref::borrow(g->pattern);
    Ref objects = Ref::borrow(g->objects);
    Ref prefix = Ref::borrow(g->prefix);
    g->state = GenState::running;
    Ref item;
    // Resuming a generator counts as a call, as the evaluation loop counts it.
    if (Py_EnterRecursiveCall("") == 0) {
        item = glob_step(self.get(), pattern.get(), objects, prefix);
        Py_LeaveRecursiveCall();
    }
    if (item && g->state == GenState::running) {
        g->state = GenState::suspended;
        if (g->objects != objects.get()) Py_XSETREF(g->objects, objects.release());
        if (g->prefix != prefix.get()) Py_XSETREF(g->prefix, prefix.release());
        result = std::move(item);
        return Outcome::yielded;
    }
    // The end of the listing, or an error.  (An item is dropped only if the garbage
    // collector's clear finished the generator under the running step; the body then
    // counts as ended.)
    item.reset();
    PendingError pending;
    generator_finish(g);
    objects.reset();  // now, rather than after the error is restored
    prefix.reset();
    pattern.reset();
    self.reset();
    if (!pending) return Outcome::returned;
    pending.restore();
    convert_stop_iteration();
    return Outcome::failed;
}

// One resumption, with the checks in CPython's order: a value sent to a just-started
// generator, then re-entry (before any state is touched, so that a nested call cannot
// release what the running step still uses), then the end.  `thrown`: an exception is set
// and is raised at the suspension point.
Outcome generator_send_ex(GlobGenerator* g, PyObject* arg, bool thrown, Ref& result) noexcept {
    if (g->state == GenState::created && arg && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return Outcome::failed;
    }
    if (g->state == GenState::running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return Outcome::failed;
    }
    if (g->state == GenState::finished) {
        // send() reports the end itself; next() ends silently; a thrown exception propagates.
        return arg && !thrown ? Outcome::returned : Outcome::failed;
    }
    if (thrown) {
        generator_fail(
            g, g->state != GenState::created || compat::stop_iteration_converted_before_start);
        return Outcome::failed;
    }
    return generator_step(g, result);
}

// -- methods ---------------------------------------------------------------------------

PyObject* generator_iternext(PyObject* op) noexcept {
    Ref result;
    generator_send_ex(as_generator(op), nullptr, false, result);
    return result.release();  // nullptr with no exception set: exhausted
}

PyObject* generator_send(PyObject* op, PyObject* arg) noexcept {
    Ref result;
    if (generator_send_ex(as_generator(op), arg, false, result) == Outcome::returned) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result.release();
}

// "%.200s expected %s%zd argument%s, got %zd", the text of CPython's positional-count check.
bool check_throw_count(Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return false;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return false;
    }
    return true;
}

// throw(typ[, val[, tb]]): an exception class is instantiated with val; an instance takes
// no separate value; the exception is then raised at the suspension point.
PyObject* generator_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_throw_count(nargs) || !compat::warn_throw_signature(nargs)) return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc_type = Ref::borrow(typ);
    Ref exc_value = Ref::borrow(val);
    Ref exc_tb = Ref::borrow(tb);
    if (PyExceptionClass_Check(typ)) {
        // Runs the class's constructor; if that fails, its exception is the one thrown.
        PyObject* t = exc_type.release();
        PyObject* v = exc_value.release();
        PyObject* b = exc_tb.release();
        PyErr_NormalizeException(&t, &v, &b);
        exc_type = Ref::steal(t);
        exc_value = Ref::steal(v);
        exc_tb = Ref::steal(b);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc_value = std::move(exc_type);
        exc_type = Ref::borrow(reinterpret_cast<PyObject*>(PyExceptionInstance_Class(typ)));
        if (!exc_tb) exc_tb = Ref::steal(PyException_GetTraceback(typ));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    PyErr_Restore(exc_type.release(), exc_value.release(), exc_tb.release());
    Ref result;
    generator_send_ex(as_generator(op), Py_None, true, result);
    return result.release();  // the body handles nothing: always nullptr, exception set
}

// close(): finishes the generator and releases the listing unconsumed; GeneratorExit, which
// nothing in the body handles, never leaves.
PyObject* generator_close(PyObject* op, PyObject*) noexcept {
    auto* g = as_generator(op);
    if (g->state == GenState::running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    generator_finish(g);
    Py_RETURN_NONE;
}

template <class F>
PyCFunction as_pycfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into generator,\n"
               "return next yielded value or raise StopIteration.")},
    {"throw", as_pycfunction(generator_throw), METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,tb]])\n\n"
               "Raise exception in generator, return next yielded value or raise\n"
               "StopIteration.")},
    {"close", generator_close, METH_NOARGS,
     PyDoc_STR("close() -> raise GeneratorExit inside generator.")},
    compat::class_getitem_method,
    {nullptr, nullptr, 0, nullptr},
};

// -- attributes -----------------------------------------------------------------------

// __name__ and __qualname__ take only a str, and cannot be deleted.
int set_text(PyObject*& field, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

PyObject* generator_get_name(PyObject* op, void*) noexcept {
    return Py_NewRef(as_generator(op)->name);
}

int generator_set_name(PyObject* op, PyObject* value, void*) noexcept {
    return set_text(as_generator(op)->name, value, "__name__ must be set to a string object");
}

PyObject* generator_get_qualname(PyObject* op, void*) noexcept {
    return Py_NewRef(as_generator(op)->qualname);
}

int generator_set_qualname(PyObject* op, PyObject* value, void*) noexcept {
    return set_text(as_generator(op)->qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject* generator_get_running(PyObject* op, void*) noexcept {
    return PyBool_FromLong(as_generator(op)->state == GenState::running);
}

PyObject* generator_get_suspended(PyObject* op, void*) noexcept {
    return PyBool_FromLong(as_generator(op)->state == GenState::suspended);
}

PyObject* generator_get_code(PyObject*, void*) noexcept { return Py_NewRef(glob_code); }

PyObject* generator_get_yieldfrom(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// A frame for gi_code until the generator finishes, None afterwards.  inspect tells a
// just-created generator from a closed one only by gi_frame being None.
PyObject* generator_get_frame(PyObject* op, void*) noexcept {
    auto* g = as_generator(op);
    if (g->state == GenState::finished) Py_RETURN_NONE;
    if (!g->frame) {
        Ref namespace_dict = Ref::borrow(globals.module_dict);
        if (!namespace_dict) {
            namespace_dict = Ref::steal(PyDict_New());
            if (!namespace_dict) return nullptr;
        }
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(glob_code),
                        namespace_dict.get(), nullptr);
        if (!frame) return nullptr;
        g->frame = reinterpret_cast<PyObject*>(frame);
    }
    return Py_NewRef(g->frame);
}

PyGetSetDef generator_getset[] = {
    {"__name__", generator_get_name, generator_set_name, PyDoc_STR("name of the generator"),
     nullptr},
    {"__qualname__", generator_get_qualname, generator_set_qualname,
     PyDoc_STR("qualified name of the generator"), nullptr},
    {"gi_yieldfrom", generator_get_yieldfrom, nullptr,
     PyDoc_STR("object being iterated by yield from, or None"), nullptr},
    {"gi_running", generator_get_running, nullptr, nullptr, nullptr},
    {"gi_frame", generator_get_frame, nullptr, nullptr, nullptr},
    {"gi_suspended", generator_get_suspended, nullptr, nullptr, nullptr},
    {"gi_code", generator_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* generator_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_generator(op)->qualname, op);
}

// -- lifetime -------------------------------------------------------------------------

int generator_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    auto* g = as_generator(op);
    Py_VISIT(g->self);
    Py_VISIT(g->pattern);
    Py_VISIT(g->objects);
    Py_VISIT(g->prefix);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->frame);
    return 0;
}

int generator_clear(PyObject* op) noexcept {
    auto* g = as_generator(op);
    generator_finish(g);
    // The names stay readable: a str subclass could be part of the cycle, so they are
    // replaced by the exact strings rather than cleared.
    Py_SETREF(g->name, Py_NewRef(glob_name));
    Py_SETREF(g->qualname, Py_NewRef(glob_qualname));
    return 0;
}

// A suspended generator has no cleanup code to run: dropping it just releases its fields.
void generator_dealloc(PyObject* op) noexcept {
    auto* g = as_generator(op);
    PyObject_GC_UnTrack(op);
    if (g->weakreflist) PyObject_ClearWeakRefs(op);
    generator_finish(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(op);
}

// Named as CPython's own type, so that messages read "'generator' object ...".
// clang-format off: the header macro ends in a comma of its own
PyTypeObject GlobGenerator_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quorvex.minio.path.generator",
    .tp_basicsize = sizeof(GlobGenerator),
    .tp_dealloc = generator_dealloc,
    .tp_repr = generator_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = PyDoc_STR("The generator returned by MinIOPath.glob()."),
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(GlobGenerator, weakreflist),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
};
// clang-format on

// gi_code: an empty code object named glob, with the qualified name of the member.
PyObject* make_glob_code() noexcept {
    PyCodeObject* empty = PyCode_NewEmpty("quorvex/minio/path", "glob", 0);
    if (!empty) return nullptr;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));
    Ref replace = getattr(code.get(), names.replace);
    if (!replace) return nullptr;
    return call_kw(replace.get(), names.kw_co_qualname, glob_qualname).release();
}

// collections.abc.Generator.register(type)
bool register_with_abc() noexcept {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref generator_abc = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!generator_abc) return false;
    Ref register_method = Ref::steal(PyObject_GetAttrString(generator_abc.get(), "register"));
    if (!register_method) return false;
    return static_cast<bool>(
        call(register_method.get(), reinterpret_cast<PyObject*>(&GlobGenerator_Type)));
}

}  // namespace

bool ready_generator_type() noexcept {
    // Made once; a failed attempt leaves the slot empty for the next one.
    if (!glob_name) glob_name = PyUnicode_InternFromString("glob");
    if (!glob_name) return false;
    if (!glob_qualname) glob_qualname = PyUnicode_InternFromString("MinIOPath.glob");
    if (!glob_qualname) return false;
    if (!glob_code) glob_code = make_glob_code();
    if (!glob_code) return false;
    if (GlobGenerator_Type.tp_flags & Py_TPFLAGS_READY) return true;
    return PyType_Ready(&GlobGenerator_Type) == 0;
}

bool register_generator_abc() noexcept {
    if (registered_with_abc) return true;
    if (!ready_generator_type()) return false;  // a failure of our own, not of the ABC's
    if (register_with_abc()) {
        registered_with_abc = true;
        return true;
    }
    // Generators still work without the registration: report it and carry on.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(&GlobGenerator_Type));
    return PyErr_WarnEx(PyExc_RuntimeWarning,
                        "glob generators could not be registered with "
                        "collections.abc.Generator",
                        1) == 0;
}

Ref make_glob_generator(PyObject* self, PyObject* pattern) noexcept {
    if (!ready_generator_type()) return {};
    auto* g = PyObject_GC_New(GlobGenerator, &GlobGenerator_Type);
    if (!g) return {};
    // No failure is possible from here on.
    g->state = GenState::created;
    g->self = Py_NewRef(self);
    g->pattern = Py_NewRef(pattern);
    g->objects = nullptr;
    g->prefix = nullptr;
    g->name = Py_NewRef(glob_name);
    g->qualname = Py_NewRef(glob_qualname);
    g->frame = nullptr;
    g->weakreflist = nullptr;
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace qmp
