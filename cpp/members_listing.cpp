// Listing: glob() and the body its generator runs.
#include "generator.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

namespace qmp {
namespace {

// path = self.path.as_posix().lstrip("/")
// prefix = path + "/" if path else None
// objects = iter(self.client.list_objects(self.bucket_name, prefix=prefix, recursive=False))
//
// The listing pages lazily: the SDK's iterator sends the request for the next page of
// (at most 1,000) entries only when the current page is used up, so a generator that is
// closed or dropped early never asks for the pages it did not reach.
Ref open_listing(PyObject* self, Ref& prefix) noexcept {
    Ref posix = posix_text(self);
    if (!posix) return {};
    Ref path = call_method(posix.get(), names.lstrip, names.slash);
    if (!path) return {};
    const int has_path = truth(path.get());
    if (has_path < 0) return {};
    prefix = has_path ? Ref::steal(PyNumber_Add(path.get(), names.slash)) : Ref::borrow(Py_None);
    if (!prefix) return {};
    ClientRequest list_objects;
    if (!list_objects.open(self, names.list_objects)) return {};
    return list_objects.list(prefix.get(), Py_False);
}

// Whether a listed name stands for the listed directory itself: the listing prefix followed
// by nothing but slashes (a folder's marker object "w/" under the prefix "w/", or "w//",
// which a path makes "w" again), or at the top level (no prefix) a name made only of
// slashes, which names the root.  Handing either out would give a walker that descends
// into what glob() yields the directory as its own child.  -1 error, 0 no, 1 yes.
int names_listed_directory(PyObject* name, PyObject* prefix) noexcept {
    if (prefix == Py_None) return names_root(name);
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(prefix)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        const Py_ssize_t start = PyUnicode_GET_LENGTH(prefix);
        if (length < start) return 0;
        const int kind = PyUnicode_KIND(name);
        const void* data = PyUnicode_DATA(name);
        for (Py_ssize_t i = start; i < length; ++i) {
            if (PyUnicode_READ(kind, data, i) != '/') return 0;
        }
        const Py_ssize_t head = PyUnicode_Tailmatch(name, prefix, 0, start, -1);
        return head < 0 ? -1 : head > 0;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(name, prefix, Py_EQ));
    return equal ? truth(equal.get()) : -1;
}

// name = obj.object_name
// skip the listed directory itself; otherwise fnmatch.fnmatch(name, pattern), truth-tested.
// -1 error, 0 no, 1 yes.  The module-level name is looked up for every item.
int name_matches(PyObject* obj, PyObject* pattern, PyObject* prefix) noexcept {
    Ref object_name = getattr(obj, names.object_name);
    if (!object_name) return -1;
    const int itself = names_listed_directory(object_name.get(), prefix);
    if (itself != 0) return itself < 0 ? -1 : 0;
    Ref module = load_global(names.fnmatch);
    if (!module) return -1;
    Method fnmatch;
    if (!fnmatch.lookup(module.get(), names.fnmatch)) return -1;
    Ref matched = fnmatch(object_name.get(), pattern);
    if (!matched) return -1;
    return truth(matched.get());
}

// MinIOPath(path="/" + obj.object_name.lstrip("/")), the class looked up (first, as Python
// evaluates the call) for every match.
Ref path_of(PyObject* obj) noexcept {
    Ref path_class = load_global(names.MinIOPath);
    if (!path_class) return {};
    Ref object_name = getattr(obj, names.object_name);
    if (!object_name) return {};
    Ref relative = call_method(object_name.get(), names.lstrip, names.slash);
    if (!relative) return {};
    Ref path = Ref::steal(PyNumber_Add(names.slash, relative.get()));
    if (!path) return {};
    return call_kw(path_class.get(), names.kw_path, path.get());
}

}  // namespace

// glob(self, pattern="*"): returns the generator; nothing is read or requested before the
// first item is asked for.
PyObject* glob_impl(PyObject* const* args) noexcept {
    return make_glob_generator(args[0], args[1]).release();
}

// if objects is None: objects, prefix = <open_listing>
// for obj in objects:
//     name = obj.object_name
//     head = prefix or ""
//     if name.startswith(head) and not name[len(head):].strip("/"): continue
//     if fnmatch.fnmatch(name, pattern):
//         yield MinIOPath(path="/" + obj.object_name.lstrip("/"))
Ref glob_step(PyObject* self, PyObject* pattern, Ref& objects, Ref& prefix) noexcept {
    if (!objects) {
        objects = open_listing(self, prefix);
        if (!objects) return {};
    }
    for (;;) {
        Ref obj = Ref::steal(PyIter_Next(objects.get()));
        if (!obj) return {};  // the listing's end, or its error
        const int matched = name_matches(obj.get(), pattern, prefix.get());
        if (matched < 0) return {};
        if (matched) return path_of(obj.get());
    }
}

}  // namespace qmp
