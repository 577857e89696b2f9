#include "traceback.hpp"

#include "cpython.hpp"

namespace quist {
namespace {

// A traceback entry reads its line from the code object's first line, so
// there is one code object per (function, line).  They are made on the
// first failure at that line and kept for the life of the process: the set
// is small and fixed.  Slot kFunctions is the module body's.
constexpr int kFunctions = static_cast<int>(Func::Count);
constexpr int kMaxLine = 96;
PyCodeObject* g_codes[kFunctions + 1][kMaxLine];  // owned

PyCodeObject* code_for(int slot, const char* trace_name, int line) {
    if (line <= 0 || line >= kMaxLine) return cpython::new_empty_code(kSourceFile, trace_name, line);
    PyCodeObject*& code = g_codes[slot][line];
    if (code == nullptr) code = cpython::new_empty_code(kSourceFile, trace_name, line);
    return reinterpret_cast<PyCodeObject*>(Py_XNewRef(code));
}

void add_entry(int slot, const char* trace_name, int line, PyObject* globals) {
    assert(PyErr_Occurred() != nullptr);
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(slot, trace_name, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        Ref owned_globals;
        if (globals == nullptr) {
            owned_globals = Ref::steal(PyDict_New());
            globals = owned_globals.borrow();
        }
        if (globals != nullptr) frame = cpython::new_frame(code, globals);
        Py_DECREF(code);
    }
    // Whatever failed above only costs the entry, never the exception.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace

void add_traceback(Func f, int line, PyObject* globals) {
    add_entry(static_cast<int>(f), info(f).trace_name, line, globals);
}

void add_body_traceback(int line, PyObject* globals) {
    add_entry(kFunctions, kBodyTraceName, line, globals);
}

}  // namespace quist
