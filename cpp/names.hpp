// Interned attribute names, keyword-name tuples and text constants.
//
// These are names, not values: every attribute and module-level value is still looked up
// at each use.  The table is process-wide (the module loads into one interpreter only),
// never freed, and its initialisation is idempotent because a failed import runs the exec
// step again.
#pragma once

#include "ref.hpp"

namespace qmp {

#define QMP_NAMES(X)                                                                   \
    X(BytesIO) X(DeleteObject) X(EnvConfig) X(Local) X(MinIOPath) X(NotImplementedError) \
    X(Path) X(S3Error) X(__annotations__) X(__builtins__) X(__file__)       \
    X(__loader__) X(__module__) X(__mro_entries__) X(__orig_bases__) X(__package__)     \
    X(__path__) X(__prepare__) X(__qualname__) X(_creator) X(_section)                  \
    X(_section_key_on_thread) X(_valid_reset) X(as_posix) X(bucket_exists)              \
    X(bucket_name) X(client) X(close) X(code) X(datetime) X(exists) X(fnmatch)          \
    X(fput_object) X(fromtimestamp) X(get) X(get_object) X(getattr) X(hasattr) X(io)    \
    X(is_dir) X(iterdir) X(join) X(last_modified) X(list_objects) X(loader)             \
    X(make_bucket) X(message) X(name) X(object_name) X(origin) X(parent) X(path)        \
    X(pathlib) X(print) X(property) X(put_object) X(read) X(release_conn)               \
    X(remove_bucket) X(remove_object) X(remove_objects) X(replace) X(retry) X(seek)     \
    X(stat_object) X(strip) X(lstrip) X(submodule_search_locations) X(tell)             \
    X(timestamp) X(upload) X(init_configer) X(BasePath) X(Minio)                        \
    X(InternalError) X(ServiceUnavailable) X(SlowDown) X(RequestTimeout)

struct Names {
#define QMP_DECLARE_NAME(n) PyObject* n = nullptr;
    QMP_NAMES(QMP_DECLARE_NAME)
#undef QMP_DECLARE_NAME

    // Keyword-name tuples for calls the members make.
    PyObject* kw_prefix_recursive = nullptr;  // ("prefix", "recursive")
    PyObject* kw_length = nullptr;            // ("length",)
    PyObject* kw_flush = nullptr;             // ("flush",)
    PyObject* kw_path = nullptr;              // ("path",)

    // Text constants.
    PyObject* slash = nullptr;           // "/"
    PyObject* empty = nullptr;           // ""
    PyObject* no_such_bucket = nullptr;  // "NoSuchBucket"
    PyObject* int_zero = nullptr;        // 0
    PyObject* seek_end = nullptr;        // "SEEK_END" (a macro name in C)
};

inline Names names;

// Interns every name once per process; safe to call again.
[[nodiscard]] bool init_names() noexcept;

}  // namespace qmp
