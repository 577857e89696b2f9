// pellquist.wall._tree: the nodes of a sqlglot tree, listed in C.
//
// The wall walks every tree of a call (the statement, the rewritten tree
// and the read-back) and judges each node.  sqlglot's own walk is three
// nested generators per node; listing the nodes here first leaves the wall
// only its judgement.  `nodes(tree, base)` returns the nodes in the order of
// `tree.walk()` (breadth first), with the children of a node as
// `iter_expressions()` gives them: each value of `node.args` in order, a
// list's items in order, whichever is an instance of `base`.
#include "ref.hpp"

namespace quist {
namespace {

struct TreeState {
    Owned str_args;
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
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    TreeState* state = state_of(module);
    state->str_args = PyUnicode_InternFromString("args");
    return state->str_args ? 0 : -1;
}

int traverse(PyObject*, visitproc, void*) { return 0; }  // holds only a str

int clear(PyObject* module) {
    TreeState* state = state_of(module);
    if (state) Py_CLEAR(state->str_args);
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
