// The row filter: filled from the session's params, parsed, and held to be
// one condition before it is pasted into the subquery's WHERE.
#pragma once

#include "record.hpp"

namespace quist {

// The filter of `table` (its text `filter`), filled and parsed, checked to
// be one condition and bound to the internal table of `select`.  Follows
// `line` through its steps.
Ref parsed_filter(const FunctionObject* f, const ScopeRecord* scope, PyObject* table,
                  PyObject* filter, PyObject* select, int& line);

}  // namespace quist
