// quorvex._engine: the Python face of the transfer engine.
//
//   Engine(endpoint, *, secure, access_key=None, secret_key=None, session_token=None,
//          ca_file=None, max_connections=16, connect_timeout=300.0, read_timeout=300.0,
//          virtual_host=False)
//   Engine.run(tasks, *, workers, pauses=(), retried_codes=(), progress=None, on_done=None,
//              stop_on_failure=False) -> list[dict]
//   Engine.stream(bucket, key, region, *, start=0, length=-1, if_match=None, md5=False,
//                 capacity=2 MiB, pauses=(), retried_codes=()) -> Stream
//   Stream.readinto(buffer) -> int; Stream.result() -> dict; Stream.close()
//   sign(method, host, bucket, key, query, headers, region, access_key, secret_key,
//        payload_hash, amz_date, virtual_host=False) -> (target, authorization)
//
// A task is a dict (see the keys read in parse_task); a result is a dict of the fields of
// qe::Result.  run() releases the GIL while the batch runs; the thread that called it wakes
// every 50 ms to check for signals and to hand progress(bytes, finished indexes) what came
// since, and on_done([(index, result), ...]) the results of the tasks finished since.  With
// stop_on_failure, the first task that fails cancels those not finished (their results
// say "cancelled").  Errors of the store never raise here: they are in the results.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scheduler.hpp"
#include "engine/stream.hpp"
#include "ref.hpp"

namespace {

using qmp::Ref;

// A buffer a task reads or fills, held (with its object) until the batch has run.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool hold(PyObject* object, bool writable) {
        if (PyObject_GetBuffer(object, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
            return false;
        }
        held_ = true;
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_SetString(PyExc_BufferError, "a task's buffer must be contiguous");
            return false;
        }
        return true;
    }
    [[nodiscard]] unsigned char* data() const { return static_cast<unsigned char*>(view_.buf); }
    [[nodiscard]] Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// -- reading the arguments -------------------------------------------------------------

