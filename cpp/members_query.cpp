// Queries: whether the object exists, whether the path is a directory, when the object
// was last modified.
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

namespace qmp {
namespace {

// self.client.stat_object(self.bucket_name, self.path.as_posix())
Ref stat_object(PyObject* self) noexcept {
    ClientRequest stat;
    if (!stat.open(self, names.stat_object)) return {};
    Ref name = posix_text(self);
    if (!name) return {};
    return stat(name.get());
}

// raise FileNotFoundError(f"{head}{value}{tail}")
void raise_not_found(PyObject* head, PyObject* value, PyObject* tail) noexcept {
    Ref text = format_field(value);
    if (!text) return;
    Ref message = join_texts({head, text.get(), tail});
    if (!message) return;
    PyErr_SetObject(PyExc_FileNotFoundError, message.get());
}

// code in {"InternalError", "ServiceUnavailable", "SlowDown", "RequestTimeout"}: the S3
// error codes that the retry around the members tries again.  The same set is
// _RETRIED_S3_CODES in quorvex/retrying.py; tests/test_transient_codes.py fails when the
// two differ.  -1 error, 0 no, 1 yes.
int is_transient_code(PyObject* code) noexcept {
    for (PyObject* transient :
         {names.InternalError, names.ServiceUnavailable, names.SlowDown, names.RequestTimeout}) {
        Ref equal = Ref::steal(PyObject_RichCompare(code, transient, Py_EQ));
        if (!equal) return -1;
        const int same = truth(equal.get());
        if (same) return same;
    }
    return 0;
}

}  // namespace

// try: self.client.stat_object(self.bucket_name, self.path.as_posix()); return True
// except S3Error as exc:
//     if exc.code == "NoSuchBucket":
//         raise FileNotFoundError(f"Bucket: '{self.bucket_name}' does not exist.")
//     if exc.code in ("InternalError", "ServiceUnavailable", "SlowDown", "RequestTimeout"):
//         raise
//     return False
PyObject* exists_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    if (stat_object(self)) Py_RETURN_TRUE;

    // The except clause looks S3Error up only once something was raised.
    Ref s3_error;
    {
        PendingError pending;
        s3_error = load_global(names.S3Error);
        if (!s3_error) {
            pending.become_context_of_current();
            return nullptr;
        }
        pending.restore();
    }
    if (!PyErr_ExceptionMatches(s3_error.get())) return nullptr;  // not ours: propagate
    Ref exc = take_exception();

    // Inside the handler exc is the exception being handled, so whatever is raised here
    // takes it as __context__.
    HandledException handling(exc.get());
    Ref code = getattr(exc.get(), names.code);
    if (!code) return nullptr;
    Ref equal = Ref::steal(PyObject_RichCompare(code.get(), names.no_such_bucket, Py_EQ));
    if (!equal) return nullptr;
    const int missing_bucket = truth(equal.get());
    if (missing_bucket < 0) return nullptr;
    if (!missing_bucket) {
        // A transient server error says nothing about the object: it is raised again as
        // it is, for the retry around this member, instead of being read as "missing".
        const int transient = is_transient_code(code.get());
        if (transient < 0) return nullptr;
        if (transient) {
            raise_exception(std::move(exc));
            return nullptr;
        }
        Py_RETURN_FALSE;
    }
    Ref bucket = getattr(self, names.bucket_name);
    if (!bucket) return nullptr;
    raise_not_found(names.bucket_head, bucket.get(), names.not_exist_tail);
    return nullptr;
}

// prefix = self.path.as_posix().strip("/") + "/"
// for obj in self.client.list_objects(self.bucket_name, prefix=prefix, recursive=False):
//     if obj.object_name != prefix: return True
// return False
PyObject* is_dir_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    Ref prefix = directory_prefix(self);
    if (!prefix) return nullptr;
    ClientRequest list_objects;
    if (!list_objects.open(self, names.list_objects)) return nullptr;
    Ref iterator = list_objects.list(prefix.get(), Py_False);
    if (!iterator) return nullptr;
    while (Ref obj = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name = getattr(obj.get(), names.object_name);
        if (!name) return nullptr;
        Ref differs = Ref::steal(PyObject_RichCompare(name.get(), prefix.get(), Py_NE));
        if (!differs) return nullptr;
        const int child = truth(differs.get());
        if (child < 0) return nullptr;
        if (child) Py_RETURN_TRUE;  // later entries are never requested
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_FALSE;
}

// if not self.exists: raise FileNotFoundError(f"'{self.path}' does not exist.")
// stat = self.client.stat_object(self.bucket_name, self.path.as_posix())
// return datetime.datetime.fromtimestamp(stat.last_modified.timestamp())
PyObject* mtime_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    const int present = attribute_truth(self, names.exists);
    if (present < 0) return nullptr;
    if (!present) {
        Ref path = getattr(self, names.path);
        if (path) raise_not_found(names.quote, path.get(), names.not_exist_tail);
        return nullptr;
    }
    Ref stat = stat_object(self);
    if (!stat) return nullptr;
    Ref datetime_module = load_global(names.datetime);
    if (!datetime_module) return nullptr;
    Ref datetime_class = getattr(datetime_module.get(), names.datetime);
    if (!datetime_class) return nullptr;
    Ref fromtimestamp = getattr(datetime_class.get(), names.fromtimestamp);
    if (!fromtimestamp) return nullptr;
    Ref modified = getattr(stat.get(), names.last_modified);
    if (!modified) return nullptr;
    Ref seconds = call_method(modified.get(), names.timestamp);
    if (!seconds) return nullptr;
    return call(fromtimestamp.get(), seconds.get()).release();
}

}  // namespace qmp
