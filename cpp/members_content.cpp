// Content: read a whole object, write bytes as an object, upload a file or a tree.
#include "function.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"

namespace qmp {
namespace {

// self.client.<request>(self.bucket_name, self.path.as_posix(), ...): the client's
// attribute is taken first, then the arguments are evaluated left to right.
struct ObjectRequest {
    Ref method;
    Ref bucket;
    Ref name;

    bool prepare(PyObject* self, PyObject* request) noexcept {
        Ref client = getattr(self, names.client);
        if (!client) return false;
        method = getattr(client.get(), request);
        if (!method) return false;
        bucket = getattr(self, names.bucket_name);
        if (!bucket) return false;
        name = posix_text(self);
        return static_cast<bool>(name);
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
        Ref message = Ref::steal(PyUnicode_FromFormat("'%U' does not exist in bucket '%U'.",
                                                      path_text.get(), bucket_text.get()));
        if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
        return nullptr;
    }

    ObjectRequest request;
    if (!request.prepare(self, names.get_object)) return nullptr;
    Ref response = call(request.method.get(), request.bucket.get(), request.name.get());
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

    Ref seek = getattr(data_stream.get(), names.seek);
    if (!seek) return nullptr;
    io = load_global(names.io);
    if (!io) return nullptr;
    Ref seek_end = getattr(io.get(), names.seek_end);
    if (!seek_end || !call(seek.get(), names.int_zero, seek_end.get())) return nullptr;
    Ref size = call_method(data_stream.get(), names.tell);
    if (!size || !call_method(data_stream.get(), names.seek, names.int_zero)) return nullptr;

    ObjectRequest request;
    if (!request.prepare(self, names.put_object)) return nullptr;
    if (!call_kw(request.method.get(), names.kw_length, request.bucket.get(),
                 request.name.get(), data_stream.get(), size.get())) {
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
            Ref join = getattr(self, names.join);
            if (!join) return nullptr;
            Ref item_name = getattr(item.get(), names.name);
            if (!item_name) return nullptr;
            Ref remote_item = call(join.get(), item_name.get());
            if (!remote_item) return nullptr;
            Ref upload = getattr(remote_item.get(), names.upload);
            if (!upload) return nullptr;
            Ref item_path = call_method(item.get(), names.as_posix);
            if (!item_path || !call(upload.get(), item_path.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }

    ObjectRequest request;
    if (!request.prepare(self, names.fput_object)) return nullptr;
    Ref file_name = call_method(local.get(), names.as_posix);
    if (!file_name || !call(request.method.get(), request.bucket.get(), request.name.get(),
                            file_name.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qmp
