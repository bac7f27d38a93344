// The bodies of the class's members, grouped by concern in members_*.cpp.
#pragma once

#include "ref.hpp"

namespace qmp {

// Identity.
PyObject* bucket_name_impl(PyObject* const* args) noexcept;
PyObject* str_impl(PyObject* const* args) noexcept;
PyObject* hash_impl(PyObject* const* args) noexcept;

// Bucket operations.
PyObject* bucket_exists_impl(PyObject* const* args) noexcept;
PyObject* create_bucket_impl(PyObject* const* args) noexcept;
PyObject* delete_bucket_impl(PyObject* const* args) noexcept;

// Queries.
PyObject* exists_impl(PyObject* const* args) noexcept;
PyObject* is_dir_impl(PyObject* const* args) noexcept;
PyObject* mtime_impl(PyObject* const* args) noexcept;

// Content.
PyObject* read_impl(PyObject* const* args) noexcept;
PyObject* write_impl(PyObject* const* args) noexcept;
PyObject* upload_impl(PyObject* const* args) noexcept;

// Deletion.
PyObject* delete_impl(PyObject* const* args) noexcept;
PyObject* mkdir_impl(PyObject* const* args) noexcept;

// Listing: glob(self, pattern) creates the generator; nothing runs until the first item.
PyObject* glob_impl(PyObject* const* args) noexcept;

}  // namespace qmp