// The str value of key (UTF-8, no NUL) into out; false with an error set.  Absent (or
// None) keeps out as it is unless required.
bool get_text(PyObject* dict, const char* key, std::string& out, bool required) {
    PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
    if (value == nullptr || value == Py_None) {
        if (!required) return true;
        PyErr_Format(PyExc_KeyError, "a task needs '%s'", key);
        return false;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a task's '%s' must be a str, not %.100s", key,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    if (std::char_traits<char>::length(text) != static_cast<std::size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "a task's '%s' holds a NUL character", key);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool get_int(PyObject* dict, const char* key, long long& out, long long minimum) {
    PyObject* value = PyDict_GetItemString(dict, key);
    if (value == nullptr || value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a task's '%s' must be an int, not %.100s", key,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return false;
    if (number < minimum) {
        PyErr_Format(PyExc_ValueError, "a task's '%s' must be at least %lld, got %lld", key,
                     minimum, number);
        return false;
    }
    out = number;
    return true;
}

// The UTF-8 of the str ``value`` (NULs included) into out; false with an error set.
bool utf8(PyObject* value, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool token_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// The headers every request gets from the engine itself, then those that a task's own
// fields (range, if_match, the copy's source) or libcurl stand for: given twice, the request
// would not be the one signed or meant.
constexpr std::size_t signed_by_engine = 5;
constexpr const char* engine_headers[] = {"host",
                                          "authorization",
                                          "x-amz-date",
                                          "x-amz-content-sha256",
                                          "x-amz-security-token",
                                          "content-length",
                                          "transfer-encoding",
                                          "expect",
                                          "connection",
                                          "range",
                                          "if-match",
                                          "x-amz-copy-source",
                                          "x-amz-copy-source-range",
                                          "x-amz-copy-source-if-match"};

// Whether ``name``: ``value`` can go into a request as one header of its own; false with a
// ValueError naming ``what``.  ``seen`` collects the lower-case names so far; ``task``: the
// headers of a task, which may not name any of engine_headers.
bool check_header(const std::string& name, const std::string& value, const char* what, bool task,
                  std::vector<std::string>& seen) {
    std::string lower;
    for (const char c : name) {
        if (!token_char(static_cast<unsigned char>(c))) {
            PyErr_Format(PyExc_ValueError, "%s: '%s' is not a header name", what, name.c_str());
            return false;
        }
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (lower.empty()) {
        PyErr_Format(PyExc_ValueError, "%s: a header name is empty", what);
        return false;
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "%s: the value of '%s' holds a line break or a NUL", what,
                     name.c_str());
        return false;
    }
    const std::size_t reserved = task ? std::size(engine_headers) : signed_by_engine;
    for (std::size_t i = 0; i < reserved; ++i) {
        if (lower == engine_headers[i]) {
            PyErr_Format(PyExc_ValueError, "%s: '%s' is set by the engine itself", what,
                         name.c_str());
            return false;
        }
    }
    if (std::find(seen.begin(), seen.end(), lower) != seen.end()) {
        PyErr_Format(PyExc_ValueError, "%s: the header '%s' is named twice", what, name.c_str());
        return false;
    }
    seen.push_back(std::move(lower));
    return true;
}

// The items of the dict of str ``value`` into out; headers (of a task, or not) are checked
// as such.  False with an error naming ``what``.
enum class Items : std::uint8_t { query, task_headers, headers };
bool read_pairs(PyObject* value, const char* what, Items kind, qe::Pairs& out) {
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a dict of str", what);
        return false;
    }
    std::vector<std::string> seen;
    PyObject* name = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(value, &position, &name, &item)) {
        if (!PyUnicode_Check(name) || !PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s must be a dict of str", what);
            return false;
        }
        std::string n;
        std::string v;
        if (!utf8(name, n) || !utf8(item, v)) return false;
        if (kind != Items::query && !check_header(n, v, what, kind == Items::task_headers, seen)) {
            return false;
        }
        out.emplace_back(std::move(n), std::move(v));
    }
    return true;
}

bool get_pairs(PyObject* dict, const char* key, qe::Pairs& out) {
    PyObject* value = PyDict_GetItemString(dict, key);
    if (value == nullptr || value == Py_None) return true;
    const std::string what = std::string("a task's '") + key + "'";
    return read_pairs(value, what.c_str(),
                      std::strcmp(key, "headers") == 0 ? Items::task_headers : Items::query, out);
}

// Whether ``bucket`` can stand in a request's path or host as it is: not empty, and
// nothing in it that would need percent-encoding ("/", "?", blanks, ...).
bool check_bucket(const std::string& bucket, const char* what) {
    if (!bucket.empty() && qe::uri_encode(bucket, false) == bucket) return true;
    PyErr_Format(PyExc_ValueError, "%s '%s' is not a bucket name", what, bucket.c_str());
    return false;
}

bool check_key(const std::string& key, const char* what) {
    if (!key.empty()) return true;  // an empty key would name the bucket itself
    PyErr_Format(PyExc_ValueError, "%s is empty", what);
    return false;
}

bool parse_task(PyObject* dict, qe::Task& task, std::vector<std::unique_ptr<HeldBuffer>>& held) {
    if (!PyDict_Check(dict)) {
        PyErr_Format(PyExc_TypeError, "a task must be a dict, not %.100s", Py_TYPE(dict)->tp_name);
        return false;
    }
    std::string op;
    if (!get_text(dict, "op", op, true)) return false;
    if (op == "get") {
        task.op = qe::Op::get;
    } else if (op == "put") {
        task.op = qe::Op::put;
    } else if (op == "copy") {
        task.op = qe::Op::copy;
    } else {
        PyErr_Format(PyExc_ValueError, "a task's 'op' is 'get', 'put' or 'copy', not '%s'",
                     op.c_str());
        return false;
    }
    long long fd = -1;
    long long mode = 0666;
    long long offset = 0;
    long long length = -1;
    long long part = 0;
    if (!get_text(dict, "bucket", task.bucket, true) || !get_text(dict, "key", task.key, true) ||
        !get_text(dict, "region", task.region, true) || !get_pairs(dict, "headers", task.headers) ||
        !get_pairs(dict, "query", task.query) || !get_text(dict, "path", task.path, false) ||
        !get_int(dict, "fd", fd, 0) || !get_int(dict, "mode", mode, 0) ||
        !get_int(dict, "offset", offset, 0) || !get_int(dict, "length", length, 0) ||
        !get_text(dict, "if_match", task.if_match, false) ||
        !get_text(dict, "source_bucket", task.source_bucket, false) ||
        !get_text(dict, "source_key", task.source_key, false) ||
        !get_text(dict, "upload_id", task.upload_id, false) ||
        !get_int(dict, "part_number", part, 1)) {
        return false;
    }
    if (!check_bucket(task.bucket, "a task's bucket") || !check_key(task.key, "a task's key")) {
        return false;
    }
    if (fd > INT_MAX || mode > 07777 || part > 10000) {
        PyErr_SetString(PyExc_ValueError, "a task's fd, mode or part_number is out of range");
        return false;
    }
    task.fd = static_cast<int>(fd);
    task.mode = static_cast<int>(mode);
    task.offset = offset;
    task.length = length;
    task.part_number = static_cast<int>(part);
    if (task.upload_id.empty() != (task.part_number == 0)) {
        PyErr_SetString(PyExc_ValueError,
                        "a task has both 'upload_id' and 'part_number', or neither");
        return false;
    }
    PyObject* create = PyDict_GetItemString(dict, "create");
    task.create = create == nullptr || PyObject_IsTrue(create) == 1;
    PyObject* md5 = PyDict_GetItemString(dict, "md5");
    task.want_md5 = md5 != nullptr && PyObject_IsTrue(md5) == 1;
    if (PyObject* range = PyDict_GetItemString(dict, "range");
        range != nullptr && range != Py_None) {
        long long start = 0;
        long long size = 0;
        if (!PyTuple_Check(range) || PyTuple_GET_SIZE(range) != 2 ||
            !PyArg_ParseTuple(range, "LL", &start, &size)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "a task's 'range' is a tuple (start, length)");
            return false;
        }
        if (start < 0 || size < 1) {
            PyErr_SetString(PyExc_ValueError, "a task's range needs start >= 0 and length >= 1");
            return false;
        }
        if (task.op == qe::Op::put) {
            PyErr_SetString(PyExc_ValueError,
                            "a put task sends 'offset' and 'length' of its file, not a 'range'");
            return false;
        }
        task.ranged = true;
        task.range_start = start;
        task.range_length = size;
    }
    int sources = (task.path.empty() ? 0 : 1) + (task.fd >= 0 ? 1 : 0);
    if (PyObject* buffer = PyDict_GetItemString(dict, "buffer");
        buffer != nullptr && buffer != Py_None) {
        auto view = std::make_unique<HeldBuffer>();
        if (!view->hold(buffer, task.op == qe::Op::get)) return false;
        task.memory = view->data();
        task.memory_size = view->size();
        held.push_back(std::move(view));
        ++sources;
    }
    if (task.op == qe::Op::copy) {
        if (sources != 0 || task.source_bucket.empty() || task.source_key.empty()) {
            PyErr_SetString(
                PyExc_ValueError,
                "a copy task names 'source_bucket' and 'source_key', and no file or buffer");
            return false;
        }
        if (!check_bucket(task.source_bucket, "a copy task's source_bucket")) return false;
    } else if (sources != 1) {
        PyErr_SetString(PyExc_ValueError, "a task names exactly one of 'path', 'fd' and 'buffer'");
        return false;
    }
    return true;
}

