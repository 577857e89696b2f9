// The transformer: replaces each reference to a catalogue table with a
// filtered, renamed subquery over the internal table.
#pragma once

#include "function.hpp"

namespace quist {

// transformer(node), made per generateNativeSQL call over its record.
Ref transformer(FunctionObject* f, PyObject* const* args, int& line);

}  // namespace quist
