#include "arguments.hpp"

namespace quist {
namespace {

[[noreturn]] void count_error(const FunctionInfo& fi, Py_ssize_t ndefaults, bool too_many,
                              Py_ssize_t given) {
    const Py_ssize_t required = fi.nparams - ndefaults;
    const char* word;
    Py_ssize_t count;
    if (ndefaults == 0) {
        word = "exactly";
        count = fi.nparams;
    } else if (too_many) {
        word = "at most";
        count = fi.nparams;
    } else {
        word = "at least";
        count = required;
    }
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fi.name, word, count, count == 1 ? "" : "s", given);
}

// Position of the parameter called `key`, or -1.  Keywords arrive interned
// from the compiler in nearly every call, so pointers are compared first.
int find_parameter(const Names::Function& fn, int nparams, PyObject* key) {
    for (int i = 0; i < nparams; ++i)
        if (fn.params[i] == key) return i;
    for (int i = 0; i < nparams; ++i) {
        int eq = PyUnicode_Compare(fn.params[i], key);
        if (eq == -1 && PyErr_Occurred()) fail();
        if (eq == 0) return i;
    }
    return -1;
}

}  // namespace

void bind_arguments(Func f, PyObject* defaults, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** out) {
    const FunctionInfo& fi = info(f);
    const Py_ssize_t nparams = fi.nparams;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t required = nparams - ndefaults;
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t k = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (k == 0) {
        if (n < required) count_error(fi, ndefaults, false, n);
        if (n > nparams) count_error(fi, ndefaults, true, n);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = args[i];
        for (Py_ssize_t i = n; i < nparams; ++i) out[i] = PyTuple_GET_ITEM(defaults, i - required);
        return;
    }

    if (n > nparams) count_error(fi, ndefaults, true, n);
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < n ? args[i] : nullptr;
    const Names::Function& fn = names().functions[static_cast<int>(f)];
    for (Py_ssize_t j = 0; j < k; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", fi.name);
        }
        int i = find_parameter(fn, static_cast<int>(nparams), key);
        if (i < 0) {
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fi.name,
                         key);
        }
        if (out[i] != nullptr) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fi.name, key);
        }
        out[i] = args[n + j];
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (out[i] != nullptr) continue;
        if (i < required) count_error(fi, ndefaults, false, i);
        out[i] = PyTuple_GET_ITEM(defaults, i - required);
    }
}

}  // namespace quist
