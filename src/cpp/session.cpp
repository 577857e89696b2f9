#include "session.hpp"

#include "catalogue.hpp"
#include "cpython.hpp"
#include "lines.hpp"
#include "readback.hpp"
#include "record.hpp"
#include "rewrite.hpp"
#include "wall.hpp"

namespace quist {
namespace {

Ref call2(PyObject* callable, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return vectorcall(callable, args, 2, nullptr);
}

// Every part that writes, changes the schema or runs a command is refused;
// so are SELECT ... INTO, which creates a table, and row locks.  This is
// the one list of blocked kinds: the statement check runs it here, and the
// wall's Call gets it for the filter check and the read-back.
Ref blocked_kinds(const FunctionObject* f) {
    const Names& n = names();
    PyObject* const kinds[] = {n.str_DML,  n.str_DDL,           n.str_Command, n.str_Commit,
                               n.str_Drop, n.str_TruncateTable, n.str_Into,    n.str_Lock};
    constexpr Py_ssize_t kCount = sizeof kinds / sizeof kinds[0];
    Ref blocked = require(PyList_New(kCount));
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        Ref cls = get_attr(lookup_global(f, n.str_exp).borrow(), kinds[i]);
        PyList_SET_ITEM(blocked.borrow(), i, cls.release());
    }
    return blocked;
}

}  // namespace

PyObject* parse_sql(const FunctionObject* f, PyObject* text, PyObject* dialect, bool in_dialect) {
    Ref parse_one = lookup_global(f, names().str_parse_one);
    PyObject* args[] = {text, dialect};
    return in_dialect ? PyObject_Vectorcall(parse_one.borrow(), args, 1, names().kw_dialect)
                      : PyObject_CallOneArg(parse_one.borrow(), text);
}

void refuse(PyObject* message, PyObject* sql) {
    PyObject* args[] = {message, sql};
    raise_new(PyExc_Exception, args, 2);
}

// ---- Session.__init__(self, db, params) -------------------------------------

Ref session_init(FunctionObject*, PyObject* const* a, int& line) {
    const Names& n = names();
    line = lines::init::kSetDatabase;
    require_status(PyObject_SetAttr(a[0], n.str_database, a[1]));
    line = lines::init::kSetParams;
    require_status(PyObject_SetAttr(a[0], n.str_params, a[2]));
    return Ref::new_ref(Py_None);
}

// ---- Session.is_type(tree, _type) -------------------------------------------

Ref session_is_type(FunctionObject*, PyObject* const* a, int& line) {
    line = lines::is_type::kFindAll;
    Ref found = call_method1(a[0], names().str_find_all, a[1]);
    // The whole search runs: the result is collected before it is tested.
    Ref list = require(PySequence_List(found.borrow()));
    return Ref::new_ref(PyList_GET_SIZE(list.borrow()) > 0 ? Py_True : Py_False);
}

// ---- Session.generateNativeSQL(self, aSql, dialect=None) --------------------

Ref session_generate(FunctionObject* f, PyObject* const* a, int& line) {
    namespace L = lines::generate;
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* sql = a[1];
    PyObject* dialect = a[2];

    line = L::kDef;
    Ref record = new_record();
    ScopeRecord* scope = as_record(record);
    scope->self = Py_NewRef(self);
    scope->dialect = Py_NewRef(dialect);

    line = L::kTestDialect;
    const bool parse_in_dialect = truth(dialect);
    line = parse_in_dialect ? L::kParseInDialect : L::kParse;
    Ref tree = require(parse_sql(f, sql, dialect, parse_in_dialect));

    line = L::kRootIsSelect;
    {
        Ref select = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_Select);
        PyObject* root_type = reinterpret_cast<PyObject*>(Py_TYPE(tree.borrow()));
        if (require_status(PyObject_RichCompareBool(root_type, select.borrow(), Py_NE))) {
            line = L::kRefuseRoot;
            refuse(n.str_msg_only_select, sql);
        }
    }

    line = L::kBlockedKinds;
    Ref blocked = blocked_kinds(f);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(blocked.borrow()); ++i) {
        PyObject* type = PyList_GET_ITEM(blocked.borrow(), i);
        line = L::kIsType;
        Ref is_type = get_attr(lookup_global(f, n.str_Session).borrow(), n.str_is_type);
        Ref hit = call2(is_type.borrow(), tree.borrow(), type);
        if (truth(hit.borrow())) {
            line = L::kRefuseBlocked;
            refuse(n.str_msg_dml_ddl, sql);
        }
    }

    line = L::kCteNames;
    scope->cte_names = require(PySet_New(nullptr)).release();
    line = L::kCteLoop;
    Ref ctes = get_attr(tree.borrow(), n.str_ctes);
    Ref iter = require(PyObject_GetIter(ctes.borrow()));
    while (true) {
        line = L::kCteLoop;
        Ref cte = Ref::steal(PyIter_Next(iter.borrow()));
        if (!cte) {
            if (PyErr_Occurred()) fail();
            break;
        }
        line = L::kCteAlias;
        Ref alias = get_attr(cte.borrow(), n.str_alias);
        line = L::kCteAdd;
        require_status(PySet_Add(scope->cte_names, alias.borrow()));
    }

    line = L::kCatalogueLoop;
    Ref database = get_attr(scope->self, n.str_database);
    if (Ref known = known_table_map(database.borrow())) {
        // A catalogue that cannot change keeps its map: a call costs the
        // same whatever its size.
        scope->tbl_map = known.release();
    } else {
        Ref tables = get_attr(database.borrow(), n.str_tables);
        // Made after `tables` is known, so that the map of a large catalogue
        // is sized once.
        line = L::kCatalogueMap;
        const Py_ssize_t expected =
            PyDict_CheckExact(tables.borrow()) ? PyDict_GET_SIZE(tables.borrow()) : 0;
        scope->tbl_map = require(cpython::new_presized_dict(expected)).release();
        walk_mapping(tables.borrow(), line, L::kCatalogueLoop, [&](PyObject*, PyObject* tbl) {
            line = L::kCatalogueEntry;
            Ref pub = get_attr(tbl, n.str_pub_name);
            Ref key = lowered(pub.borrow());
            require_status(PyDict_SetItem(scope->tbl_map, key.borrow(), tbl));
        });
    }

    // The wall's walk of the statement: it refuses what the rewrite cannot
    // vouch for, and names the CTEs of every level, which the transformer
    // may keep when they are in scope.
    line = L::kWallWalk;
    scope->wall =
        wall::make_call(f, database.borrow(), scope->dialect, sql, blocked.borrow()).release();
    Ref nested = wall::check(scope->wall, tree.borrow());
    call_method1(scope->cte_names, n.str_update, nested.borrow());

    line = L::kTransformerDef;
    Ref transformer_fn = make_function(Func::Transformer, transformer, nullptr, f->globals,
                                       f->builtins, record.borrow());

    line = L::kTransform;
    Ref new_tree = call_method1(tree.borrow(), n.str_transform, transformer_fn.borrow());

    line = L::kRender;
    Ref render = get_attr(new_tree.borrow(), n.str_sql);
    PyObject* args[] = {scope->dialect, Py_True};
    Ref native = vectorcall(render.borrow(), args, 0, n.kw_sql);
    line = L::kReadBack;
    verify_native(f, scope, new_tree.borrow(), native.borrow(), parse_in_dialect, sql);
    return native;
}

}  // namespace quist
