// The function-object type of the module's functions.
//
// Its objects behave like Python functions where callers can tell: they
// bind as methods through instances (a non-data descriptor flagged as a
// method descriptor, so calls through an instance skip the bound method),
// they are called through vectorcall, and they carry __name__, __qualname__,
// __module__, __doc__, __defaults__ and a __code__ that describes their
// parameters for inspect and help().
#pragma once

#include "names.hpp"

namespace quist {

struct FunctionObject;

// A function body: `bound` holds one borrowed pointer per parameter.  The
// body keeps `line` at the step it is running, so that an exception
// leaving it is reported at that step.
using Body = Ref (*)(FunctionObject* self, PyObject* const* bound, int& line);

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Func id;
    Body body;
    Owned defaults;  // tuple of the trailing parameters' defaults, or nullptr
    Owned globals;   // the module's globals
    Owned builtins;  // the builtins module, for names missing from globals
    Owned closure;   // the call record of the enclosing call, or nullptr
    PyObject* weakreflist;  // borrowed: the weak references' own list
};

// Makes the type ready; idempotent.  Throws on failure.
void ready_function_type();

// A new function object.  `closure` may be nullptr.
Ref make_function(Func id, Body body, PyObject* defaults, PyObject* globals, PyObject* builtins,
                  PyObject* closure);

// Looks `name` up in the function's globals, then in its builtins; raises
// NameError "name '...' is not defined" when neither has it.
Ref lookup_global(const FunctionObject* f, PyObject* name);

}  // namespace quist
