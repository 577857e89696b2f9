// The bodies of Session's functions, the per-call record they share with
// the nested transformer, and the walks over the catalogue's mappings.
#pragma once

#include "function.hpp"

namespace quist {

// The record of one generateNativeSQL call, reached by its transformer.
// Fields are owned; nullptr until assigned.
struct ScopeRecord {
    PyObject_HEAD
    PyObject* cte_names;  // set of the statement's CTE aliases, case as written
    PyObject* dialect;    // the dialect argument as received
    PyObject* self;       // the Session
    PyObject* tbl_map;    // lower-cased public name -> catalogue table
    PyObject* wall;       // the wall's Call for this rewrite (pellquist.wall)
};

// Makes the record type ready; idempotent.
void ready_session_types();

// The record a transformer was made over.  A transformer whose record was
// cleared by the garbage collector (only possible once it is unreachable,
// e.g. from a finalizer) raises instead of reading freed fields.
const ScopeRecord* record_of(const FunctionObject* transformer);

Ref session_init(FunctionObject* f, PyObject* const* args, int& line);
Ref session_is_type(FunctionObject* f, PyObject* const* args, int& line);
Ref session_generate(FunctionObject* f, PyObject* const* args, int& line);
Ref transformer(FunctionObject* f, PyObject* const* args, int& line);

// Raises `type(*args)`, as a Python `raise` of that call would.
[[noreturn]] void raise_new(PyObject* type, PyObject* const* args, size_t nargs);

// Walks a catalogue mapping: an exact dict directly (refusing a change of
// size on the way), anything else through items(), whose items must be
// pairs.  `visit(key, value)` runs for each entry; `walk_line` is where a
// failure of the walk itself is reported.
template <class Visit>
void walk_mapping(PyObject* mapping, int& line, int walk_line, Visit&& visit);

[[noreturn]] void unpack_error(Py_ssize_t got);

// `s.lower()`.  A str that is ASCII without capitals is its own lower-case
// form and is returned as it is, which also keeps its cached hash: catalogue
// names nearly always are.
Ref lowered(PyObject* s);

template <class Visit>
void walk_mapping(PyObject* mapping, int& line, int walk_line, Visit&& visit) {
    line = walk_line;
    if (PyDict_CheckExact(mapping)) {
        Ref dict = Ref::borrow(mapping);
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            // The visit may run Python code that changes the dict.
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            visit(k.get(), v.get());
            line = walk_line;
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                fail();
            }
        }
        return;
    }
    Ref items = call_method0(mapping, names().items);
    Ref iter = require(PyObject_GetIter(items.get()));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) fail();
            return;
        }
        Ref k, v;
        if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
            k = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
            v = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
        } else {
            Ref it = require(PyObject_GetIter(item.get()));
            Ref got[3];
            Py_ssize_t count = 0;
            for (; count < 3; ++count) {
                got[count] = Ref::steal(PyIter_Next(it.get()));
                if (!got[count]) break;
            }
            if (PyErr_Occurred()) fail();
            if (count < 2) unpack_error(count);
            if (count > 2) {
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
                fail();
            }
            k = std::move(got[0]);
            v = std::move(got[1]);
        }
        visit(k.get(), v.get());
        line = walk_line;
    }
}

}  // namespace quist
