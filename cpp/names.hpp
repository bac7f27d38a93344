// Interned attribute names, keyword-name tuples and text constants.
//
// These are names, not values: every attribute and module-level value is still looked up
// at each use.  The table is process-wide (the module loads into one interpreter only),
// never freed, and its initialisation is idempotent because a failed import runs the exec
// step again.
#pragma once

#include "ref.hpp"

namespace qmp {

// clang-format off: one table, laid out by hand
#define QMP_NAMES(X)                                                                     \
    X(BasePath) X(BytesIO) X(DeleteObject) X(EnvConfig) X(Local) X(Minio) X(MinIOPath)    \
    X(NotImplementedError) X(Path) X(S3Error) X(__annotations__) X(__builtins__)          \
    X(__file__) X(__loader__) X(__module__) X(__mro_entries__) X(__orig_bases__)          \
    X(__package__) X(__path__) X(__prepare__) X(__qualname__) X(_creator) X(_section)     \
    X(_section_key_on_thread) X(_valid_reset) X(as_posix) X(bucket_exists) X(bucket_name) \
    X(client) X(close) X(co_argcount) X(co_flags) X(co_nlocals) X(co_qualname)           \
    X(co_varnames) X(code) X(datetime) X(exists) X(flush) X(fnmatch) X(fput_object)      \
    X(fromtimestamp) X(get) X(get_object) X(getattr) X(hasattr) X(init_configer) X(io)   \
    X(is_dir) X(iterdir) X(join) X(last_modified) X(length) X(list_objects) X(loader)     \
    X(lstrip) X(make_bucket) X(message) X(name) X(object_name) X(origin) X(parent) X(path) \
    X(pathlib) X(prefix) X(print) X(property) X(put_object) X(read) X(recursive)          \
    X(release_conn) X(remove_bucket) X(remove_object) X(remove_objects) X(replace)        \
    X(retry) X(seek) X(stat_object) X(strip) X(submodule_search_locations) X(tell)        \
    X(timestamp) X(upload)                                                               \
    X(InternalError) X(ServiceUnavailable) X(SlowDown) X(RequestTimeout)

// Text constants: (member, text).  The pieces of the messages are joined as an f-string
// joins its parts.
#define QMP_TEXTS(X)                                                                     \
    X(slash, "/") X(empty, "") X(star, "*") X(no_such_bucket, "NoSuchBucket")            \
    X(seek_end, "SEEK_END") X(minio_section, "minio")                                    \
    X(str_head, "(bucket='") X(str_middle, "', path='") X(str_tail, "')")                \
    X(quote, "'") X(bucket_head, "Bucket: '") X(not_exist_tail, "' does not exist.")     \
    X(not_in_bucket, "' does not exist in bucket '") X(quote_stop, "'.")                 \
    X(error_head, "Error deleting object '") X(error_bucket, "' from bucket '")          \
    X(error_middle, "': ") X(access_denied, "AccessDenied") X(mkdir_message, "MinIOPath does not support the 'mkdir' method.")

// clang-format on

struct Names {
#define QMP_DECLARE_NAME(n) PyObject* n = nullptr;
    QMP_NAMES(QMP_DECLARE_NAME)
#undef QMP_DECLARE_NAME
#define QMP_DECLARE_TEXT(n, text) PyObject* n = nullptr;
    QMP_TEXTS(QMP_DECLARE_TEXT)
#undef QMP_DECLARE_TEXT

    // Keyword-name tuples for calls the members make.
    PyObject* kw_prefix_recursive = nullptr;  // ("prefix", "recursive")
    PyObject* kw_length = nullptr;            // ("length",)
    PyObject* kw_flush = nullptr;             // ("flush",)
    PyObject* kw_path = nullptr;              // ("path",)
    PyObject* kw_co_qualname = nullptr;       // ("co_qualname",)

    PyObject* int_zero = nullptr;  // 0
};

inline Names names;

// Interns every name once per process; safe to call again.
[[nodiscard]] bool init_names() noexcept;

}  // namespace qmp
