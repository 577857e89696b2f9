#include "traceback.hpp"

#include "names.hpp"

#include <cstring>
#include <frameobject.h>

namespace quist {
namespace {

// A traceback entry reads its line from the code object's first line, so
// there is one code object per (function, line).  They are made on the
// first failure at that line and kept: the set is small and fixed.
constexpr int kMaxLine = 96;
constexpr int kTraceNames = static_cast<int>(Func::Count) + 1;
PyCodeObject* g_codes[kTraceNames][kMaxLine];

int trace_slot(const char* trace_name) {
    for (int f = 0; f < static_cast<int>(Func::Count); ++f)
        if (std::strcmp(info(static_cast<Func>(f)).trace_name, trace_name) == 0) return f;
    return static_cast<int>(Func::Count);  // the module body
}

PyCodeObject* code_for(const char* trace_name, int line) {
    if (line <= 0 || line >= kMaxLine) return PyCode_NewEmpty(kSourceFile, trace_name, line);
    PyCodeObject*& slot = g_codes[trace_slot(trace_name)][line];
    if (slot == nullptr) slot = PyCode_NewEmpty(kSourceFile, trace_name, line);
    return reinterpret_cast<PyCodeObject*>(Py_XNewRef(slot));
}

}  // namespace

void add_traceback(const char* trace_name, int line, PyObject* globals) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(trace_name, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        Ref owned_globals;
        if (globals == nullptr) {
            owned_globals = Ref::steal(PyDict_New());
            globals = owned_globals.get();
        }
        if (globals != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
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

}  // namespace quist
