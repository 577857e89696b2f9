// The read-back: the native SQL must parse back, in its own dialect, as
// the statement it was rendered from.
#pragma once

#include "record.hpp"

namespace quist {

// Parses `native` back and hands the parse to the wall's Call, which judges
// it against `tree` (pellquist.wall.readback).  Text that does not parse
// back is refused like any other: Exception(message, sql).
void verify_native(const FunctionObject* f, const ScopeRecord* scope, PyObject* tree,
                   PyObject* native, bool parse_in_dialect, PyObject* sql);

}  // namespace quist