// -- the results -----------------------------------------------------------------------

bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref text(const std::string& value) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

Ref result_dict(const qe::Result& r) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    if (!set_item(d, "ok", Ref::borrow(r.ok ? Py_True : Py_False)) ||
        !set_item(d, "status", Ref::steal(PyLong_FromLong(r.status))) ||
        !set_item(d, "etag", text(r.etag)) ||
        !set_item(d, "bytes", Ref::steal(PyLong_FromLongLong(r.bytes))) ||
        !set_item(d, "total",
                  r.total < 0 ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromLongLong(r.total))) ||
        !set_item(d, "reported", Ref::steal(PyLong_FromLongLong(r.reported))) ||
        !set_item(d, "attempts", Ref::steal(PyLong_FromLong(r.attempts))) ||
        !set_item(d, "md5", r.md5.empty() ? Ref::borrow(Py_None) : text(r.md5)) ||
        !set_item(d, "kind", r.ok ? Ref::borrow(Py_None) : text(r.kind)) ||
        !set_item(d, "code", text(r.code)) || !set_item(d, "message", text(r.message)) ||
        !set_item(d, "resource", text(r.resource)) ||
        !set_item(d, "request_id", text(r.request_id)) ||
        !set_item(d, "host_id", text(r.host_id)) ||
        !set_item(d, "errno", Ref::steal(PyLong_FromLong(r.error_number))) ||
        !set_item(d, "curl_code", Ref::steal(PyLong_FromLong(r.curl_code)))) {
        return {};
    }
    return dict;
}

