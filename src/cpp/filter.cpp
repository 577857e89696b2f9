#include "filter.hpp"

#include "lines.hpp"
#include "wall.hpp"

namespace quist {
namespace {

namespace L = lines::transformer;

bool is_instance(PyObject* o, PyObject* cls) {
    return require_status(PyObject_IsInstance(o, cls)) != 0;
}

// Whether a character may continue an identifier, so that "where" followed
// by it is a longer word rather than the keyword.
bool continues_identifier(Py_UCS4 ch) {
    return Py_UNICODE_ISALNUM(ch) || ch == '_' || ch == '$';
}

// `format(**params)` takes the params as a new dict, so the session's own
// mapping is never changed by the call.
Ref params_as_kwargs(PyObject* params) {
    if (PyDict_CheckExact(params)) return require(PyDict_Copy(params));
    if (params == Py_None)
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    return call1(reinterpret_cast<PyObject*>(&PyDict_Type), params);
}

// A filter is pasted into the subquery's WHERE: it must parse as one
// condition.  A parse that is several statements or a statement (query,
// set operation, DML, DDL, command), or that holds any part the statement
// itself would be refused for, would let params text run or read anything;
// one that is no condition at all ("7 x" reads as an alias) would change
// what the subquery selects.
void check_one_condition(const FunctionObject* f, const ScopeRecord* scope, PyObject* table,
                         PyObject* condition, PyObject* expr) {
    const Names& n = names();
    Ref exp = lookup_global(f, n.str_exp);
    // The statement's own list of blocked kinds, as this call read it.
    Ref blocked = wall::blocked(scope->wall);
    // Anything that is not a condition (an alias, a star) is refused, and so
    // is a statement: a block, a query or a blocked kind at the root.
    bool bad = !is_instance(expr, get_attr(exp.borrow(), n.str_Condition).borrow()) ||
               is_instance(expr, get_attr(exp.borrow(), n.str_Block).borrow()) ||
               is_instance(expr, get_attr(exp.borrow(), n.str_Query).borrow()) ||
               is_instance(expr, blocked.borrow());
    if (!bad) {
        // One walk of the filter looks for a blocked kind anywhere in it.
        Ref find = get_attr(expr, n.str_find);
        bad = vectorcall(find.borrow(), &PyTuple_GET_ITEM(blocked.borrow(), 0),
                         static_cast<size_t>(PyTuple_GET_SIZE(blocked.borrow())), nullptr)
                  .borrow() != Py_None;
    }
    if (!bad) return;
    Ref pub = get_attr(table, n.str_pub_name);
    raise_format(PyExc_ValueError,
                 "The row filter of table %R does not parse as a single condition: %R",
                 pub.borrow(), condition);
}

}  // namespace

Ref parsed_filter(const FunctionObject* f, const ScopeRecord* scope, PyObject* table,
                  PyObject* filter, PyObject* select, int& line) {
    const Names& n = names();
    line = L::kFill;
    Ref format = get_attr(call_method0(filter, n.str_strip).borrow(), n.str_format);
    Ref kwargs = params_as_kwargs(get_attr(scope->self, n.str_params).borrow());
    Ref condition = require(PyObject_Call(format.borrow(), n.empty_tuple, kwargs.borrow()));

    line = L::kLeadingWhere;
    Ref folded = call_method0(condition.borrow(), n.str_lower);
    if (truth(call_method1(folded.borrow(), n.str_startswith, n.str_where).borrow())) {
        // Only the keyword goes: "whereabouts = 1" keeps its column.
        const bool longer_word = PyUnicode_Check(condition.borrow()) &&
                                 PyUnicode_GET_LENGTH(condition.borrow()) > 5 &&
                                 continues_identifier(PyUnicode_READ_CHAR(condition.borrow(), 5));
        if (!longer_word) {
            line = L::kDropWhere;
            Ref rest = require(PySequence_GetSlice(condition.borrow(), 5, PY_SSIZE_T_MAX));
            condition = call_method0(rest.borrow(), n.str_strip);
        }
    }

    line = L::kParseFilter;
    Ref parse_one = lookup_global(f, n.str_parse_one);
    PyObject* args[] = {condition.borrow(), scope->dialect};
    Ref expr = vectorcall(parse_one.borrow(), args, 1, n.kw_read);
    line = L::kFilterCheck;
    check_one_condition(f, scope, table, condition.borrow(), expr.borrow());
    // The filter's columns mean the internal table's, never a column of a
    // query around the subquery.
    wall::bind_filter(scope->wall, expr.borrow(), select);
    return expr;
}

}  // namespace quist
