// Content: read a whole object, write bytes as an object, upload a file or a tree.
#include "function.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

namespace qmp {
namespace {

// self.client.<request>(self.bucket_name, self.path.as_posix(), ...), whose object name must
// not be the bucket's root: such a request would store an object named "/" (or after the
// bucket), which every listing of the root would then show as a child of the root itself.
// The check is made once the name is evaluated, before any request.
struct ObjectRequest {
    ClientRequest request;
    Ref name;

    [[nodiscard]] bool open(PyObject* self, PyObject* method, const char* member) noexcept {
        if (!request.open(self, method)) return false;
        name = posix_text(self);
        if (!name) return false;
        const int root = names_root(name.get());
        if (root < 0) return false;
        if (root) {
            PyErr_Format(PyExc_ValueError,
                         "%s: the bucket's root is not an object; give a path below it", member);
            return false;
        }
        return true;
    }
};

// response.close(), then response.release_conn(), whatever happened before; an exception
// of either replaces the pending one, which becomes its __context__.
bool close_response(PyObject* response) noexcept {
    PendingError pending;
    if (!call_method(response, names.close)) {
        pending.become_context_of_current();
        // The connection is given back even when closing failed.
        PendingError close_error;
        if (!call_method(response, names.release_conn)) {
            close_error.become_context_of_current();
            return false;
        }
        close_error.restore();
        return false;
    }
    if (!call_method(response, names.release_conn)) {
        pending.become_context_of_current();
        return false;
    }
    if (pending) {
        pending.restore();
        return false;
    }
    return true;
}

}  // namespace

// if not self.exists:
//     raise FileNotFoundError(f"'{self.path}' does not exist in bucket '{self.bucket_name}'.")
// response = self.client.get_object(self.bucket_name, self.path.as_posix())
// try: return response.read()          (exactly bytes or None)
// finally: response.close(); response.release_conn()
PyObject* read_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    const int present = attribute_truth(self, names.exists);
    if (present < 0) return nullptr;
    if (!present) {
        Ref path = getattr(self, names.path);
        if (!path) return nullptr;
        Ref path_text = format_field(path.get());
        if (!path_text) return nullptr;
        Ref bucket = getattr(self, names.bucket_name);
        if (!bucket) return nullptr;
        Ref bucket_text = format_field(bucket.get());
        if (!bucket_text) return nullptr;
        Ref message = join_texts({names.quote, path_text.get(), names.not_in_bucket,
                                  bucket_text.get(), names.quote_stop});
        if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
        return nullptr;
    }

    ClientRequest get_object;
    if (!get_object.open(self, names.get_object)) return nullptr;
    Ref name = posix_text(self);
    if (!name) return nullptr;
    Ref response = get_object(name.get());
    if (!response) return nullptr;

    Ref data = call_method(response.get(), names.read);
    if (data && !check_result_type(data.get(), &PyBytes_Type, "bytes")) data.reset();
    if (!close_response(response.get())) return nullptr;
    return data.release();
}

// data_stream = io.BytesIO(data)
// data_stream.seek(0, io.SEEK_END); size = data_stream.tell(); data_stream.seek(0)
// self.client.put_object(self.bucket_name, self.path.as_posix(), data_stream, length=size)
PyObject* write_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* data = args[1];
    Ref io = load_global(names.io);
    if (!io) return nullptr;
    Ref bytes_io = getattr(io.get(), names.BytesIO);
    if (!bytes_io) return nullptr;
    Ref data_stream = call(bytes_io.get(), data);
    if (!data_stream) return nullptr;

    Method seek;
    if (!seek.lookup(data_stream.get(), names.seek)) return nullptr;
    io = load_global(names.io);
    if (!io) return nullptr;
    Ref seek_end = getattr(io.get(), names.seek_end);
    if (!seek_end || !seek(names.int_zero, seek_end.get())) return nullptr;
    Ref size = call_method(data_stream.get(), names.tell);
    if (!size || !call_method(data_stream.get(), names.seek, names.int_zero)) return nullptr;

    ObjectRequest put_object;
    if (!put_object.open(self, names.put_object, "write()")) return nullptr;
    if (!put_object.request.call_kw(names.kw_length, put_object.name.get(), data_stream.get(),
                                    size.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _local_path = pathlib.Path(local_path)
// if _local_path.is_dir():
//     for item in _local_path.iterdir(): self.join(item.name).upload(item.as_posix())
// else:
//     self.client.fput_object(self.bucket_name, self.path.as_posix(), _local_path.as_posix())
PyObject* upload_impl(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* local_path = args[1];
    // Path("") is the working directory: an empty text is far more likely a caller's bug
    // than a request to upload everything below the current directory.
    if (PyUnicode_GET_LENGTH(local_path) == 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'local_path' must not be empty");
        return nullptr;
    }
    Ref pathlib = load_global(names.pathlib);
    if (!pathlib) return nullptr;
    Ref path_class = getattr(pathlib.get(), names.Path);
    if (!path_class) return nullptr;
    Ref local = call(path_class.get(), local_path);
    if (!local) return nullptr;
    Ref is_dir = call_method(local.get(), names.is_dir);
    if (!is_dir) return nullptr;
    const int directory = truth(is_dir.get());
    if (directory < 0) return nullptr;

    if (directory) {
        Ref entries = call_method(local.get(), names.iterdir);
        if (!entries) return nullptr;
        Ref iterator = Ref::steal(PyObject_GetIter(entries.get()));
        if (!iterator) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            Method join;
            if (!join.lookup(self, names.join)) return nullptr;
            Ref item_name = getattr(item.get(), names.name);
            if (!item_name) return nullptr;
            Ref remote_item = join(item_name.get());
            if (!remote_item) return nullptr;
            Method upload;
            if (!upload.lookup(remote_item.get(), names.upload)) return nullptr;
            Ref item_path = call_method(item.get(), names.as_posix);
            if (!item_path || !upload(item_path.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }

    ObjectRequest fput_object;
    if (!fput_object.open(self, names.fput_object, "upload() of a file")) return nullptr;
    Ref file_name = call_method(local.get(), names.as_posix);
    if (!file_name || !fput_object.request(fput_object.name.get(), file_name.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qmp
