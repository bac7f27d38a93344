// The generator returned by glob(): the type lives in generator.cpp, the body it runs in
// members_listing.cpp.
#pragma once

#include "ref.hpp"

namespace qmp {

// A new, just-created generator holding `self` and `pattern` (both borrowed here).  Nothing
// is read from `self` until the first request.
[[nodiscard]] Ref make_glob_generator(PyObject* self, PyObject* pattern) noexcept;

// The body between two yields.  `objects` is the listing's iterator, empty before the first
// step (the step opens the listing and stores it there).  Returns the next item; an empty
// Ref means the end of the listing when no exception is set, a failure otherwise (the
// convention of PyIter_Next).  The caller holds every argument for the duration.
[[nodiscard]] Ref glob_step(PyObject* self, PyObject* pattern, Ref& objects) noexcept;

}  // namespace qmp
