// The opening every request to the store shares, and the names derived from self.path.
#pragma once

#include "names.hpp"
#include "ref.hpp"

namespace qmp {

// self.path.as_posix(), read afresh.
[[nodiscard]] Ref posix_text(PyObject* self) noexcept;

// The directory prefix of a path: self.path.as_posix().strip("/") + "/".
[[nodiscard]] Ref directory_prefix(PyObject* self) noexcept;

// isinstance(text, str) and not text.strip("/"): whether a path text names the bucket's
// root ("", "/", "//", ...), which is no object.  -1 error, 0 no, 1 yes.
[[nodiscard]] int names_root(PyObject* text) noexcept;

// self.client.<method>(self.bucket_name, ...): open() evaluates self.client, takes the
// method from it and reads self.bucket_name, in the order Python evaluates the call; the
// caller evaluates any further argument and then calls.
class ClientRequest {
public:
    [[nodiscard]] bool open(PyObject* self, PyObject* method) noexcept {
        Ref client = getattr(self, names.client);
        if (!client || !method_.lookup(client.get(), method)) return false;
        bucket_ = getattr(self, names.bucket_name);
        return static_cast<bool>(bucket_);
    }

    // method(bucket_name, *args)
    template <class... A>
    [[nodiscard]] Ref operator()(A*... args) const noexcept {
        return method_(bucket_.get(), args...);
    }

    // method(bucket_name, *positional, **dict(zip(kwnames, trailing)))
    template <class... A>
    [[nodiscard]] Ref call_kw(PyObject* kwnames, A*... args) const noexcept {
        return method_.call_kw(kwnames, bucket_.get(), args...);
    }

    // iter(method(bucket_name, prefix=prefix, recursive=recursive)): a listing.
    [[nodiscard]] Ref list(PyObject* prefix, PyObject* recursive) const noexcept {
        Ref listing = call_kw(names.kw_prefix_recursive, prefix, recursive);
        if (!listing) return {};
        return Ref::steal(PyObject_GetIter(listing.get()));
    }

private:
    Method method_;
    Ref bucket_;
};

}  // namespace qmp
