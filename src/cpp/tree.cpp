// pellquist.wall._tree: a sqlglot tree's nodes, and the comparison of two
// trees, in C.
//
// The wall walks every tree of a call (the statement, the rewritten tree
// and the read-back) and judges each node.  sqlglot's own walk is three
// nested generators per node; listing the nodes here first leaves the wall
// only its judgement.  `nodes(tree, base)` returns the nodes in the order of
// `tree.walk()` (breadth first), with the children of a node as
// `iter_expressions()` gives them: each value of `node.args` in order, a
// list's items in order, whichever is an instance of `base`.
//
// `same(written, read, base, identifier, func)` tells whether the tree read
// back from the native SQL is the rewritten tree itself, node for node (see
// same_tree below).
#include "ref.hpp"

#include <utility>
#include <vector>

namespace quist {
namespace {

struct TreeState {
    Owned str_args;
    Owned str_comments;
    Owned str_meta;
    Owned str_type;
    Owned str_parent;
    Owned str_quoted;
    Owned positions;  // frozenset of the meta keys the parser sets for a token's place
};

TreeState* state_of(PyObject* module) { return static_cast<TreeState*>(PyModule_GetState(module)); }

void add_if_node(PyObject* out, PyObject* value, PyTypeObject* base) {
    if (PyObject_TypeCheck(value, base)) require_status(PyList_Append(out, value));
}

Ref list_nodes(PyObject* module, PyObject* tree, PyObject* base_arg) {
    if (!PyType_Check(base_arg)) raise(PyExc_TypeError, "nodes() needs the node base class");
    auto* base = reinterpret_cast<PyTypeObject*>(base_arg);
    PyObject* str_args = state_of(module)->str_args;
    Ref out = require(PyList_New(0));
    require_status(PyList_Append(out.borrow(), tree));
    // The list is the queue: it only grows while it is read, and it holds a
    // reference to every node, so the borrowed `node` stays valid.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.borrow()); ++i) {
        PyObject* node = PyList_GET_ITEM(out.borrow(), i);
        Ref args = get_attr(node, str_args);
        if (!PyDict_Check(args.borrow()))
            raise_format(PyExc_TypeError, "a node's args must be a dict, not %.100s",
                         Py_TYPE(args.borrow())->tp_name);
        // Nothing below runs Python code, so the dict cannot change while
        // it is read.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(args.borrow(), &pos, &key, &value)) {
            if (PyList_Check(value)) {
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j)
                    add_if_node(out.borrow(), PyList_GET_ITEM(value, j), base);
            } else {
                add_if_node(out.borrow(), value, base);
            }
        }
    }
    return out;
}

// Values a node holds besides nodes: compared by value only when of these
// exact types, whose comparison runs no Python code.
bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyBool_Check(v) || PyLong_CheckExact(v) ||
           PyFloat_CheckExact(v);
}

// One object is the same value whatever its kind (an enum member, say).
bool same_value(PyObject* x, PyObject* y) {
    if (x == y) return true;
    if (!plain_value(x) || Py_TYPE(x) != Py_TYPE(y)) return false;
    return require_status(PyObject_RichCompareBool(x, y, Py_EQ)) == 1;
}

// Comments of a node: none and an empty list render alike; otherwise the
// same strings in the same order.
bool same_comments(PyObject* x, PyObject* y) {
    const bool x_none = x == Py_None || (PyList_CheckExact(x) && PyList_GET_SIZE(x) == 0);
    const bool y_none = y == Py_None || (PyList_CheckExact(y) && PyList_GET_SIZE(y) == 0);
    if (x_none || y_none) return x_none && y_none;
    if (!PyList_CheckExact(x) || !PyList_CheckExact(y) || PyList_GET_SIZE(x) != PyList_GET_SIZE(y))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
        PyObject* a = PyList_GET_ITEM(x, i);
        if (!PyUnicode_CheckExact(a) || !same_value(a, PyList_GET_ITEM(y, i))) return false;
    }
    return true;
}

// The entries of a node's meta besides the parser's record of where the
// node stood (which nothing renders), or -1 when the meta is not a dict
// with str keys.
Py_ssize_t meta_entries(const TreeState* st, PyObject* meta) {
    if (meta == Py_None) return 0;
    if (!PyDict_CheckExact(meta)) return -1;
    Py_ssize_t count = 0, pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(meta, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return -1;  // see same_tree: exact str keys only
        if (require_status(PySet_Contains(st->positions, key)) != 1) ++count;
    }
    return count;
}