// Hands on_done the (index, result) pairs of the tasks in ``finished``; false with an error.
bool report_done(PyObject* on_done, const std::vector<std::size_t>& finished,
                 const std::vector<qe::Result>& results) {
    Ref pairs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(finished.size())));
    if (!pairs) return false;
    for (std::size_t i = 0; i < finished.size(); ++i) {
        Ref item = result_dict(results[finished[i]]);
        if (!item) return false;
        PyObject* pair = Py_BuildValue("(nO)", static_cast<Py_ssize_t>(finished[i]), item.get());
        if (pair == nullptr) return false;
        PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(on_done, pairs.get())));
}

// -- the Engine type -------------------------------------------------------------------

struct EngineObject {
    PyObject_HEAD
    qe::Engine* engine;
};

void engine_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<EngineObject*>(self);
    delete object->engine;  // no batch runs: run() holds a reference while it does
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

bool optional_text(PyObject* value, const char* what, std::string& out) {
    if (value == nullptr || value == Py_None) return true;
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or None", what);
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(value);
    if (utf8 == nullptr) return false;
    out = utf8;
    return true;
}

int engine_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {
        "endpoint", "secure",          "access_key",      "secret_key",   "session_token",
        "ca_file",  "max_connections", "connect_timeout", "read_timeout", "virtual_host",
        nullptr};
    const char* endpoint = nullptr;
    int secure = 1;
    PyObject* access = nullptr;
    PyObject* secret = nullptr;
    PyObject* token = nullptr;
    PyObject* ca = nullptr;
    Py_ssize_t connections = 16;
    double connect_timeout = 300.0;
    double read_timeout = 300.0;
    int virtual_host = 0;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "s|$pOOOOnddp", const_cast<char**>(names), &endpoint, &secure, &access,
            &secret, &token, &ca, &connections, &connect_timeout, &read_timeout, &virtual_host)) {
        return -1;
    }
    // A year is more than any wait meant; beyond it the conversions below would overflow.
    constexpr double longest = 366.0 * 86400.0;
    if (connections < 1 || !(connect_timeout > 0) || !(read_timeout > 0) ||
        !(connect_timeout <= longest) || !(read_timeout <= longest)) {
        PyErr_SetString(PyExc_ValueError,
                        "max_connections and the timeouts must be positive (timeouts at "
                        "most a year)");
        return -1;
    }
    qe::Endpoint where;
    where.scheme = secure ? "https" : "http";
    where.host = endpoint;
    where.virtual_host = virtual_host != 0;
    where.connect_timeout_ms = static_cast<long>(connect_timeout * 1000.0);
    where.read_timeout_s = std::max(1L, static_cast<long>(read_timeout));
    qe::Credentials who;
    if (!optional_text(access, "access_key", who.access_key) ||
        !optional_text(secret, "secret_key", who.secret_key) ||
        !optional_text(token, "session_token", who.session_token) ||
        !optional_text(ca, "ca_file", where.ca_file)) {
        return -1;
    }
    if (where.host.empty() || where.host.find_first_of("/?# \r\n") != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "the endpoint is host or host:port, not '%s'", endpoint);
        return -1;
    }
    auto* object = reinterpret_cast<EngineObject*>(self);
    try {
        auto* made =
            new qe::Engine(std::move(where), std::move(who), static_cast<std::size_t>(connections));
        delete object->engine;
        object->engine = made;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

bool read_pauses(PyObject* value, qe::RetryPolicy& policy) {
    if (value == nullptr) return true;
    Ref items = Ref::steal(PySequence_Fast(value, "pauses must be a sequence of numbers"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const double pause = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), i));
        if (pause == -1.0 && PyErr_Occurred()) return false;
        if (std::isnan(pause) || pause < 0 || pause >= 86400) {
            PyErr_SetString(PyExc_ValueError, "a pause must be between 0 and 86400 seconds");
            return false;
        }
        policy.pauses.push_back(pause);
    }
    return true;
}

