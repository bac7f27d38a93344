// Deletion: one object, or every object of a directory in one batch; mkdir is refused.
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"

namespace qmp {
namespace {

// [DeleteObject(obj.object_name) for obj in self.client.list_objects(
//      self.bucket_name, prefix=<directory prefix>, recursive=True)]
Ref removal_records(PyObject* self) noexcept {
    Ref client = getattr(self, names.client);
    if (!client) return {};
    Ref list_objects = getattr(client.get(), names.list_objects);
    if (!list_objects) return {};
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return {};
    Ref prefix = directory_prefix(self);
    if (!prefix) return {};
    Ref objects = call_kw(list_objects.get(), names.kw_prefix_recursive, bucket.get(),
                          prefix.get(), Py_True);
    if (!objects) return {};
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return {};
    Ref iterator = Ref::steal(PyObject_GetIter(objects.get()));
    if (!iterator) return {};
    while (Ref obj = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref delete_object = load_global(names.DeleteObject);
        if (!delete_object) return {};
        Ref name = getattr(obj.get(), names.object_name);
        if (!name) return {};
        Ref record = call(delete_object.get(), name.get());
        if (!record || PyList_Append(records.get(), record.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return records;
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
    Ref line = Ref::steal(PyUnicode_FromFormat("Error deleting object '%U' from bucket '%U': %U",
                                               name_text.get(), bucket_text.get(),
                                               message_text.get()));
    if (!line) return false;
    return static_cast<bool>(call_kw(globals.print, names.kw_flush, line.get(), Py_True));
}

}  // namespace

// if recursive and self.is_dir():
//     delete_objects = [...every object below the directory prefix...]
//     for del_err in self.client.remove_objects(self.bucket_name, delete_objects):
//         print(...)
// else:
//     self.client.remove_object(self.bucket_name, self.path.as_posix())
PyObject* delete_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    int directory = truth(args[1]);
    if (directory < 0) return nullptr;
    if (directory) {
        Ref is_dir = call_method(self, names.is_dir);
        if (!is_dir) return nullptr;
        directory = truth(is_dir.get());
        if (directory < 0) return nullptr;
    }

    if (directory) {
        // The whole listing is consumed before anything is removed.
        Ref delete_objects = removal_records(self);
        if (!delete_objects) return nullptr;
        Ref client = getattr(self, names.client);
        if (!client) return nullptr;
        Ref remove_objects = getattr(client.get(), names.remove_objects);
        if (!remove_objects) return nullptr;
        Ref bucket = getattr(self, names.bucket_name);
        if (!bucket) return nullptr;
        Ref errors = call(remove_objects.get(), bucket.get(), delete_objects.get());
        if (!errors) return nullptr;
        // The SDK removes lazily: nothing is deleted until its result is iterated.
        Ref iterator = Ref::steal(PyObject_GetIter(errors.get()));
        if (!iterator) return nullptr;
        while (Ref del_err = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!report_error(self, del_err.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }

    Ref client = getattr(self, names.client);
    if (!client) return nullptr;
    Ref remove_object = getattr(client.get(), names.remove_object);
    if (!remove_object) return nullptr;
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return nullptr;
    Ref name = posix_text(self);
    if (!name || !call(remove_object.get(), bucket.get(), name.get())) return nullptr;
    Py_RETURN_NONE;
}

// raise NotImplementedError("MinIOPath does not support the 'mkdir' method.")
PyObject* mkdir_impl(PyObject* const*) noexcept {
    Ref message =
        Ref::steal(PyUnicode_FromString("MinIOPath does not support the 'mkdir' method."));
    if (!message) return nullptr;
    Ref error = call(globals.not_implemented_error, message.get());
    if (!error) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

}  // namespace qmp
