// Session.__init__, Session.is_type, Session.generateNativeSQL, and the
// call record that generateNativeSQL shares with its transformer.

#include "session.hpp"

#include <cstring>

namespace quist {
namespace {

// ---- the call record --------------------------------------------------------

// Released records are kept for reuse: a call then costs no allocation for
// its record.  The most recently released record is handed out first.
constexpr int kPoolSize = 8;
ScopeRecord* g_pool[kPoolSize];
int g_pool_count = 0;

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    Py_VISIT(r->cte_names);
    Py_VISIT(r->dialect);
    Py_VISIT(r->self);
    Py_VISIT(r->tbl_map);
    Py_VISIT(r->wall);
    return 0;
}

void set_none(PyObject*& field) {
    PyObject* old = field;
    field = Py_NewRef(Py_None);
    Py_XDECREF(old);
}

int record_clear(PyObject* self) {
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    set_none(r->cte_names);
    set_none(r->dialect);
    set_none(r->self);
    set_none(r->tbl_map);
    set_none(r->wall);
    return 0;
}

void record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    Py_CLEAR(r->cte_names);
    Py_CLEAR(r->dialect);
    Py_CLEAR(r->self);
    Py_CLEAR(r->tbl_map);
    Py_CLEAR(r->wall);
    if (g_pool_count < kPoolSize) {
        g_pool[g_pool_count++] = r;
    } else {
        PyObject_GC_Del(self);
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject RecordType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pellquist.quist.GenerateNativeSQLScope",  // tp_name
    sizeof(ScopeRecord),                       // tp_basicsize
};
#pragma GCC diagnostic pop

Ref new_record() {
    ScopeRecord* r;
    if (g_pool_count > 0) {
        r = g_pool[--g_pool_count];
        std::memset(reinterpret_cast<char*>(r) + sizeof(PyObject), 0,
                    sizeof(ScopeRecord) - sizeof(PyObject));
        PyObject_Init(reinterpret_cast<PyObject*>(r), &RecordType);
    } else {
        r = PyObject_GC_New(ScopeRecord, &RecordType);
        if (r == nullptr) fail();
        r->cte_names = r->dialect = r->self = r->tbl_map = r->wall = nullptr;
    }
    PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

ScopeRecord* as_record(const Ref& r) { return reinterpret_cast<ScopeRecord*>(r.get()); }

// ---- helpers ----------------------------------------------------------------

Ref call2(PyObject* callable, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return vectorcall(callable, args, 2, nullptr);
}

[[noreturn]] void refuse(PyObject* message, PyObject* sql) {
    PyObject* args[] = {message, sql};
    raise_new(PyExc_Exception, args, 2);
}

// parse_one(text, dialect=dialect), or parse_one(text) for sqlglot's default
// dialect; nullptr with the exception set when it fails.
PyObject* parse_sql(const FunctionObject* f, PyObject* text, PyObject* dialect,
                    bool in_dialect) {
    Ref parse_one = lookup_global(f, names().parse_one);
    PyObject* args[] = {text, dialect};
    return in_dialect ? PyObject_Vectorcall(parse_one.get(), args, 1, names().kw_dialect)
                      : PyObject_CallOneArg(parse_one.get(), text);
}

// The wall's checks live in the sibling package pellquist.wall; its Call
// class is imported on first use and kept for the life of the process, like
// the module's other imported objects (never released: the interpreter may
// be gone by the time static destructors run).
PyObject* g_wall_call = nullptr;

PyObject* wall_call_class(const FunctionObject* f) {
    if (g_wall_call != nullptr) return g_wall_call;
    const Names& n = names();
    Ref fromlist = require(PyTuple_Pack(1, n.Call));
    Ref package = require(
        PyImport_ImportModuleLevelObject(n.wall, f->globals, nullptr, fromlist.get(), 1));
    g_wall_call = get_attr(package.get(), n.Call).release();
    return g_wall_call;
}

// The native SQL must read back, in its own dialect, as the statement it was
// rendered from; the wall's Call judges the parse (see pellquist.wall.readback).
void verify_native(const FunctionObject* f, const ScopeRecord* scope, PyObject* tree,
                   PyObject* native, bool parse_in_dialect, PyObject* sql) {
    const Names& n = names();
    Ref back = Ref::steal(parse_sql(f, native, scope->dialect, parse_in_dialect));
    if (!back) {
        // Text that does not even parse back is refused like any other.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) fail();
        PyErr_Clear();
        refuse(n.msg_no_read_back, sql);
    }
    Ref check = get_attr(scope->wall, n.check_native);
    PyObject* args[] = {tree, native, back.get()};
    vectorcall(check.get(), args, 3, nullptr);
}

}  // namespace

void raise_new(PyObject* type, PyObject* const* args, size_t nargs) {
    Ref exc = vectorcall(type, args, nargs, nullptr);
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        fail();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    fail();
}

Ref lowered(PyObject* s) {
    if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(s);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
        Py_ssize_t i = 0;
        while (i < length && static_cast<unsigned>(text[i] - 'A') >= 26u) ++i;
        if (i == length) return Ref::borrow(s);
    }
    return call_method0(s, names().lower);
}