bool read_codes(PyObject* value, qe::RetryPolicy& policy) {
    if (value == nullptr) return true;
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string code;
        if (!optional_text(item.get(), "a retried code", code)) return false;
        policy.codes.push_back(code);
    }
    return !PyErr_Occurred();
}

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tasks",    "workers", "pauses",          "retried_codes",
                                  "progress", "on_done", "stop_on_failure", nullptr};
    PyObject* tasks_arg = nullptr;
    Py_ssize_t workers = 1;
    PyObject* pauses = nullptr;
    PyObject* codes = nullptr;
    PyObject* progress = Py_None;
    PyObject* on_done = Py_None;
    int stop_on_failure = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$nOOOOp", const_cast<char**>(names),
                                     &tasks_arg, &workers, &pauses, &codes, &progress, &on_done,
                                     &stop_on_failure)) {
        return nullptr;
    }
    if (on_done != Py_None && !PyCallable_Check(on_done)) {
        PyErr_SetString(PyExc_TypeError, "on_done must be callable or None");
        return nullptr;
    }
    auto* object = reinterpret_cast<EngineObject*>(self);
    if (object->engine == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the Engine was not initialised");
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    qe::RetryPolicy policy;
    if (!read_pauses(pauses, policy) || !read_codes(codes, policy)) return nullptr;
    Ref items = Ref::steal(PySequence_Fast(tasks_arg, "tasks must be a sequence of dicts"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<qe::Task> tasks;
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::vector<qe::Result> results;
    try {
        tasks.resize(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!parse_task(PySequence_Fast_GET_ITEM(items.get(), i),
                            tasks[static_cast<std::size_t>(i)], held)) {
                return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }

    Ref keep = Ref::borrow(self);  // the engine outlives the batch
    qe::Watch watch;
    bool failed = false;
    {
        std::unique_ptr<qe::Batch> batch;
        try {
            batch = std::make_unique<qe::Batch>(*object->engine, tasks, results, policy, watch,
                                                static_cast<std::size_t>(workers),
                                                stop_on_failure != 0);
        } catch (const std::exception& error) {
            PyErr_Format(PyExc_RuntimeError, "the transfer engine could not start: %s",
                         error.what());
            return nullptr;
        }
        const std::size_t total = tasks.size();
        std::vector<std::size_t> finished;
        for (;;) {
            std::size_t done = 0;
            Py_BEGIN_ALLOW_THREADS;
            {
                std::unique_lock<std::mutex> hold(watch.lock);
                watch.changed.wait_for(hold, std::chrono::milliseconds(50),
                                       [&] { return watch.done == total; });
                done = watch.done;
                finished.swap(watch.finished);
            }
            Py_END_ALLOW_THREADS;
            const std::int64_t moved = watch.bytes.exchange(0);
            if (!failed && PyErr_CheckSignals() != 0) {
                failed = true;
                watch.stop();
            }
            if (!failed && progress != Py_None && (moved != 0 || !finished.empty())) {
                Ref indexes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(finished.size())));
                bool ok = static_cast<bool>(indexes);
                for (std::size_t i = 0; ok && i < finished.size(); ++i) {
                    PyObject* number = PyLong_FromSize_t(finished[i]);
                    ok = number != nullptr;
                    if (ok) PyList_SET_ITEM(indexes.get(), static_cast<Py_ssize_t>(i), number);
                }
                Ref answer = ok ? Ref::steal(PyObject_CallFunction(
                                      progress, "LO", static_cast<long long>(moved), indexes.get()))
                                : Ref();
                if (!answer) {
                    failed = true;
                    watch.stop();
                }
            }
            if (!failed && on_done != Py_None && !finished.empty() &&
                !report_done(on_done, finished, results)) {
                failed = true;
                watch.stop();
            }
            finished.clear();
            if (done == total) break;
        }
        Py_BEGIN_ALLOW_THREADS;
        batch->join();
        Py_END_ALLOW_THREADS;
    }
    if (failed) return nullptr;
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = result_dict(results[static_cast<std::size_t>(i)]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item.release());
    }
    return list.release();
}

// -- the Stream type ------------------------------------------------------------------

PyObject* stream_type = nullptr;  // the type object, made when the module is

struct StreamObject {
    PyObject_HEAD
    PyObject* engine;                     // the Engine whose connections it uses
    std::shared_ptr<qe::Stream>* stream;  // null once closed
};

