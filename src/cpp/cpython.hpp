// The calls that lean on one CPython's internals rather than the stable
// C API, in one place: each says what it relies on.  The module is built
// and tested on 3.12 and 3.13.
#pragma once

#include "ref.hpp"

#include <frameobject.h>

namespace quist::cpython {

// A dict sized for `n` entries up front, so that filling a large catalogue
// map does not grow it through every power of two.  Private, but exported
// and unchanged since 3.6; an estimate of 0 is a plain new dict.
inline PyObject* new_presized_dict(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// An empty code object: what a traceback entry and `__code__` need of a
// function that has no Python body.  Its first line is the entry's line.
inline PyCodeObject* new_empty_code(const char* file, const char* function, int first_line) {
    return PyCode_NewEmpty(file, function, first_line);
}

// A frame over `code`, to hang a traceback entry on (PyTraceBack_Here).
// Part of the unstable API since 3.11.
inline PyFrameObject* new_frame(PyCodeObject* code, PyObject* globals) {
    return PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
}

// Frees the state block of a module that a create step hands back a second
// time.  With m_size 0, 3.12 and 3.13 still give every module made from a
// definition a one-byte marker block (PyMem_Malloc), and when a create step
// returns an existing module they reset its state pointer and allocate a
// new marker at exec: the earlier one would leak on every re-import.
inline void free_state_of_reused_module(PyObject* module) {
    PyMem_Free(PyModule_GetState(module));
}

}  // namespace quist::cpython
