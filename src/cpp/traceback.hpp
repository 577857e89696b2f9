// Synthetic traceback entries for the module's functions and its body.
#pragma once

#include "ref.hpp"

namespace quist {

// Adds one entry (file "src/pellquist/quist", function `trace_name`, line
// `line`) to the traceback of the exception being raised.  `globals` is the
// dict the entry's frame reports.  An exception must be set; it is kept
// whatever happens here.
void add_traceback(const char* trace_name, int line, PyObject* globals);

}  // namespace quist
