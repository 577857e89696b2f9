// The transformer: replaces each reference to a catalogue table with a
// filtered, renamed subquery over the internal table.
//
// The row filter is the wall between tenants.  The transformer asks the
// wall's Call (pellquist.wall) whether a name is a CTE in scope, binds the
// filter's columns to the internal table, fences the filter and carries the
// reference's parts over; it checks itself that a filled filter is one
// condition, not a statement.

#include "session.hpp"

namespace quist {
namespace {

bool is_instance(PyObject* o, PyObject* cls) {
    return require_status(PyObject_IsInstance(o, cls)) != 0;
}

// Whether a character may continue an identifier, so that "where" followed
// by it is a longer word rather than the keyword.
bool continues_identifier(Py_UCS4 ch) {
    return Py_UNICODE_ISALNUM(ch) || ch == '_' || ch == '$';
}

// Keeps a reference as written only when it is a CTE of the statement.  The
// set of CTE names is a cheap first test; the wall's Call judges the rest
// (qualified names, scope at every level of WITH, case; pellquist.wall.scope).
bool is_cte_reference(const ScopeRecord* scope, PyObject* node, PyObject* name) {
    if (require_status(PySequence_Contains(scope->cte_names, name)) == 0) return false;
    return truth(call_method1(scope->wall, names().is_cte, node).get());
}

// The catalog or db part of the lookup key, as written: a node's `this` if
// it has one, else its text.
Ref name_part(PyObject* node, PyObject* attr) {
    Ref part = get_attr(node, attr);
    PyObject* inner = PyObject_GetAttr(part.get(), names().this_);
    if (inner != nullptr) return Ref::steal(inner);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return require(PyObject_Str(part.get()));
}

// `format(**params)` takes the params as a new dict, so the session's own
// mapping is never changed by the call.
Ref params_as_kwargs(PyObject* params) {
    if (PyDict_CheckExact(params)) return require(PyDict_Copy(params));
    if (params == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        fail();
    }
    return call1(reinterpret_cast<PyObject*>(&PyDict_Type), params);
}

// A filter is pasted into the subquery's WHERE: it must parse as one
// condition.  A parse that is several statements or a statement (query,
// set operation, DML, DDL, command), or that holds any part the statement
// itself would be refused for, would let params text run or read anything;
// one that is no condition at all ("7 x" reads as an alias) would change
// what the subquery selects.
void check_filter(const FunctionObject* f, const ScopeRecord* scope, PyObject* table,
                  PyObject* condition, PyObject* expr) {
    const Names& n = names();
    Ref exp = lookup_global(f, n.exp);
    // The statement's own list of blocked kinds, as this call read it.
    Ref blocked = get_attr(scope->wall, n.blocked);
    if (!PyTuple_CheckExact(blocked.get())) {
        PyErr_SetString(PyExc_TypeError, "the wall's blocked kinds must be a tuple");
        fail();
    }
    // Anything that is not a condition (an alias, a star) is refused, and so
    // is a statement: a block, a query or a blocked kind at the root.
    bool bad = !is_instance(expr, get_attr(exp.get(), n.Condition).get()) ||
               is_instance(expr, get_attr(exp.get(), n.Block).get()) ||
               is_instance(expr, get_attr(exp.get(), n.Query).get()) ||
               is_instance(expr, blocked.get());
    if (!bad) {
        // One walk of the filter looks for a blocked kind anywhere in it.
        Ref find = get_attr(expr, n.find);
        bad = vectorcall(find.get(), &PyTuple_GET_ITEM(blocked.get(), 0),
                         static_cast<size_t>(PyTuple_GET_SIZE(blocked.get())), nullptr)
                  .get() != Py_None;
    }
    if (!bad) return;
    Ref pub = get_attr(table, n.pub_name);
    PyErr_Format(PyExc_ValueError,
                 "The row filter of table %R does not parse as a single condition: %R",
                 pub.get(), condition);
    fail();
}

// A table read that the rewrite cannot see through, or nullptr: sqlglot's
// TableFromRows (Snowflake's TABLE('name') reads whatever table the text
// names) and the table after ClickHouse's `x IN name`.  The part returned
// names what is read; releases of sqlglot without these nodes have none.
Ref hidden_table_read(PyObject* exp, PyObject* node) {
    const Names& n = names();
    PyObject* cls = PyObject_GetAttr(exp, n.TableFromRows);
    if (cls == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
    } else if (is_instance(node, Ref::steal(cls).get())) {
        return Ref::borrow(node);
    }
    if (!is_instance(node, get_attr(exp, n.In).get())) return Ref();
    Ref args = get_attr(node, n.args);
    PyObject* field = PyDict_Check(args.get()) ? PyDict_GetItemWithError(args.get(), n.field)
                                               : nullptr;
    if (field == nullptr && PyErr_Occurred()) fail();
    if (field == nullptr || field == Py_None) return Ref();
    return Ref::borrow(field);
}

// raise TableNotFound(key, "No such table found."), the class looked up now.
[[noreturn]] void raise_not_found(const FunctionObject* f, PyObject* key) {
    Ref not_found = lookup_global(f, names().TableNotFound);
    PyObject* args[] = {key, names().msg_no_table};
    raise_new(not_found.get(), args, 2);
}

}  // namespace

// ---- transformer(node) ------------------------------------------------------

Ref transformer(FunctionObject* f, PyObject* const* a, int& line) {
    const Names& n = names();
    PyObject* node = a[0];
    const auto* scope = record_of(f);

    line = 39;
    Ref exp = lookup_global(f, n.exp);
    if (!is_instance(node, get_attr(exp.get(), n.Table).get())) {
        if (Ref hidden = hidden_table_read(exp.get(), node)) {
            line = 56;
            Ref key = call_method0(call_method0(hidden.get(), n.sql).get(), n.lower);
            raise_not_found(f, key.get());
        }
        // A column qualified by a table's full public name ("sales.orders.id")
        // follows the table, which is now a subquery under an alias.
        if (is_instance(node, get_attr(exp.get(), n.Column).get()) &&
            truth(get_attr(node, n.db).get())) {
            line = 57;
            PyObject* args[] = {node, scope->tbl_map};
            Ref requalify = get_attr(scope->wall, n.requalify);
            return vectorcall(requalify.get(), args, 2, nullptr);
        }
        return Ref::borrow(node);
    }

    // A generator standing in a FROM (the wall has vetted it) reads no table.
    if (!is_instance(get_attr(node, n.this_).get(), get_attr(exp.get(), n.Identifier).get()))
        return Ref::borrow(node);

    line = 40;
    Ref name = get_attr(node, n.name);
    line = 41;
    if (is_cte_reference(scope, node, name.get())) return Ref::borrow(node);

    line = 43;
    Ref table_name = lowered(name.get());
    line = 44;
    Ref parts = require(PyList_New(0));
    const int part_lines[][3] = {{45, 46, 47}, {48, 49, 50}};
    PyObject* const part_attrs[] = {n.catalog, n.db};
    for (int i = 0; i < 2; ++i) {
        line = part_lines[i][0];
        if (!truth(get_attr(node, part_attrs[i]).get())) continue;
        line = part_lines[i][1];
        Ref part = name_part(node, part_attrs[i]);
        line = part_lines[i][2];
        require_status(PyList_Append(parts.get(), lowered(part.get()).get()));
    }
    line = 51;
    require_status(PyList_Append(parts.get(), lowered(table_name.get()).get()));
    line = 53;
    Ref key = require(PyUnicode_Join(n.dot, parts.get()));

    line = 55;
    if (require_status(PySequence_Contains(scope->tbl_map, key.get())) == 0) {
        line = 56;
        raise_not_found(f, key.get());
    }
    line = 57;
    Ref table = require(PyObject_GetItem(scope->tbl_map, key.get()));

    line = 58;
    Ref alias;
    if (require_status(PyObject_RichCompareBool(get_attr(node, n.alias).get(), n.empty, Py_EQ))) {
        line = 59;
        Ref pub = require(PyObject_Str(get_attr(table.get(), n.pub_name).get()));
        alias = require(PyUnicode_Replace(pub.get(), n.dot, n.underscore, -1));
    } else {
        line = 61;
        alias = get_attr(node, n.alias);
    }

    line = 62;
    Ref projections = require(PyList_New(0));
    line = 63;
    Ref columns = get_attr(table.get(), n.columns);
    walk_mapping(columns.get(), line, 63, [&](PyObject* internal, PyObject* column) {
        line = 64;
        Ref public_name = get_attr(column, n.pub_name);
        line = 65;
        Ref alias_fn = get_attr(lookup_global(f, n.exp).get(), n.alias_);
        Ref column_fn = get_attr(lookup_global(f, n.exp).get(), n.column);
        Ref col = call1(column_fn.get(), internal);
        PyObject* args[] = {col.get(), public_name.get()};
        require_status(
            PyList_Append(projections.get(), vectorcall(alias_fn.get(), args, 2, nullptr).get()));
    });

    line = 67;
    Ref select_fn = get_attr(lookup_global(f, n.exp).get(), n.select);
    Ref select = vectorcall(select_fn.get(), PySequence_Fast_ITEMS(projections.get()),
                            static_cast<size_t>(PyList_GET_SIZE(projections.get())), nullptr);
    {
        Ref from = get_attr(select.get(), n.from_);
        // An internal name given as an expression is copied by the wall, so
        // the catalogue's own object never hangs under a query's tree.
        Ref internal = call_method1(scope->wall, n.internal_name,
                                    get_attr(table.get(), n.name).get());
        select = call1(from.get(), internal.get());
    }

    line = 69;
    Ref filter = get_attr(table.get(), n.filters);
    line = 70;
    if (truth(filter.get())) {
        line = 71;
        Ref format = get_attr(call_method0(filter.get(), n.strip).get(), n.format);
        Ref kwargs = params_as_kwargs(get_attr(scope->self, n.params).get());
        Ref condition = require(PyObject_Call(format.get(), n.empty_tuple, kwargs.get()));

        line = 74;
        Ref lowered = call_method0(condition.get(), n.lower);
        if (truth(call_method1(lowered.get(), n.startswith, n.where).get())) {
            // Only the keyword goes: "whereabouts = 1" keeps its column.
            const bool longer_word = PyUnicode_Check(condition.get()) &&
                                     PyUnicode_GET_LENGTH(condition.get()) > 5 &&
                                     continues_identifier(PyUnicode_READ_CHAR(condition.get(), 5));
            if (!longer_word) {
                line = 75;
                Ref rest = require(PySequence_GetSlice(condition.get(), 5, PY_SSIZE_T_MAX));
                condition = call_method0(rest.get(), n.strip);
            }
        }

        line = 76;
        Ref parse_one = lookup_global(f, n.parse_one);
        PyObject* args[] = {condition.get(), scope->dialect};
        Ref expr = vectorcall(parse_one.get(), args, 1, n.kw_read);
        check_filter(f, scope, table.get(), condition.get(), expr.get());
        {
            // The filter's columns mean the internal table's, never a column
            // of a query around the subquery.
            PyObject* args[] = {expr.get(), select.get()};
            Ref bind = get_attr(scope->wall, n.bind_filter);
            vectorcall(bind.get(), args, 2, nullptr);
        }

        line = 77;
        Ref where = get_attr(select.get(), n.where);
        select = call1(where.get(), expr.get());
        // The filter runs before anything of the user's query.
        select = call_method1(scope->wall, n.fence, select.get());
    }

    line = 79;
    Ref subquery_cls = get_attr(lookup_global(f, n.exp).get(), n.Subquery);
    line = 81;
    Ref table_alias_cls = get_attr(lookup_global(f, n.exp).get(), n.TableAlias);
    Ref identifier_cls = get_attr(lookup_global(f, n.exp).get(), n.Identifier);
    PyObject* ident_args[] = {alias.get(), Py_True};
    Ref identifier = vectorcall(identifier_cls.get(), ident_args, 0, n.kw_this_quoted);
    PyObject* alias_args[] = {identifier.get()};
    Ref table_alias = vectorcall(table_alias_cls.get(), alias_args, 0, n.kw_this);
    line = 79;
    PyObject* sub_args[] = {select.get(), table_alias.get()};
    Ref subquery = vectorcall(subquery_cls.get(), sub_args, 0, n.kw_this_alias);
    // Alias columns and pivots keep their meaning on the subquery.
    PyObject* carry_args[] = {node, subquery.get()};
    Ref carry = get_attr(scope->wall, n.carry);
    return vectorcall(carry.get(), carry_args, 2, nullptr);
}

}  // namespace quist
