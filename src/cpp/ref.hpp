// Ownership in the types, and the one error path.
//
// Ownership.  A `Ref` owns one strong reference (or none) and releases it
// when it goes:
//   Ref::steal(p)    takes over a new reference, such as an API call's result;
//   Ref::new_ref(p)  makes a new reference to an object held only borrowed;
//   r.borrow()       the pointer, borrowed: valid while `r` holds it;
//   r.release()      hands the reference over, to be returned to C.
// A plain `PyObject*` parameter, local or return value is borrowed.  A raw
// pointer that owns, which only the fields of a C struct may be, is
// declared `Owned` and released by its owner's clear or dealloc slot.
//
// Errors.  A C API call that fails (NULL or -1 with an exception set)
// becomes a C++ `PyErrOccurred` through `require`, so the logic reads
// straight through.  `fail()` ends the current step on an exception already
// set; `raise` and `raise_format` set one and end it in one call.  Every
// entry point that Python can call runs its work through `at_boundary`, the
// one place where C++ exceptions stop and become a return of NULL or -1:
// they never cross a Python frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <exception>
#include <new>
#include <utility>

namespace quist {

// A raw field that holds a strong reference of its own.
using Owned = PyObject*;

// Thrown when a Python exception is set and the current step must end.
struct PyErrOccurred {
    PyErrOccurred() noexcept { assert(PyErr_Occurred() != nullptr); }
};

// Ends the current step on the exception already set.
[[noreturn]] inline void fail() { throw PyErrOccurred(); }

// Sets `type(message)` and ends the current step.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrOccurred();
}

// Sets an exception formatted as PyErr_Format does and ends the current step.
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyErrOccurred();
}

// Runs `work`; false, with the Python exception set, if it ended by one.
// A C++ exception of any other kind becomes MemoryError or SystemError.
template <class Work>
bool at_boundary(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return false;
}

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

    // Takes over a new reference; nullptr stays empty.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // A new reference to an object the caller holds borrowed; nullptr stays empty.
    static Ref new_ref(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* borrow() const noexcept { return p_; }
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

// Raises `type(*args)`, as a Python `raise` of that call would.
[[noreturn]] inline void raise_new(PyObject* type, PyObject* const* args, size_t nargs) {
    Ref exc = vectorcall(type, args, nargs, nullptr);
    if (!PyExceptionInstance_Check(exc.borrow()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.borrow())), exc.borrow());
    fail();
}

}  // namespace quist
