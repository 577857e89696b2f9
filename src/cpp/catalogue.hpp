// Walks over the catalogue's mappings (its tables, a table's columns), as
// `for key, value in mapping.items()` would, and the lower-casing of names.
#pragma once

#include "names.hpp"

namespace quist {

[[noreturn]] void unpack_error(Py_ssize_t got);

// The lower-cased map of a pellquist.models Catalogue, which builds it once
// (its tables cannot change), or an empty Ref for any other catalogue
// object, whose tables are walked on every call.  Only the exact class
// counts: a subclass may answer `tables` as it likes.
Ref known_table_map(PyObject* database);

// `s.lower()`.  A str that is ASCII without capitals is its own lower-case
// form and is returned as it is, which also keeps its cached hash: catalogue
// names nearly always are.
Ref lowered(PyObject* s);

// Walks a catalogue mapping: an exact dict directly (refusing a change of
// size on the way), anything else through items(), whose items must be
// pairs.  `visit(key, value)` runs for each entry; `walk_line` is where a
// failure of the walk itself is reported.
template <class Visit>
void walk_mapping(PyObject* mapping, int& line, int walk_line, Visit&& visit) {
    line = walk_line;
    if (PyDict_CheckExact(mapping)) {
        Ref dict = Ref::new_ref(mapping);
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            // The visit may run Python code that changes the dict.
            Ref k = Ref::new_ref(key), v = Ref::new_ref(value);
            visit(k.borrow(), v.borrow());
            line = walk_line;
            if (PyDict_GET_SIZE(mapping) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    Ref items = call_method0(mapping, names().str_items);
    Ref iter = require(PyObject_GetIter(items.borrow()));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.borrow()));
        if (!item) {
            if (PyErr_Occurred()) fail();
            return;
        }
        Ref k, v;
        if (PyTuple_CheckExact(item.borrow()) && PyTuple_GET_SIZE(item.borrow()) == 2) {
            k = Ref::new_ref(PyTuple_GET_ITEM(item.borrow(), 0));
            v = Ref::new_ref(PyTuple_GET_ITEM(item.borrow(), 1));
        } else {
            Ref it = require(PyObject_GetIter(item.borrow()));
            Ref got[3];
            Py_ssize_t count = 0;
            for (; count < 3; ++count) {
                got[count] = Ref::steal(PyIter_Next(it.borrow()));
                if (!got[count]) break;
            }
            if (PyErr_Occurred()) fail();
            if (count < 2) unpack_error(count);
            if (count > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            k = std::move(got[0]);
            v = std::move(got[1]);
        }
        visit(k.borrow(), v.borrow());
        line = walk_line;
    }
}

}  // namespace quist
