#include "wall.hpp"

namespace quist::wall {
namespace {

// The Call class, imported on first use and kept for the life of the
// process like the module's other imported objects (never released: the
// interpreter may be gone by the time static destructors run).
Owned g_call_class = nullptr;

PyObject* call_class(const FunctionObject* f) {
    if (g_call_class != nullptr) return g_call_class;
    const Names& n = names();
    Ref fromlist = require(PyTuple_Pack(1, n.str_Call));
    Ref package = require(
        PyImport_ImportModuleLevelObject(n.str_wall, f->globals, nullptr, fromlist.borrow(), 1));
    g_call_class = get_attr(package.borrow(), n.str_Call).release();
    return g_call_class;
}

Ref call_method(PyObject* call, PyObject* name, PyObject* a, PyObject* b) {
    Ref method = get_attr(call, name);
    PyObject* args[] = {a, b};
    return vectorcall(method.borrow(), args, 2, nullptr);
}

}  // namespace

Ref make_call(const FunctionObject* f, PyObject* database, PyObject* dialect, PyObject* sql,
              PyObject* blocked) {
    PyObject* args[] = {database, dialect, sql, blocked};
    return vectorcall(call_class(f), args, 4, nullptr);
}

Ref check(PyObject* call, PyObject* tree) {
    return call_method1(call, names().str_check, tree);
}

Ref blocked(PyObject* call) {
    Ref kinds = get_attr(call, names().str_blocked);
    if (!PyTuple_CheckExact(kinds.borrow()))
        raise(PyExc_TypeError, "the wall's blocked kinds must be a tuple");
    return kinds;
}

bool is_cte(PyObject* call, PyObject* node) {
    return truth(call_method1(call, names().str_is_cte, node).borrow());
}

Ref requalify(PyObject* call, PyObject* column, PyObject* tbl_map) {
    return call_method(call, names().str_requalify, column, tbl_map);
}

Ref internal_name(PyObject* call, PyObject* name) {
    return call_method1(call, names().str_internal_name, name);
}

Ref default_alias(PyObject* call, PyObject* pub_name) {
    return call_method1(call, names().str_default_alias, pub_name);
}

void bind_filter(PyObject* call, PyObject* condition, PyObject* select) {
    call_method(call, names().str_bind_filter, condition, select);
}

Ref fence(PyObject* call, PyObject* node, PyObject* select) {
    return call_method(call, names().str_fence, node, select);
}

Ref carry(PyObject* call, PyObject* node, PyObject* subquery, PyObject* transformer) {
    Ref method = get_attr(call, names().str_carry);
    PyObject* args[] = {node, subquery, transformer};
    return vectorcall(method.borrow(), args, 3, nullptr);
}

void check_native(PyObject* call, PyObject* tree, PyObject* native, PyObject* back) {
    Ref method = get_attr(call, names().str_check_native);
    PyObject* args[] = {tree, native, back};
    vectorcall(method.borrow(), args, 3, nullptr);
}

}  // namespace quist::wall
