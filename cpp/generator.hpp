// The generator returned by glob(): the type lives in generator.cpp, the body it runs in
// members_listing.cpp; the loading code readies and registers the type.
#pragma once

#include "ref.hpp"

namespace qmp {

// Readies the generator type (idempotent).
[[nodiscard]] bool ready_generator_type() noexcept;

// Registers the generator type with collections.abc.Generator once per process.  If
// collections.abc cannot be used, reports an unraisable exception and a RuntimeWarning and
// carries on; returns false only when the warning filters turned that warning into an error.
[[nodiscard]] bool register_generator_abc() noexcept;

// A new, just-created generator holding `self` and `pattern` (both borrowed here).  Nothing
// is read from `self` until the first request.
[[nodiscard]] Ref make_glob_generator(PyObject* self, PyObject* pattern) noexcept;

// The body between two yields.  `objects` is the listing's iterator and `prefix` its
// prefix (a str, or None for the top level), both empty before the first step (the step
// opens the listing and stores them there).  Returns the next item; an empty Ref means the
// end of the listing when no exception is set, a failure otherwise (the convention of
// PyIter_Next).  The caller holds every argument for the duration.
[[nodiscard]] Ref glob_step(PyObject* self, PyObject* pattern, Ref& objects, Ref& prefix) noexcept;

}  // namespace qmp
