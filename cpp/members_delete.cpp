// Deletion: one object, or every object of a directory in one batch; mkdir is refused.
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

namespace qmp {
namespace {

// ValueError for delete() of the bucket's root, which names no object and whose listing
// would reach every object of the bucket.
void refuse_root() noexcept {
    PyErr_SetString(PyExc_ValueError,
                    "delete(): the bucket's root cannot be deleted; to empty the bucket, "
                    "delete each entry that glob() yields, and delete_bucket() once it is "
                    "empty");
}

// -1 error (set), 0 a path below the root, 1 the root (ValueError set).
int check_not_root(PyObject* text) noexcept {
    const int root = names_root(text);
    if (root > 0) refuse_root();
    return root;
}

// name == other, for names that are almost always exact str: -1 error, 0 no, 1 yes.
int same_name(PyObject* name, PyObject* other) noexcept {
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(other)) {
        return PyUnicode_Compare(name, other) == 0;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(name, other, Py_EQ));
    return equal ? truth(equal.get()) : -1;
}

// text = self.path.as_posix()
// delete_objects = [DeleteObject(obj.object_name) for obj in self.client.list_objects(
//     self.bucket_name, prefix=text.strip("/") + "/", recursive=True)]
// if text not in the names listed: delete_objects.append(DeleteObject(text))
//
// The object named by the path itself goes into the same batch: a path can be an object
// and a prefix at once (d/a.csv and d/a.csv/part-1), and the listing below the prefix does
// not show it.  A batch removal reports no error for a name that does not exist.  It comes
// last, after every object below it.
Ref removal_records(PyObject* self, Ref& own_name) noexcept {
    ClientRequest list_objects;
    if (!list_objects.open(self, names.list_objects)) return {};
    Ref text = posix_text(self);
    if (!text) return {};
    Ref stripped = call_method(text.get(), names.strip, names.slash);
    if (!stripped) return {};
    Ref prefix = Ref::steal(PyNumber_Add(stripped.get(), names.slash));
    if (!prefix) return {};
    Ref iterator = list_objects.list(prefix.get(), Py_True);
    if (!iterator) return {};
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return {};
    bool listed = false;
    while (Ref obj = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref delete_object = load_global(names.DeleteObject);
        if (!delete_object) return {};
        Ref name = getattr(obj.get(), names.object_name);
        if (!name) return {};
        if (!listed) {
            const int same = same_name(name.get(), text.get());
            if (same < 0) return {};
            listed = same != 0;
        }
        Ref record = call(delete_object.get(), name.get());
        if (!record || PyList_Append(records.get(), record.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    if (!listed) {
        Ref delete_object = load_global(names.DeleteObject);
        if (!delete_object) return {};
        Ref record = call(delete_object.get(), text.get());
        if (!record || PyList_Append(records.get(), record.get()) < 0) return {};
        own_name = std::move(text);
    }
    return records;
}

// del_err.name == own_name and del_err.code == "AccessDenied": -1 error, 0 no, 1 yes.
//
// A store checks the right to delete a name before it looks for the object, so an identity
// that may delete only below the directory's prefix is refused the directory's own name
// even where no object of that name exists, which is the common case.  That refusal is not
// reported: an object of that name, if there is one, stays, as an object the listing never
// showed.
int refused_own_name(PyObject* del_err, PyObject* own_name) noexcept {
    if (!own_name) return 0;
    Ref name = getattr(del_err, names.name);
    if (!name) return -1;
    const int same = same_name(name.get(), own_name);
    if (same <= 0) return same;
    Ref code = getattr(del_err, names.code);
    if (!code) return -1;
    return same_name(code.get(), names.access_denied);
}

// print(f"Error deleting object '{del_err.name}' from bucket '{self.bucket_name}': "
//       f"{del_err.message}", flush=True)
bool report_error(PyObject* self, PyObject* del_err) noexcept {
    Ref name = getattr(del_err, names.name);
    if (!name) return false;
    Ref name_text = format_field(name.get());
    if (!name_text) return false;
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return false;
    Ref bucket_text = format_field(bucket.get());
    if (!bucket_text) return false;
    Ref message = getattr(del_err, names.message);
    if (!message) return false;
    Ref message_text = format_field(message.get());
    if (!message_text) return false;
    Ref line = join_texts({names.error_head, name_text.get(), names.error_bucket, bucket_text.get(),
                           names.error_middle, message_text.get()});
    if (!line) return false;
    return static_cast<bool>(call_kw(globals.print, names.kw_flush, line.get(), Py_True));
}

}  // namespace

// if not self.path.as_posix().strip("/"): raise ValueError(...)      (only when recursive)
// if recursive and self.is_dir():
//     delete_objects = [...every object below the directory prefix, and the path's own...]
//     for del_err in self.client.remove_objects(self.bucket_name, delete_objects):
//         print(...)    (not for a refusal of the path's own, unlisted name)
// else:
//     self.client.remove_object(self.bucket_name, self.path.as_posix())   (not the root)
PyObject* delete_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    int directory = truth(args[1]);
    if (directory < 0) return nullptr;
    if (directory) {
        // The root is refused before is_dir() lists under its prefix "/".
        Ref text = posix_text(self);
        if (!text || check_not_root(text.get()) != 0) return nullptr;
        Ref is_dir = call_method(self, names.is_dir);
        if (!is_dir) return nullptr;
        directory = truth(is_dir.get());
        if (directory < 0) return nullptr;
    }

    if (directory) {
        // The whole listing is consumed before anything is removed.
        Ref own_name;  // the path's own name, when the batch holds it unlisted
        Ref delete_objects = removal_records(self, own_name);
        if (!delete_objects) return nullptr;
        ClientRequest remove_objects;
        if (!remove_objects.open(self, names.remove_objects)) return nullptr;
        Ref errors = remove_objects(delete_objects.get());
        if (!errors) return nullptr;
        // The SDK removes lazily: nothing is deleted until its result is iterated.
        Ref iterator = Ref::steal(PyObject_GetIter(errors.get()));
        if (!iterator) return nullptr;
        while (Ref del_err = Ref::steal(PyIter_Next(iterator.get()))) {
            const int unlisted = refused_own_name(del_err.get(), own_name.get());
            if (unlisted < 0 || (!unlisted && !report_error(self, del_err.get()))) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }

    ClientRequest remove_object;
    if (!remove_object.open(self, names.remove_object)) return nullptr;
    Ref name = posix_text(self);
    if (!name || check_not_root(name.get()) != 0 || !remove_object(name.get())) return nullptr;
    Py_RETURN_NONE;
}

// raise NotImplementedError("MinIOPath does not support the 'mkdir' method.")
PyObject* mkdir_impl(PyObject* const*) noexcept {
    Ref error = call(globals.not_implemented_error, names.mkdir_message);
    if (!error) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

}  // namespace qmp
