#include "names.hpp"

#include "cpython.hpp"
#include "lines.hpp"

#include <initializer_list>

namespace quist {
namespace {

constexpr FunctionInfo kInfo[] = {
    {"__init__", "Session.__init__", "pellquist.quist.Session.__init__", lines::init::kDef, 3,
     {"self", "db", "params"}},
    {"is_type", "Session.is_type", "pellquist.quist.Session.is_type", lines::is_type::kDef, 2,
     {"tree", "_type", nullptr}},
    {"generateNativeSQL", "Session.generateNativeSQL",
     "pellquist.quist.Session.generateNativeSQL", lines::generate::kDef, 3,
     {"self", "aSql", "dialect"}},
    {"transformer", "Session.generateNativeSQL.<locals>.transformer",
     "pellquist.quist.Session.generateNativeSQL.transformer", lines::transformer::kDef, 1,
     {"node", nullptr, nullptr}},
};

Names g_names;
bool g_ready = false;

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) fail();
    return s;
}

PyObject* name_tuple(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) fail();
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    return t;
}

// A code object that describes the function's parameters, so that
// inspect.signature and help() read it like a Python function.
PyObject* make_code(const FunctionInfo& fi, const Names::Function& fn) {
    Ref code = require(reinterpret_cast<PyObject*>(
        cpython::new_empty_code(kSourceFile, fi.name, fi.first_line)));
    Ref varnames = require(PyTuple_New(fi.nparams));
    for (int i = 0; i < fi.nparams; ++i)
        PyTuple_SET_ITEM(varnames.borrow(), i, Py_NewRef(fn.params[i]));
    Ref replace = get_attr(code.borrow(), g_names.str_replace);
    Ref count = require(PyLong_FromLong(fi.nparams));
    PyObject* args[] = {count.borrow(), count.borrow(), varnames.borrow(), fn.qualname};
    Ref kwnames = require(Py_BuildValue("(ssss)", "co_argcount", "co_nlocals", "co_varnames",
                                        "co_qualname"));
    return vectorcall(replace.borrow(), args, 0, kwnames.borrow()).release();
}

}  // namespace

const FunctionInfo& info(Func f) { return kInfo[static_cast<int>(f)]; }

const Names& names() { return g_names; }

bool names_ready() { return g_ready; }

void make_names() {
    if (g_ready) return;
    // Interned strings are immortal (3.12 and later), so a failure half-way
    // leaks nothing worth freeing; the next attempt simply makes them again.
#define QUIST_MAKE(member, text) g_names.member = intern(text);
    QUIST_NAMES(QUIST_MAKE)
#undef QUIST_MAKE
    for (int f = 0; f < static_cast<int>(Func::Count); ++f) {
        const FunctionInfo& fi = kInfo[f];
        Names::Function& fn = g_names.functions[f];
        fn.name = intern(fi.name);
        fn.qualname = intern(fi.qualname);
        for (int i = 0; i < fi.nparams; ++i) fn.params[i] = intern(fi.params[i]);
        fn.code = nullptr;
    }
    Names& n = g_names;
    n.empty_tuple = require(PyTuple_New(0)).release();
    n.kw_dialect = name_tuple({n.str_dialect});
    n.kw_read = name_tuple({n.str_read});
    n.kw_sql = name_tuple({n.str_dialect, n.str_identify});
    n.kw_this = name_tuple({n.str_this_});
    n.kw_this_quoted = name_tuple({n.str_this_, n.str_quoted});
    n.kw_this_alias = name_tuple({n.str_this_, n.str_alias});
    n.defaults_generate = nullptr;
    g_ready = true;
}

void make_code_info() {
    Names& n = g_names;
    if (n.defaults_generate == nullptr) n.defaults_generate = name_tuple({Py_None});
    for (int f = 0; f < static_cast<int>(Func::Count); ++f) {
        Names::Function& fn = n.functions[f];
        if (fn.code == nullptr) fn.code = make_code(kInfo[f], fn);
    }
}

}  // namespace quist
