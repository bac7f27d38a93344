// Bucket operations: ask for the bucket, make it when missing, remove it when present.
#include "members.hpp"
#include "names.hpp"
#include "request.hpp"

namespace qmp {
namespace {

// self.client.<request>(self.bucket_name)
Ref bucket_request(PyObject* self, PyObject* request) noexcept {
    ClientRequest call;
    if (!call.open(self, request)) return {};
    return call();
}

}  // namespace
// return self.client.bucket_exists(self.bucket_name)
PyObject* bucket_exists_impl(PyObject* const* args) noexcept {
    return bucket_request(args[0], names.bucket_exists).release();
}

// if not self.bucket_exists: self.client.make_bucket(self.bucket_name)
PyObject* create_bucket_impl(PyObject* const* args) noexcept {
    const int present = attribute_truth(args[0], names.bucket_exists);
    if (present < 0) return nullptr;
    if (!present && !bucket_request(args[0], names.make_bucket)) return nullptr;
    Py_RETURN_NONE;
}

// if self.bucket_exists: self.client.remove_bucket(self.bucket_name)
PyObject* delete_bucket_impl(PyObject* const* args) noexcept {
    const int present = attribute_truth(args[0], names.bucket_exists);
    if (present < 0) return nullptr;
    if (present && !bucket_request(args[0], names.remove_bucket)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qmp
