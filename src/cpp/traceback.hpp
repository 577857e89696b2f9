// Synthetic traceback entries for the module's functions and its body.
#pragma once

#include "names.hpp"

namespace quist {

// Adds one entry (file "src/pellquist/quist", the function's trace name,
// line `line`) to the traceback of the exception being raised.  `globals`
// is the dict the entry's frame reports.  An exception must be set; it is
// kept whatever happens here.
void add_traceback(Func f, int line, PyObject* globals);

// The same for the module body ("init pellquist.quist").
void add_body_traceback(int line, PyObject* globals);

}  // namespace quist
