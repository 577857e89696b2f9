// Owning references and the one error path.
//
// Every PyObject* the core owns lives in a Ref; a raw PyObject* is always a
// borrowed pointer.  A C API call that fails (returns NULL or -1 with an
// exception set) is turned into a C++ `PyErrOccurred` by `require`, so the
// logic reads straight through and each C entry point catches once, adds its
// traceback entry and returns NULL or -1.  C++ exceptions never cross a
// Python frame: every entry point that Python can call catches them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quist {

// Thrown when a Python exception is set and the current step must end.
struct PyErrOccurred {};

[[noreturn]] inline void fail() { throw PyErrOccurred{}; }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes ownership of a new reference; nullptr stays empty.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Releases the object without touching the current exception.
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from an API call; NULL means an exception is set.
inline Ref require(PyObject* result) {
    if (result == nullptr) fail();
    return Ref::steal(result);
}

// A status from an API call; -1 means an exception is set.
inline int require_status(int status) {
    if (status < 0) fail();
    return status;
}

inline bool truth(PyObject* o) { return require_status(PyObject_IsTrue(o)) != 0; }

inline Ref get_attr(PyObject* o, PyObject* name) { return require(PyObject_GetAttr(o, name)); }

inline Ref call_method0(PyObject* o, PyObject* name) {
    return require(PyObject_CallMethodNoArgs(o, name));
}

inline Ref call_method1(PyObject* o, PyObject* name, PyObject* arg) {
    return require(PyObject_CallMethodOneArg(o, name, arg));
}

inline Ref call1(PyObject* callable, PyObject* arg) {
    return require(PyObject_CallOneArg(callable, arg));
}

// Calls with positional arguments, then keyword values named by `kwnames`.
inline Ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    return require(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

}  // namespace quist