// Meta the renderer may read (a function's name as written, say): the same
// entries with the same values.
bool same_meta(const TreeState* st, PyObject* x, PyObject* y) {
    const Py_ssize_t count = meta_entries(st, x);
    if (count < 0 || count != meta_entries(st, y)) return false;
    if (count == 0) return true;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(x, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (require_status(PySet_Contains(st->positions, key)) == 1) continue;
        PyObject* other = PyDict_GetItemWithError(y, key);
        if (!other) {
            if (PyErr_Occurred()) fail();
            return false;
        }
        if (!same_value(value, other)) return false;
    }
    return true;
}

bool is_key(PyObject* key, PyObject* skip) {
    return skip && (key == skip || PyUnicode_Compare(key, skip) == 0);
}

// The entries of `args` that are not None, without `skip`; or -1 when a key
// is not exactly a str: a key of another kind could run Python code in a
// lookup, and change a dict while a value borrowed from it is in use.
Py_ssize_t set_entries(PyObject* args, PyObject* skip) {
    Py_ssize_t count = 0, pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(args, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return -1;
        if (value != Py_None && !is_key(key, skip)) ++count;
    }
    return count;
}

// Whether `read` (the parse of the native SQL) is `written` (the tree it
// was rendered from), so that the engine runs the very tree the wall
// checked.  Compared: each node's class, its comments, its meta but for
// positions, its set arguments (an argument of None is one not set), nodes
// and lists of nodes in order, and plain values (text, numbers, flags)
// exactly.  Anything else the two hold (a type, a value of another kind that
// is not the same object) makes them differ: the wall then falls back to
// rendering the read-back.
// One difference is allowed: the native SQL quotes every identifier the
// renderer may quote, so a written plain name (an identifier with nothing
// set but its text) without quotes matches a read one with quotes, except
// as the direct argument of a function, where the renderer leaves it bare.
bool same_tree(PyObject* module, PyObject* written, PyObject* read, PyTypeObject* base,
               PyTypeObject* identifier, PyObject* func) {
    const TreeState* st = state_of(module);
    std::vector<std::pair<Ref, Ref>> stack;
    stack.emplace_back(Ref::new_ref(written), Ref::new_ref(read));
    size_t visited = 0;
    while (!stack.empty()) {
        auto [a, b] = std::move(stack.back());
        stack.pop_back();
        PyObject* x = a.borrow();
        PyObject* y = b.borrow();
        if (Py_TYPE(x) != Py_TYPE(y)) return false;
        if (get_attr(x, st->str_type).borrow() != Py_None ||
            get_attr(y, st->str_type).borrow() != Py_None)
            return false;
        if (!same_meta(st, get_attr(x, st->str_meta).borrow(), get_attr(y, st->str_meta).borrow()))
            return false;
        if (!same_comments(get_attr(x, st->str_comments).borrow(),
                           get_attr(y, st->str_comments).borrow()))
            return false;
        Ref x_args = get_attr(x, st->str_args);
        Ref y_args = get_attr(y, st->str_args);
        if (!PyDict_CheckExact(x_args.borrow()) || !PyDict_CheckExact(y_args.borrow()))
            return false;
        // A tree that holds itself would never end: let Ctrl-C stop it.
        if (++visited % 4096 == 0 && PyErr_CheckSignals() < 0) fail();
        PyObject* skip = Py_TYPE(x) == identifier ? st->str_quoted : nullptr;
        // The same number of set arguments, all keyed by str; each of x's is
        // then looked up in y below.
        const Py_ssize_t set = set_entries(x_args.borrow(), skip);
        if (set < 0 || set != set_entries(y_args.borrow(), skip)) return false;
        if (skip) {
            PyObject* qx = PyDict_GetItemWithError(x_args.borrow(), skip);
            if (!qx && PyErr_Occurred()) fail();
            PyObject* qy = PyDict_GetItemWithError(y_args.borrow(), skip);
            if (!qy && PyErr_Occurred()) fail();
            const bool x_quoted = qx == Py_True, y_quoted = qy == Py_True;
            if ((qx && qx != Py_None && !PyBool_Check(qx)) || (qy && qy != Py_None && !PyBool_Check(qy)))
                return false;
            if (x_quoted != y_quoted) {
                if (x_quoted) return false;
                // Only a plain name: the renderer writes other marks (T-SQL's
                // # and ## prefixes) differently with quotes and without.
                if (set != 1) return false;
                Ref parent = get_attr(x, st->str_parent);
                if (require_status(PyObject_IsInstance(parent.borrow(), func)) != 0) return false;
            }
        }
        // Every set argument of x is set alike in y.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(x_args.borrow(), &pos, &key, &value)) {
            if (value == Py_None || is_key(key, skip)) continue;
            PyObject* other = PyDict_GetItemWithError(y_args.borrow(), key);
            if (!other) {
                if (PyErr_Occurred()) fail();
                return false;
            }
            if (PyList_CheckExact(value)) {
                if (!PyList_CheckExact(other) || PyList_GET_SIZE(value) != PyList_GET_SIZE(other))
                    return false;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                    PyObject* v = PyList_GET_ITEM(value, i);
                    PyObject* w = PyList_GET_ITEM(other, i);
                    if (PyObject_TypeCheck(v, base)) {
                        if (!PyObject_TypeCheck(w, base)) return false;
                        stack.emplace_back(Ref::new_ref(v), Ref::new_ref(w));
                    } else if (!same_value(v, w)) {
                        return false;
                    }
                }
            } else if (PyObject_TypeCheck(value, base)) {
                if (!PyObject_TypeCheck(other, base)) return false;
                stack.emplace_back(Ref::new_ref(value), Ref::new_ref(other));
            } else if (!same_value(value, other)) {
                return false;
            }
        }
    }
    return true;
}