// The stream of ``self``, shared for a call that releases the GIL; null (ValueError set)
// once it is closed.
std::shared_ptr<qe::Stream> open_stream(PyObject* self) {
    auto* object = reinterpret_cast<StreamObject*>(self);
    if (object->stream == nullptr) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed stream");
        return {};
    }
    return *object->stream;
}

void drop_stream(StreamObject* object) {
    std::shared_ptr<qe::Stream>* holder = object->stream;
    object->stream = nullptr;
    if (holder == nullptr) return;
    (*holder)->close();
    Py_BEGIN_ALLOW_THREADS;
    delete holder;  // the last holder joins the thread of the GET
    Py_END_ALLOW_THREADS;
}

void stream_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<StreamObject*>(self);
    drop_stream(object);
    Py_XDECREF(object->engine);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

const qe::Result& wait_for(qe::Stream& stream) {
    const qe::Result* result = nullptr;
    Py_BEGIN_ALLOW_THREADS;
    result = &stream.wait();
    Py_END_ALLOW_THREADS;
    return *result;
}

PyObject* stream_readinto(PyObject* self, PyObject* arg) {
    std::shared_ptr<qe::Stream> stream = open_stream(self);
    if (!stream) return nullptr;
    HeldBuffer buffer;
    if (!buffer.hold(arg, true)) return nullptr;
    if (buffer.size() == 0) return PyLong_FromLong(0);
    std::size_t got = 0;
    bool ended = false;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS;
        got = stream->pipe().pop(buffer.data(), static_cast<std::size_t>(buffer.size()),
                                 std::chrono::milliseconds(50), ended);
        Py_END_ALLOW_THREADS;
        if (got > 0 || ended) break;
        if (PyErr_CheckSignals() != 0) return nullptr;
    }
    if (got > 0) return PyLong_FromSize_t(got);
    return PyLong_FromLong(wait_for(*stream).ok ? 0 : -1);
}

PyObject* stream_result(PyObject* self, PyObject*) {
    std::shared_ptr<qe::Stream> stream = open_stream(self);
    if (!stream) return nullptr;
    return result_dict(wait_for(*stream)).release();
}

PyObject* stream_close(PyObject* self, PyObject*) {
    drop_stream(reinterpret_cast<StreamObject*>(self));
    Py_RETURN_NONE;
}

PyMethodDef stream_methods[] = {
    {"readinto", stream_readinto, METH_O,
     "readinto(buffer) -> int: bytes read; 0 at the end of a GET that succeeded, -1 at the "
     "end of one that failed (result() says why)."},
    {"result", stream_result, METH_NOARGS, "result() -> dict: the GET's, once it has ended."},
    {"close", stream_close, METH_NOARGS, "close(): cancels what has not come yet."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_doc, const_cast<char*>("One GET whose body is read as it comes.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {"quorvex._engine.Stream", sizeof(StreamObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, stream_slots};

PyObject* engine_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"bucket", "key",           "region", "start",
                                  "length", "if_match",      "md5",    "capacity",
                                  "pauses", "retried_codes", nullptr};
    const char* bucket = nullptr;
    const char* key = nullptr;
    const char* region = nullptr;
    long long start = 0;
    long long length = -1;
    PyObject* if_match = nullptr;
    int md5 = 0;
    Py_ssize_t capacity = Py_ssize_t{2} * 1024 * 1024;
    PyObject* pauses = nullptr;
    PyObject* codes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sss|$LLOpnOO", const_cast<char**>(names),
                                     &bucket, &key, &region, &start, &length, &if_match, &md5,
                                     &capacity, &pauses, &codes)) {
        return nullptr;
    }
    auto* object = reinterpret_cast<EngineObject*>(self);
    if (object->engine == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the Engine was not initialised");
        return nullptr;
    }
    if (start < 0 || capacity < 1 || (length < 1 && (length != -1 || start != 0))) {
        PyErr_SetString(PyExc_ValueError,
                        "a stream needs start >= 0, capacity >= 1 and a length >= 1 (or -1, "
                        "the whole object, from start 0)");
        return nullptr;
    }
    qe::Task task;
    qe::RetryPolicy policy;
    if (!check_bucket(bucket, "bucket") || !check_key(key, "the key") ||
        !optional_text(if_match, "if_match", task.if_match) || !read_pauses(pauses, policy) ||
        !read_codes(codes, policy)) {
        return nullptr;
    }
    task.bucket = bucket;
    task.key = key;
    task.region = region;
    task.ranged = length != -1;
    task.range_start = start;
    task.range_length = length;
    task.want_md5 = md5 != 0;
    Ref stream = Ref::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(stream_type), 0));
    if (!stream) return nullptr;
    auto* made = reinterpret_cast<StreamObject*>(stream.get());
    made->engine = Ref::borrow(self).release();
    try {
        made->stream = new std::shared_ptr<qe::Stream>(
            std::make_shared<qe::Stream>(*object->engine, std::move(task), std::move(policy),
                                         static_cast<std::size_t>(capacity)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "the transfer engine could not start: %s", error.what());
        return nullptr;
    }
    return stream.release();
}