void unpack_error(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
    fail();
}

const ScopeRecord* record_of(const FunctionObject* transformer) {
    PyObject* closure = transformer->closure;
    if (closure == nullptr || Py_TYPE(closure) != &RecordType) {
        PyErr_SetString(PyExc_RuntimeError, "transformer called after its call ended");
        fail();
    }
    return reinterpret_cast<const ScopeRecord*>(closure);
}

void ready_session_types() {
    if (RecordType.tp_flags & Py_TPFLAGS_READY) return;
    // No Py_TPFLAGS_BASETYPE: the record cannot be subclassed.
    RecordType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    RecordType.tp_traverse = record_traverse;
    RecordType.tp_clear = record_clear;
    RecordType.tp_dealloc = record_dealloc;
    require_status(PyType_Ready(&RecordType));
}

// ---- Session.__init__(self, db, params) -------------------------------------

Ref session_init(FunctionObject*, PyObject* const* a, int& line) {
    const Names& n = names();
    line = 6;
    require_status(PyObject_SetAttr(a[0], n.database, a[1]));
    line = 7;
    require_status(PyObject_SetAttr(a[0], n.params, a[2]));
    return Ref::borrow(Py_None);
}

// ---- Session.is_type(tree, _type) -------------------------------------------

Ref session_is_type(FunctionObject*, PyObject* const* a, int& line) {
    line = 10;
    Ref found = call_method1(a[0], names().find_all, a[1]);
    // The whole search runs: the result is collected before it is tested.
    Ref list = require(PySequence_List(found.get()));
    return Ref::borrow(PyList_GET_SIZE(list.get()) > 0 ? Py_True : Py_False);
}

// ---- Session.generateNativeSQL(self, aSql, dialect=None) --------------------

