// Interned names, fixed messages and the functions' code information.
//
// All of it is made once, when the module body first runs, and only read
// afterwards.  Attribute and keyword names are interned so that dict lookups
// hit on the pointer compare and never rehash.
#pragma once

#include "ref.hpp"

namespace quist {

// Each X(str_member, "text") becomes an interned str `names().str_member`; the
// prefix keeps a name apart from the object it names (`n.str_Select` is the
// string "Select", not the class).
#define QUIST_NAMES(X)                                                          \
    X(str___test__, "__test__")                                                 \
    X(str___module__, "__module__")                                             \
    X(str___qualname__, "__qualname__")                                         \
    X(str___name__, "__name__")                                                 \
    X(str___init__, "__init__")                                                 \
    X(str_is_type, "is_type")                                                   \
    X(str_generateNativeSQL, "generateNativeSQL")                               \
    X(str_Session, "Session")                                                   \
    X(str_module_fullname, "pellquist.quist")                                   \
    X(str_sqlglot, "sqlglot")                                                   \
    X(str_models_relative, "models")  /* pellquist.models from this package */  \
    X(str_models_fullname, "pellquist.models")                                  \
    X(str_parse_one, "parse_one")                                               \
    X(str_exp, "exp")                                                           \
    X(str_TableNotFound, "TableNotFound")                                       \
    X(str_Catalogue, "Catalogue")                                               \
    X(str__by_name, "_by_name")                                       \
    X(str_database, "database")                                                 \
    X(str_params, "params")                                                     \
    X(str_find_all, "find_all")                                                 \
    X(str_ctes, "ctes")                                                         \
    X(str_alias, "alias")                                                       \
    X(str_tables, "tables")                                                     \
    X(str_items, "items")                                                       \
    X(str_pub_name, "pub_name")                                                 \
    X(str_lower, "lower")                                                       \
    X(str_transform, "transform")                                               \
    X(str_sql, "sql")                                                           \
    X(str_dialect, "dialect")                                                   \
    X(str_identify, "identify")                                                 \
    X(str_read, "read")                                                         \
    X(str_Select, "Select")                                                     \
    X(str_DML, "DML")                                                           \
    X(str_DDL, "DDL")                                                           \
    X(str_Command, "Command")                                                   \
    X(str_Commit, "Commit")                                                     \
    X(str_Drop, "Drop")                                                         \
    X(str_TruncateTable, "TruncateTable")                                       \
    X(str_Into, "Into")                                                         \
    X(str_Lock, "Lock")                                                         \
    X(str_Column, "Column")                                                     \
    X(str_wall, "wall")                                                         \
    X(str_Call, "Call")                                                         \
    X(str_check, "check")                                                       \
    X(str_update, "update")                                                     \
    X(str_blocked, "blocked")                                                   \
    X(str_is_cte, "is_cte")                                                     \
    X(str_bind_filter, "bind_filter")                                           \
    X(str_fence, "fence")                                                       \
    X(str_carry, "carry")                                                       \
    X(str_requalify, "requalify")                                               \
    X(str_internal_name, "internal_name")                                       \
    X(str_default_alias, "default_alias")                                       \
    X(str_check_native, "check_native")                                         \
    X(str_Block, "Block")                                                       \
    X(str_Query, "Query")                                                       \
    X(str_Table, "Table")                                                       \
    X(str_column, "column")                                                     \
    X(str_alias_, "alias_")                                                     \
    X(str_select, "select")                                                     \
    X(str_from_, "from_")                                                       \
    X(str_where, "where")                                                       \
    X(str_Subquery, "Subquery")                                                 \
    X(str_TableAlias, "TableAlias")                                             \
    X(str_Identifier, "Identifier")                                             \
    X(str_this_, "this")                                                        \
    X(str_quoted, "quoted")                                                     \
    X(str_name, "name")                                                         \
    X(str_catalog, "catalog")                                                   \
    X(str_db, "db")                                                             \
    X(str_columns, "columns")                                                   \
    X(str_filters, "filters")                                                   \
    X(str_strip, "strip")                                                       \
    X(str_format, "format")                                                     \
    X(str_replace, "replace")                                                   \
    X(str_TableFromRows, "TableFromRows")                                       \
    X(str_Condition, "Condition")                                               \
    X(str_In, "In")                                                             \
    X(str_args, "args")                                                         \
    X(str_field, "field")                                                       \
    X(str_startswith, "startswith")                                             \
    X(str_find, "find")                                                         \
    X(str_dot, ".")                                                             \
    X(str_empty, "")                                                            \
    X(str_msg_only_select, "As of now, only select statements are supported.")  \
    X(str_msg_dml_ddl, "The SQL contains either DML or DDL")                    \
    X(str_msg_no_table, "No such table found.")                                 \
    X(str_msg_no_read_back, "The native SQL does not read back as the same statement")

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

// Every pointer here owns its object for the life of the process: the
// names are made once and never released (the interpreter may be gone by
// the time static destructors run).
struct Names {
#define QUIST_DECLARE(member, text) Owned member;
    QUIST_NAMES(QUIST_DECLARE)
#undef QUIST_DECLARE

    // Per function: its name and qualified name, its parameter names (for
    // binding by keyword) and a code object for introspection.
    struct Function {
        Owned name;
        Owned qualname;
        Owned params[3];
        Owned code;
    } functions[static_cast<int>(Func::Count)];

    Owned empty_tuple;
    Owned defaults_generate;  // (None,)
    Owned kw_dialect;         // ("dialect",)
    Owned kw_read;            // ("read",)
    Owned kw_sql;             // ("dialect", "identify")
    Owned kw_this;            // ("this",)
    Owned kw_this_quoted;     // ("this", "quoted")
    Owned kw_this_alias;      // ("this", "alias")
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
