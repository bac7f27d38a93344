// Listing: glob() and the body its generator runs.
#include "generator.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"

namespace qmp {
namespace {

// path = self.path.as_posix().lstrip("/")
// prefix = path + "/" if path else None
// objects = iter(self.client.list_objects(self.bucket_name, prefix=prefix, recursive=False))
Ref open_listing(PyObject* self) noexcept {
    Ref posix = posix_text(self);
    if (!posix) return {};
    Ref path = call_method(posix.get(), names.lstrip, names.slash);
    if (!path) return {};
    const int has_path = truth(path.get());
    if (has_path < 0) return {};
    Ref prefix = has_path ? Ref::steal(PyNumber_Add(path.get(), names.slash))
                          : Ref::borrow(Py_None);
    if (!prefix) return {};
    Ref client = getattr(self, names.client);
    if (!client) return {};
    Ref list_objects = getattr(client.get(), names.list_objects);
    if (!list_objects) return {};
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return {};
    Ref listing = call_kw(list_objects.get(), names.kw_prefix_recursive, bucket.get(),
                          prefix.get(), Py_False);
    if (!listing) return {};
    return Ref::steal(PyObject_GetIter(listing.get()));
}

// fnmatch.fnmatch(obj.object_name, pattern), truth-tested: -1 error, 0 no, 1 yes.
// The module-level name is looked up for every item.
int name_matches(PyObject* obj, PyObject* pattern) noexcept {
    Ref module = load_global(names.fnmatch);
    if (!module) return -1;
    Ref fnmatch = getattr(module.get(), names.fnmatch);
    if (!fnmatch) return -1;
    Ref object_name = getattr(obj, names.object_name);
    if (!object_name) return -1;
    Ref matched = call(fnmatch.get(), object_name.get(), pattern);
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

// if objects is None: objects = <open_listing>
// for obj in objects:
//     if fnmatch.fnmatch(obj.object_name, pattern):
//         yield MinIOPath(path="/" + obj.object_name.lstrip("/"))
Ref glob_step(PyObject* self, PyObject* pattern, Ref& objects) noexcept {
    if (!objects) {
        objects = open_listing(self);
        if (!objects) return {};
    }
    for (;;) {
        Ref obj = Ref::steal(PyIter_Next(objects.get()));
        if (!obj) return {};  // the listing's end, or its error
        const int matched = name_matches(obj.get(), pattern);
        if (matched < 0) return {};
        if (matched) return path_of(obj.get());
    }
}

}  // namespace qmp