PyMethodDef engine_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_run)),
     METH_VARARGS | METH_KEYWORDS,
     "run(tasks, *, workers=1, pauses=(), retried_codes=(), progress=None) -> list[dict]"},
    {"stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "stream(bucket, key, region, *, start=0, length=-1, if_match=None, md5=False, "
     "capacity=2097152, pauses=(), retried_codes=()) -> Stream"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_init, reinterpret_cast<void*>(engine_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>("The transfer engine of one store: its endpoint, "
                                  "credentials and idle connections.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {"quorvex._engine.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT,
                           engine_slots};

// -- sign --------------------------------------------------------------------------------

PyObject* sign(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {
        "method",     "host",       "bucket",       "key",      "query",        "headers", "region",
        "access_key", "secret_key", "payload_hash", "amz_date", "virtual_host", nullptr};
    const char *method, *host, *bucket, *key, *region, *access, *secret, *hash, *date;
    PyObject* query = nullptr;
    PyObject* headers = nullptr;
    int virtual_host = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ssssOOsssss|p", const_cast<char**>(names),
                                     &method, &host, &bucket, &key, &query, &headers, &region,
                                     &access, &secret, &hash, &date, &virtual_host)) {
        return nullptr;
    }
    qe::Pairs query_pairs;
    qe::Pairs header_pairs;
    if (!read_pairs(query, "query", Items::query, query_pairs) ||
        !read_pairs(headers, "headers", Items::headers, header_pairs) ||
        !check_bucket(bucket, "bucket") || !check_key(key, "the key")) {
        return nullptr;
    }
    try {
        qe::Endpoint endpoint;
        endpoint.host = host;
        endpoint.virtual_host = virtual_host != 0;
        const qe::Credentials who{access, secret, {}};
        const qe::SignedRequest request = qe::sign_request(
            endpoint, who, region, method, bucket, key, query_pairs, header_pairs, hash, date);
        return Py_BuildValue(
            "(s#s#)", request.target.data(), static_cast<Py_ssize_t>(request.target.size()),
            request.authorization.data(), static_cast<Py_ssize_t>(request.authorization.size()));
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

PyMethodDef module_methods[] = {
    {"sign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sign)),
     METH_VARARGS | METH_KEYWORDS,
     "sign(method, host, bucket, key, query, headers, region, access_key, secret_key, "
     "payload_hash, amz_date, virtual_host=False) -> (target, authorization)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex._engine",
                          "The transfer engine: HTTP, signing and the scheduler of transfers.", -1,
                          module_methods};

}  // namespace

PyMODINIT_FUNC PyInit__engine() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        PyErr_SetString(PyExc_ImportError, "libcurl could not be initialised");
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromSpec(&engine_spec));
    if (!type || PyModule_AddObjectRef(module.get(), "Engine", type.get()) != 0) return nullptr;
    Ref streams = Ref::steal(PyType_FromSpec(&stream_spec));
    if (!streams || PyModule_AddObjectRef(module.get(), "Stream", streams.get()) != 0) {
        return nullptr;
    }
    Py_XSETREF(stream_type, streams.release());
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (PyModule_AddStringConstant(module.get(), "curl_version", info->version) != 0 ||
        PyModule_AddStringConstant(module.get(), "tls_backend",
                                   info->ssl_version ? info->ssl_version : "none") != 0) {
        return nullptr;
    }
    return module.release();
}