PyObject* same(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    at_boundary([&] {
        if (nargs != 5)
            raise_format(PyExc_TypeError, "same() takes exactly 5 arguments (%zd given)", nargs);
        if (!PyType_Check(args[2]) || !PyType_Check(args[3]))
            raise(PyExc_TypeError, "same() needs the node and identifier classes");
        const bool equal = same_tree(module, args[0], args[1],
                                     reinterpret_cast<PyTypeObject*>(args[2]),
                                     reinterpret_cast<PyTypeObject*>(args[3]), args[4]);
        result = Py_NewRef(equal ? Py_True : Py_False);
    });
    return result;
}

PyObject* nodes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    at_boundary([&] {
        if (nargs != 2)
            raise_format(PyExc_TypeError, "nodes() takes exactly 2 arguments (%zd given)", nargs);
        result = list_nodes(module, args[0], args[1]).release();
    });
    return result;
}

PyMethodDef methods[] = {
    {"nodes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nodes)), METH_FASTCALL,
     PyDoc_STR("nodes(tree, base) -> list: the nodes of tree in the order of tree.walk()")},
    {"same", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(same)), METH_FASTCALL,
     PyDoc_STR("same(written, read, base, identifier, func) -> bool: read is written, node for "
               "node")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    TreeState* st = state_of(module);
    const std::pair<Owned*, const char*> strings[] = {
        {&st->str_args, "args"},     {&st->str_comments, "comments"}, {&st->str_meta, "_meta"},
        {&st->str_type, "_type"},    {&st->str_parent, "parent"},     {&st->str_quoted, "quoted"},
    };
    for (auto [field, text] : strings)
        if (!(*field = PyUnicode_InternFromString(text))) return -1;
    Ref keys = Ref::steal(Py_BuildValue("(ssss)", "line", "col", "start", "end"));
    if (!keys) return -1;
    st->positions = PyFrozenSet_New(keys.borrow());
    return st->positions ? 0 : -1;
}

int traverse(PyObject*, visitproc, void*) { return 0; }  // holds only str and frozenset

int clear(PyObject* module) {
    TreeState* state = state_of(module);
    if (state) {
        Py_CLEAR(state->str_args);
        Py_CLEAR(state->str_comments);
        Py_CLEAR(state->str_meta);
        Py_CLEAR(state->str_type);
        Py_CLEAR(state->str_parent);
        Py_CLEAR(state->str_quoted);
        Py_CLEAR(state->positions);
    }
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pellquist.wall._tree",
    PyDoc_STR("The nodes of a sqlglot tree, listed in C for the wall's walks."),
    sizeof(TreeState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace quist

PyMODINIT_FUNC PyInit__tree() { return PyModuleDef_Init(&quist::module_def); }
