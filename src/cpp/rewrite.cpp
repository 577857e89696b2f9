// The row filter is the wall between tenants.  The transformer asks the
// wall's Call whether a name is a CTE in scope, has the filter bound to the
// internal table and fenced, and carries the reference's parts over.

#include "rewrite.hpp"

#include "catalogue.hpp"
#include "filter.hpp"
#include "lines.hpp"
#include "record.hpp"
#include "wall.hpp"

namespace quist {
namespace {

namespace L = lines::transformer;

bool is_instance(PyObject* o, PyObject* cls) {
    return require_status(PyObject_IsInstance(o, cls)) != 0;
}

// Keeps a reference as written only when it is a CTE of the statement.  The
// set of CTE names is a cheap first test; the wall's Call judges the rest
// (qualified names, scope at every level of WITH, case).
bool is_cte_reference(const ScopeRecord* scope, PyObject* node, PyObject* name) {
    if (require_status(PySequence_Contains(scope->cte_names, name)) == 0) return false;
    return wall::is_cte(scope->wall, node);
}

// The catalog or db part of the lookup key, as written: a node's `this` if
// it has one, else its text.
Ref name_part(PyObject* node, PyObject* attr) {
    Ref part = get_attr(node, attr);
    PyObject* inner = PyObject_GetAttr(part.borrow(), names().str_this_);
    if (inner != nullptr) return Ref::steal(inner);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return require(PyObject_Str(part.borrow()));
}

// A table read that the rewrite cannot see through, or an empty Ref:
// sqlglot's TableFromRows (Snowflake's TABLE('name') reads whatever table
// the text names) and the table after ClickHouse's `x IN name`.  The part
// returned names what is read; releases of sqlglot without these nodes
// have none.
Ref hidden_table_read(PyObject* exp, PyObject* node) {
    const Names& n = names();
    PyObject* cls = PyObject_GetAttr(exp, n.str_TableFromRows);
    if (cls == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
    } else if (is_instance(node, Ref::steal(cls).borrow())) {
        return Ref::new_ref(node);
    }
    if (!is_instance(node, get_attr(exp, n.str_In).borrow())) return Ref();
    Ref args = get_attr(node, n.str_args);
    PyObject* field = PyDict_Check(args.borrow())
                          ? PyDict_GetItemWithError(args.borrow(), n.str_field)
                          : nullptr;
    if (field == nullptr && PyErr_Occurred()) fail();
    if (field == nullptr || field == Py_None) return Ref();
    return Ref::new_ref(field);
}

// raise TableNotFound(key, "No such table found."), the class looked up now.
[[noreturn]] void raise_not_found(const FunctionObject* f, PyObject* key) {
    Ref not_found = lookup_global(f, names().str_TableNotFound);
    PyObject* args[] = {key, names().str_msg_no_table};
    raise_new(not_found.borrow(), args, 2);
}

// A node that is not a table: refused if it reads a table out of sight,
// requalified if it is a column qualified by a full public name, and
// otherwise kept.
Ref transform_other(const FunctionObject* f, const ScopeRecord* scope, PyObject* exp,
                    PyObject* node, int& line) {
    const Names& n = names();
    if (Ref hidden = hidden_table_read(exp, node)) {
        line = L::kHiddenRead;
        Ref key = call_method0(call_method0(hidden.borrow(), n.str_sql).borrow(), n.str_lower);
        raise_not_found(f, key.borrow());
    }
    // "sales.orders.id" follows the table, which is now a subquery under an
    // alias.
    if (is_instance(node, get_attr(exp, n.str_Column).borrow()) &&
        truth(get_attr(node, n.str_db).borrow())) {
        line = L::kRequalify;
        return wall::requalify(scope->wall, node, scope->tbl_map);
    }
    return Ref::new_ref(node);
}

}  // namespace

Ref transformer(FunctionObject* f, PyObject* const* a, int& line) {
    const Names& n = names();
    PyObject* node = a[0];
    const auto* scope = record_of(f);

    line = L::kIsTable;
    Ref exp = lookup_global(f, n.str_exp);
    if (!is_instance(node, get_attr(exp.borrow(), n.str_Table).borrow()))
        return transform_other(f, scope, exp.borrow(), node, line);

    // A generator standing in a FROM (the wall has vetted it) reads no table.
    if (!is_instance(get_attr(node, n.str_this_).borrow(),
                     get_attr(exp.borrow(), n.str_Identifier).borrow()))
        return Ref::new_ref(node);

    line = L::kName;
    Ref name = get_attr(node, n.str_name);
    line = L::kIsCte;
    if (is_cte_reference(scope, node, name.borrow())) return Ref::new_ref(node);

    line = L::kLowerName;
    Ref table_name = lowered(name.borrow());
    line = L::kParts;
    Ref parts = require(PyList_New(0));
    PyObject* const part_attrs[] = {n.str_catalog, n.str_db};
    for (int i = 0; i < 2; ++i) {
        line = L::kPartSteps[i][0];
        if (!truth(get_attr(node, part_attrs[i]).borrow())) continue;
        line = L::kPartSteps[i][1];
        Ref part = name_part(node, part_attrs[i]);
        line = L::kPartSteps[i][2];
        require_status(PyList_Append(parts.borrow(), lowered(part.borrow()).borrow()));
    }
    line = L::kTablePart;
    require_status(PyList_Append(parts.borrow(), lowered(table_name.borrow()).borrow()));
    line = L::kKey;
    Ref key = require(PyUnicode_Join(n.str_dot, parts.borrow()));

    line = L::kLookup;
    if (require_status(PySequence_Contains(scope->tbl_map, key.borrow())) == 0) {
        line = L::kNotFound;
        raise_not_found(f, key.borrow());
    }
    line = L::kTable;
    Ref table = require(PyObject_GetItem(scope->tbl_map, key.borrow()));

    line = L::kAliasTest;
    Ref alias;
    if (require_status(PyObject_RichCompareBool(get_attr(node, n.str_alias).borrow(), n.str_empty,
                                                Py_EQ))) {
        line = L::kDefaultAlias;
        Ref pub = require(PyObject_Str(get_attr(table.borrow(), n.str_pub_name).borrow()));
        alias = wall::default_alias(scope->wall, pub.borrow());
    } else {
        line = L::kUserAlias;
        alias = get_attr(node, n.str_alias);
    }

    line = L::kProjections;
    Ref projections = require(PyList_New(0));
    line = L::kColumnLoop;
    Ref columns = get_attr(table.borrow(), n.str_columns);
    walk_mapping(columns.borrow(), line, L::kColumnLoop, [&](PyObject* internal, PyObject* column) {
        line = L::kColumnName;
        Ref public_name = get_attr(column, n.str_pub_name);
        line = L::kProjection;
        Ref alias_fn = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_alias_);
        Ref column_fn = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_column);
        Ref col = call1(column_fn.borrow(), internal);
        PyObject* args[] = {col.borrow(), public_name.borrow()};
        require_status(PyList_Append(projections.borrow(),
                                     vectorcall(alias_fn.borrow(), args, 2, nullptr).borrow()));
    });

    line = L::kSelect;
    Ref select_fn = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_select);
    Ref select = vectorcall(select_fn.borrow(), PySequence_Fast_ITEMS(projections.borrow()),
                            static_cast<size_t>(PyList_GET_SIZE(projections.borrow())), nullptr);
    {
        Ref from = get_attr(select.borrow(), n.str_from_);
        // An internal name given as an expression is copied by the wall, so
        // the catalogue's own object never hangs under a query's tree.
        Ref internal =
            wall::internal_name(scope->wall, get_attr(table.borrow(), n.str_name).borrow());
        select = call1(from.borrow(), internal.borrow());
    }

    line = L::kFilter;
    Ref filter = get_attr(table.borrow(), n.str_filters);
    line = L::kHasFilter;
    if (truth(filter.borrow())) {
        Ref expr = parsed_filter(f, scope, table.borrow(), filter.borrow(), select.borrow(), line);
        line = L::kWhere;
        Ref where = get_attr(select.borrow(), n.str_where);
        select = call1(where.borrow(), expr.borrow());
        // The filter runs before anything of the user's query.
        select = wall::fence(scope->wall, node, select.borrow());
    }

    line = L::kSubquery;
    Ref subquery_cls = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_Subquery);
    line = L::kAlias;
    Ref table_alias_cls = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_TableAlias);
    Ref identifier_cls = get_attr(lookup_global(f, n.str_exp).borrow(), n.str_Identifier);
    PyObject* ident_args[] = {alias.borrow(), Py_True};
    Ref identifier = vectorcall(identifier_cls.borrow(), ident_args, 0, n.kw_this_quoted);
    PyObject* alias_args[] = {identifier.borrow()};
    Ref table_alias = vectorcall(table_alias_cls.borrow(), alias_args, 0, n.kw_this);
    line = L::kSubquery;
    PyObject* sub_args[] = {select.borrow(), table_alias.borrow()};
    Ref subquery = vectorcall(subquery_cls.borrow(), sub_args, 0, n.kw_this_alias);
    // Alias columns and pivots keep their meaning on the subquery; the
    // joins of a parenthesized join it heads are rewritten by this same
    // function (the transform does not go below a node it has replaced).
    return wall::carry(scope->wall, node, subquery.borrow(), reinterpret_cast<PyObject*>(f));
}

}  // namespace quist
