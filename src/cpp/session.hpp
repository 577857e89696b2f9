// The bodies of Session's functions: __init__, is_type and
// generateNativeSQL.  The transformer that generateNativeSQL makes per call
// is in rewrite.hpp.
#pragma once

#include "function.hpp"

namespace quist {

Ref session_init(FunctionObject* f, PyObject* const* args, int& line);
Ref session_is_type(FunctionObject* f, PyObject* const* args, int& line);
Ref session_generate(FunctionObject* f, PyObject* const* args, int& line);

// parse_one(text, dialect=dialect), or parse_one(text) for sqlglot's default
// dialect; nullptr with the exception set when it fails.  The read-back
// parses the same way as the statement was parsed.
PyObject* parse_sql(const FunctionObject* f, PyObject* text, PyObject* dialect,
                    bool in_dialect);

// raise Exception(message, sql): how every refusal of a statement reads.
[[noreturn]] void refuse(PyObject* message, PyObject* sql);

}  // namespace quist
