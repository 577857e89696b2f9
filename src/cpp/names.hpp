// Interned names, fixed messages and the functions' code information.
//
// All of it is made once, when the module body first runs, and only read
// afterwards.  Attribute and keyword names are interned so that dict lookups
// hit on the pointer compare and never rehash.
#pragma once

#include "ref.hpp"

namespace quist {

// Each X(member, "text") becomes an interned str `names().member`.
#define QUIST_NAMES(X)                                                          \
    X(__builtins__, "__builtins__")                                             \
    X(__test__, "__test__")                                                     \
    X(__module__, "__module__")                                                 \
    X(__qualname__, "__qualname__")                                             \
    X(__name__, "__name__")                                                     \
    X(__init__, "__init__")                                                     \
    X(is_type, "is_type")                                                       \
    X(generateNativeSQL, "generateNativeSQL")                                   \
    X(Session, "Session")                                                       \
    X(module_fullname, "pellquist.quist")                                       \
    X(sqlglot, "sqlglot")                                                       \
    X(sqlglot_models, "models")                                                 \
    X(models_fullname, "pellquist.models")                                      \
    X(parse_one, "parse_one")                                                   \
    X(exp, "exp")                                                               \
    X(TableNotFound, "TableNotFound")                                           \
    X(database, "database")                                                     \
    X(params, "params")                                                         \
    X(find_all, "find_all")                                                     \
    X(ctes, "ctes")                                                             \
    X(alias, "alias")                                                           \
    X(tables, "tables")                                                         \
    X(items, "items")                                                           \
    X(pub_name, "pub_name")                                                     \
    X(lower, "lower")                                                           \
    X(transform, "transform")                                                   \
    X(sql, "sql")                                                               \
    X(dialect, "dialect")                                                       \
    X(identify, "identify")                                                     \
    X(read, "read")                                                             \
    X(Select, "Select")                                                         \
    X(DML, "DML")                                                               \
    X(DDL, "DDL")                                                               \
    X(Command, "Command")                                                       \
    X(Commit, "Commit")                                                         \
    X(Drop, "Drop")                                                             \
    X(TruncateTable, "TruncateTable")                                           \
    X(Into, "Into")                                                             \
    X(Lock, "Lock")                                                             \
    X(Column, "Column")                                                         \
    X(wall, "wall")                                                             \
    X(Call, "Call")                                                             \
    X(check, "check")                                                           \
    X(update, "update")                                                         \
    X(blocked, "blocked")                                                       \
    X(is_cte, "is_cte")                                                         \
    X(bind_filter, "bind_filter")                                               \
    X(fence, "fence")                                                           \
    X(carry, "carry")                                                           \
    X(requalify, "requalify")                                                   \
    X(internal_name, "internal_name")                                           \
    X(check_native, "check_native")                                             \
    X(Block, "Block")                                                           \
    X(Query, "Query")                                                           \
    X(Table, "Table")                                                           \
    X(column, "column")                                                         \
    X(alias_, "alias_")                                                         \
    X(select, "select")                                                         \
    X(from_, "from_")                                                           \
    X(where, "where")                                                           \
    X(Subquery, "Subquery")                                                     \
    X(TableAlias, "TableAlias")                                                 \
    X(Identifier, "Identifier")                                                 \
    X(this_, "this")                                                            \
    X(quoted, "quoted")                                                         \
    X(name, "name")                                                             \
    X(catalog, "catalog")                                                       \
    X(db, "db")                                                                 \
    X(columns, "columns")                                                       \
    X(filters, "filters")                                                       \
    X(strip, "strip")                                                           \
    X(format, "format")                                                         \
    X(replace, "replace")                                                       \
    X(index, "index")                                                           \
    X(TableFromRows, "TableFromRows")                                           \
    X(Condition, "Condition")                                                   \
    X(In, "In")                                                                 \
    X(args, "args")                                                             \
    X(field, "field")                                                           \
    X(startswith, "startswith")                                                 \
    X(find, "find")                                                             \
    X(dot, ".")                                                                 \
    X(underscore, "_")                                                          \
    X(empty, "")                                                                \
    X(msg_only_select, "As of now, only select statements are supported.")      \
    X(msg_dml_ddl, "The SQL contains either DML or DDL")                        \
    X(msg_no_table, "No such table found.")                                     \
    X(msg_no_read_back, "The native SQL does not read back as the same statement")

// The module's functions, in the order of their first lines.
enum class Func { Init, IsType, Generate, Transformer, Count };

struct FunctionInfo {
    const char* name;       // __name__, and the name in binding errors
    const char* qualname;   // __qualname__
    const char* trace_name; // name of its traceback entries
    int first_line;
    int nparams;
    const char* params[3];
};

const FunctionInfo& info(Func f);

// Traceback entries of the module body itself.
inline constexpr const char* kBodyTraceName = "init pellquist.quist";
inline constexpr const char* kSourceFile = "src/pellquist/quist";

struct Names {
#define QUIST_DECLARE(member, text) PyObject* member;
    QUIST_NAMES(QUIST_DECLARE)
#undef QUIST_DECLARE

    // Per function: its name and qualified name, its parameter names (for
    // binding by keyword) and a code object for introspection.
    struct Function {
        PyObject* name;
        PyObject* qualname;
        PyObject* params[3];
        PyObject* code;
    } functions[static_cast<int>(Func::Count)];

    PyObject* empty_tuple;
    PyObject* defaults_generate;  // (None,)
    PyObject* kw_dialect;         // ("dialect",)
    PyObject* kw_read;            // ("read",)
    PyObject* kw_sql;             // ("dialect", "identify")
    PyObject* kw_this;            // ("this",)
    PyObject* kw_this_quoted;     // ("this", "quoted")
    PyObject* kw_this_alias;      // ("this", "alias")
};

// Valid once `make_names` has succeeded.
const Names& names();

// Makes the names once; later calls return at once.  Throws on failure.
void make_names();

// Whether `make_names` has succeeded.
bool names_ready();

// Makes the defaults tuple of generateNativeSQL and the functions' code
// objects, once.  Needs the names.  Throws on failure.
void make_code_info();

}  // namespace quist