Ref session_generate(FunctionObject* f, PyObject* const* a, int& line) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* sql = a[1];
    PyObject* dialect = a[2];

    line = 14;
    Ref record = new_record();
    ScopeRecord* scope = as_record(record);
    scope->self = Py_NewRef(self);
    scope->dialect = Py_NewRef(dialect);

    line = 15;
    const bool parse_in_dialect = truth(dialect);
    line = parse_in_dialect ? 16 : 18;
    Ref tree = require(parse_sql(f, sql, dialect, parse_in_dialect));

    line = 19;
    {
        Ref select = get_attr(lookup_global(f, n.exp).get(), n.Select);
        PyObject* root_type = reinterpret_cast<PyObject*>(Py_TYPE(tree.get()));
        if (require_status(PyObject_RichCompareBool(root_type, select.get(), Py_NE))) {
            line = 20;
            refuse(n.msg_only_select, sql);
        }
    }

    // Every part that writes, changes the schema or runs a command is
    // refused; so are SELECT ... INTO, which creates a table, and row locks.
    // This is the one list of blocked kinds: the wall's Call gets it, and
    // with it the filter check and the read-back.
    line = 21;
    PyObject* const blocked_names[] = {n.DML,  n.DDL,           n.Command, n.Commit,
                                       n.Drop, n.TruncateTable, n.Into,  n.Lock};
    constexpr Py_ssize_t kBlocked = sizeof blocked_names / sizeof blocked_names[0];
    Ref blocked = require(PyList_New(kBlocked));
    for (Py_ssize_t i = 0; i < kBlocked; ++i) {
        Ref cls = get_attr(lookup_global(f, n.exp).get(), blocked_names[i]);
        PyList_SET_ITEM(blocked.get(), i, cls.release());
    }
    for (Py_ssize_t i = 0; i < kBlocked; ++i) {
        PyObject* type = PyList_GET_ITEM(blocked.get(), i);
        line = 23;
        Ref is_type = get_attr(lookup_global(f, n.Session).get(), n.is_type);
        Ref hit = call2(is_type.get(), tree.get(), type);
        if (truth(hit.get())) {
            line = 24;
            refuse(n.msg_dml_ddl, sql);
        }
    }

    line = 26;
    scope->cte_names = require(PySet_New(nullptr)).release();
    line = 28;
    Ref ctes = get_attr(tree.get(), n.ctes);
    Ref iter = require(PyObject_GetIter(ctes.get()));
    while (true) {
        line = 28;
        Ref cte = Ref::steal(PyIter_Next(iter.get()));
        if (!cte) {
            if (PyErr_Occurred()) fail();
            break;
        }
        line = 29;
        Ref alias = get_attr(cte.get(), n.alias);
        line = 30;
        require_status(PySet_Add(scope->cte_names, alias.get()));
    }

    line = 35;
    Ref database = get_attr(scope->self, n.database);
    Ref tables = get_attr(database.get(), n.tables);
    // Made after `tables` is known, so that the map of a large catalogue is
    // sized once instead of growing through every power of two.
    line = 34;
    const Py_ssize_t expected = PyDict_CheckExact(tables.get()) ? PyDict_GET_SIZE(tables.get()) : 0;
    scope->tbl_map = require(_PyDict_NewPresized(expected)).release();
    walk_mapping(tables.get(), line, 35, [&](PyObject*, PyObject* tbl) {
        line = 36;
        Ref pub = get_attr(tbl, n.pub_name);
        Ref key = lowered(pub.get());
        require_status(PyDict_SetItem(scope->tbl_map, key.get(), tbl));
    });

    // The wall's walk of the statement: it refuses what the rewrite cannot
    // vouch for, and names the CTEs of every level, which the transformer
    // may keep when they are in scope.
    line = 24;
    {
        PyObject* args[] = {database.get(), scope->dialect, sql, blocked.get()};
        scope->wall = vectorcall(wall_call_class(f), args, 4, nullptr).release();
        Ref nested = call_method1(scope->wall, n.check, tree.get());
        call_method1(scope->cte_names, n.update, nested.get());
    }

    line = 38;
    Ref transformer_fn = make_function(Func::Transformer, transformer, nullptr, f->globals,
                                       f->builtins, record.get());

    line = 86;
    Ref new_tree = call_method1(tree.get(), n.transform, transformer_fn.get());

    line = 88;
    Ref render = get_attr(new_tree.get(), n.sql);
    PyObject* args[] = {scope->dialect, Py_True};
    Ref native = vectorcall(render.get(), args, 0, n.kw_sql);
    verify_native(f, scope, new_tree.get(), native.get(), parse_in_dialect, sql);
    return native;
}

}  // namespace quist
