// The rewrite's side of the wall between tenants.
//
// The wall's rules live in the Python package pellquist.wall, a file for
// each (text, sources, scope, functions, fence, readback).  Each
// generateNativeSQL makes one `Call` there, kept in its record, and asks it
// these questions; every refusal is raised by the Call itself.
#pragma once

#include "function.hpp"

namespace quist::wall {

// A new Call(database, dialect, sql, blocked).  pellquist.wall is imported
// on first use, relative to the module's package.
Ref make_call(const FunctionObject* f, PyObject* database, PyObject* dialect, PyObject* sql,
              PyObject* blocked);

// Walks the statement once, refusing what the rewrite cannot vouch for;
// returns the CTE names of every level, which the transformer may keep.
Ref check(PyObject* call, PyObject* tree);

// The blocked statement kinds as the Call holds them: a tuple of classes.
Ref blocked(PyObject* call);

// Whether a table reference is a CTE in scope where it stands.
bool is_cte(PyObject* call, PyObject* node);

// A column qualified by a table's full public name, qualified instead by
// the alias its subquery gets.
Ref requalify(PyObject* call, PyObject* column, PyObject* tbl_map);

// The alias of the subquery replacing a table written without one: its
// public name with "_" for ".", unless the statement uses that name.
Ref default_alias(PyObject* call, PyObject* pub_name);

// The internal table's name as the subquery's FROM takes it (recorded).
Ref internal_name(PyObject* call, PyObject* name);

// Binds a parsed filter's columns to the internal table of `select`.
void bind_filter(PyObject* call, PyObject* condition, PyObject* select);

// The filtered select that replaces `node`, fenced so that the filter runs
// first wherever the statement can meet the table's rows before it.
Ref fence(PyObject* call, PyObject* node, PyObject* select);

// Carries a reference's alias columns and pivots onto its subquery.
Ref carry(PyObject* call, PyObject* node, PyObject* subquery, PyObject* transformer);

// Judges the read-back parse of the native SQL.
void check_native(PyObject* call, PyObject* tree, PyObject* native, PyObject* back);

}  // namespace quist::wall
