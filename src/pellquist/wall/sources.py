"""Row sources: every place a statement reads rows from must be one the
rewrite understands.

A row source is what stands in a FROM, a JOIN or a LATERAL, wherever the
select sits (main query, subquery, CTE body, scalar subquery).  Allowed:

* a table named by identifiers: a CTE in scope (kept) or a catalogue table
  (rewritten; one that is neither is refused by the rewrite itself), whose
  parts the rewrite can carry over;
* a derived table, VALUES, UNNEST of an expression;
* a call of a generator that reads nothing but its arguments.

Anything else (a table function that reads by text, a column that a
dialect put in a FROM, a name built from an expression) is refused.  The
position decides, not the kind of node: a table outside these positions is
refused too.
"""

from __future__ import annotations

import re

from functools import lru_cache
from typing import Any

from sqlglot import exp
from sqlglot.dialects.clickhouse import ClickHouse
from sqlglot.dialects.dialect import Dialect
from sqlglot.dialects.hive import Hive

from .functions import GENERATORS, function_names

# Parts of a table reference the rewrite keeps or carries over onto the
# subquery that replaces it.  ONLY (no inheritance children) means nothing
# for a published table, which is the whole of its internal table.
TABLE_PARTS_KEPT = frozenset({"this", "db", "catalog", "alias", "pivots", "only"})
ALIAS_PARTS_KEPT = frozenset({"this", "columns"})
# The first table of a parenthesized join carries the joins that follow it.
JOIN_HEAD_PARTS_KEPT = TABLE_PARTS_KEPT | {"joins"}
# An alias with no column list is carried over in every dialect.
PLAIN_ALIAS_PARTS = frozenset({"this"})
GENERATOR_TABLE_PARTS = frozenset({"this", "alias", "ordinality"})

_PART_NAMES = {
    "sample": "TABLESAMPLE", "version": "time travel (AS OF)", "when": "time travel (AT/BEFORE)",
    "system_time": "time travel (FOR SYSTEM_TIME)", "changes": "CHANGES",
    "hints": "table hints", "indexed": "INDEXED BY", "ordinality": "WITH ORDINALITY",
    "only": "ONLY", "partition": "a partition", "joins": "joins inside the table reference",
    "laterals": "laterals inside the table reference", "format": "a format",
    "pattern": "a file pattern", "rows_from": "ROWS FROM",
}


# The nodes whose `this` is a row source.
ROW_POSITIONS = (exp.From, exp.Join, exp.Lateral)
# Row sources read as they are, whatever they hold: what they read is judged
# in turn, as part of the statement.
READABLE_SOURCES = (exp.Subquery, exp.Values, exp.Unnest)


def in_row_position(node: exp.Expr) -> bool:
    return node.arg_key == "this" and isinstance(node.parent, ROW_POSITIONS)


def heads_parenthesized_join(node: exp.Expr) -> bool:
    """Whether ``node`` (a table, or the subquery that replaced it) is the
    first of a parenthesized join in a FROM or a JOIN, ``JOIN (t AS a JOIN u
    AS b ON ...) ON ...``: sqlglot hangs the joins that follow on it, under
    parentheses with nothing else.  An alias on the parentheses would hide
    the inner names, and is not this; nor are parentheses nested deeper.
    """
    wrapper = node.parent
    if not (isinstance(wrapper, exp.Subquery) and node.arg_key == "this"
            and isinstance(node, (exp.Table, exp.Subquery)) and node.args.get("joins")
            and in_row_position(wrapper)):
        return False
    return all(key == "this" or not is_set(value) for key, value in wrapper.args.items())


def is_set(value: object) -> bool:
    """Whether a node argument holds something (not None, False, [] or "")."""
    return not (value is None or value is False or value == [] or value == "")


def unsupported_part(table: exp.Table, kept: frozenset[str]) -> str | None:
    args = table.args
    for key, value in args.items():
        if value is not None and key not in kept and is_set(value):
            return _PART_NAMES.get(key, key)
    alias = args.get("alias")
    if isinstance(alias, exp.TableAlias):
        for key, value in alias.args.items():
            if value is not None and key not in ALIAS_PARTS_KEPT and is_set(value):
                return f"an alias with {key}"
    return None


# sqlglot's classes for the generators above, whatever name they render as.
_GENERATOR_CLASSES = tuple(
    getattr(exp, name) for name in (
        "GenerateSeries", "ExplodingGenerateSeries", "Explode", "ExplodeOuter", "Posexplode",
        "PosexplodeOuter", "Inline", "Unnest", "Flatten")
    if hasattr(exp, name))


def is_generator(node: exp.Expr) -> bool:
    if isinstance(node, _GENERATOR_CLASSES):
        return True
    return isinstance(node, exp.Func) and any(n in GENERATORS for n in function_names(node))


def public_key(node: exp.Table) -> str:
    """The table's dotted name, lower-cased, as published tables are looked up."""
    return ".".join(p.lower() for p in (node.catalog, node.db, node.name) if p)


def describe(node: exp.Expr) -> str:
    try:
        text = node.sql()
    except Exception:  # a node that does not render is described by its kind
        text = type(node).__name__
    return text if len(text) <= 80 else text[:77] + "..."


def in_list_refusal(node: exp.In) -> str | None:
    """Why the list of ``x IN (...)`` may not be read; or None.

    ClickHouse reads a list of one bare name that is no column in scope,
    ``x IN (name)`` (in any number of parentheses), as ``x IN name``: a test
    of membership in the table of that name, which tells whether any of its
    rows has a given value.  Such a list is never needed: ``x = name`` says
    the same of a column.
    """
    values = node.expressions
    if len(values) != 1:
        return None
    value = values[0]
    while isinstance(value, exp.Paren):
        value = value.this
    if isinstance(value, (exp.Column, exp.Dot)):
        return (f"The SQL tests membership in ({describe(value)}), which ClickHouse reads as "
                "the rows of a table of that name; write the comparison with =")
    return None


def alias_columns_refusal(table: exp.Table, dialect: Any) -> str | None:
    """Why ``table``'s alias column list cannot be carried onto its
    replacement subquery in ``dialect``; or None.

    ClickHouse ignores a column alias list on a table, which keeps its own
    column names, but applies one on a subquery (and requires one name per
    column): carried over, the list would rename columns the query reads by
    their published names.
    """
    alias = table.args.get("alias")
    if not (isinstance(alias, exp.TableAlias) and alias.args.get("columns")):
        return None
    if not dialect_is(dialect, ClickHouse):
        return None
    return (f"The table reference {describe(table)} has a column alias list, which ClickHouse "
            "ignores on a table and applies on the subquery that replaces it")


@lru_cache(maxsize=128)
def _resolved_is(dialect: Any, kind: type[Dialect]) -> bool:
    return isinstance(Dialect.get_or_raise(dialect), kind)


def dialect_is(dialect: Any, kind: type[Dialect]) -> bool:
    """Whether ``dialect`` (a name, settings or an object) is a ``kind``."""
    try:
        return _resolved_is(dialect, kind)
    except TypeError:  # a dialect object that cannot be hashed is resolved every time
        return isinstance(Dialect.get_or_raise(dialect), kind)


# Hidden columns that Spark (and Hive) resolve through the subquery that
# replaces a table, down to the files behind the internal table: a file
# source's _metadata, Iceberg's and Delta's row and change columns, Hive's
# virtual columns.  They name the internal table's files and tell of rows the
# filter removed (a file's size, a row's place in it).
HIDDEN_COLUMNS = frozenset({
    "_metadata", "_file", "_pos", "_spec_id", "_partition", "_deleted", "_row_id",
    "_last_updated_sequence_number", "_change_type", "_commit_version", "_commit_timestamp",
    "input__file__name", "block__offset__inside__file", "row__offset__inside__block",
    "raw__data__size", "row__id",
})


# Per dialect as the caller names it (asked on every call).
_HIDDEN: dict[Any, bool] = {}


def has_hidden_columns(dialect: Any) -> bool:
    """Whether ``dialect`` reads any of HIDDEN_COLUMNS through a subquery."""
    try:
        return _HIDDEN[dialect]
    except KeyError:
        if len(_HIDDEN) > 64:
            _HIDDEN.clear()
        found = _HIDDEN[dialect] = dialect_is(dialect, Hive)
        return found
    except TypeError:  # a dialect object that cannot be hashed
        return dialect_is(dialect, Hive)


# Names DuckDB and Spark bind to a function of the session when no column in
# scope has them: SELECT user FROM t gives the database user.  DuckDB binds
# them quoted too, and after any qualifier that names no table ("alias.user").
_SESSION_NAMES = {
    "duckdb": frozenset({"user", "current_user", "session_user", "current_role",
                         "current_schema", "current_catalog"}),
    "spark": frozenset({"user", "current_user", "session_user"}),
}
_SESSION_WORDS = frozenset().union(*_SESSION_NAMES.values())


def _session_names(dialect: Any) -> frozenset[str]:
    from sqlglot.dialects.duckdb import DuckDB

    if dialect_is(dialect, DuckDB):
        return _SESSION_NAMES["duckdb"]
    if dialect_is(dialect, Hive):
        return _SESSION_NAMES["spark"]
    try:
        default = type(Dialect.get_or_raise(dialect)) is Dialect
    except (ValueError, TypeError):
        default = False
    # sqlglot's own dialect is written for no engine and may run on either.
    return _SESSION_WORDS if default else frozenset()


def doubled_quote_refusal(sql: Any, dialect: Any) -> str | None:
    """Why ``sql`` may not be read in a Hive-family dialect, or None: Spark
    reads ``'it''s'`` as one string holding a quote, sqlglot as two strings
    side by side, which it writes as CONCAT('it', 's'): the query would
    compare or return another value than its author wrote."""
    if not isinstance(sql, str) or "''" not in sql or not has_hidden_columns(dialect):
        return None
    try:
        tokens = Dialect.get_or_raise(dialect).tokenize(sql)
    except Exception:
        return None  # the parse has already read it; it raises there if it must
    strings = [t for t in tokens if t.token_type.name == "STRING"]
    for before, after in zip(strings, strings[1:]):
        if after.start == before.end + 1:
            return ("The SQL writes a quote inside a string as '', which Spark reads as one "
                    "string and the rewrite as two; write it as \\'")
    return None


_LETTER_AFTER_DIGIT = re.compile(r"\d[A-Za-z_]")


def number_text_refusal(sql: Any, dialect: Any) -> str | None:
    """Why a number written with letters may not be read, or None.

    sqlglot reads PostgreSQL's and SQLite's ``1_000`` and ``0o17`` as a
    number and an alias (``1 AS _000``), where PostgreSQL 16 reads one
    number, and PostgreSQL 15 and SQLite refuse the text; it reads
    PostgreSQL's ``0x1F`` as a bit string, where PostgreSQL 16 reads 31.
    The query would run with another value than its author wrote."""
    if not isinstance(sql, str) or not _LETTER_AFTER_DIGIT.search(sql):
        return None
    from sqlglot.dialects.postgres import Postgres
    from sqlglot.dialects.sqlite import SQLite

    try:
        resolved = Dialect.get_or_raise(dialect)
        tokens = resolved.tokenize(sql)
    except Exception:
        return None  # the parse has already read it; it raises there if it must
    postgres = isinstance(resolved, Postgres) or type(resolved) is Dialect
    if not (postgres or isinstance(resolved, SQLite)):
        return None
    for before, after in zip(tokens, tokens[1:]):
        joined = before.token_type.name == "NUMBER" and after.start == before.end + 1 and (
            after.text[:1].isalpha() or after.text[:1] == "_")
        hex_number = (postgres and before.token_type.name == "HEX_STRING"
                      and sql[before.start:before.start + 2].lower() == "0x")
        if joined or hex_number:
            written = sql[before.start:(after.end if joined else before.end) + 1]
            return (f"The SQL writes the number {written!r} with letters, which engines read "
                    "as different values or refuse; write it in plain digits")
    return None


def reads_table_names_past_aliases(dialect: Any) -> bool:
    """Whether a table given an alias still answers to its own name in
    ``dialect``: ClickHouse's ``t.x`` beside ``FROM db.t AS a`` is ``a.x``."""
    from sqlglot.dialects.clickhouse import ClickHouse

    return dialect_is(dialect, ClickHouse)


def may_name_the_session(dialect: Any, sql: Any) -> bool:
    """Whether the statement's text may hold a name ``dialect`` binds to a
    function of the session: then each of its names is judged."""
    if not isinstance(sql, str):
        return True
    lowered = sql.lower()
    return any(word in lowered for word in _SESSION_WORDS) and bool(_session_names(dialect))


def session_name_refusal(node: exp.Identifier, dialect: Any,
                         published: Any) -> str | None:
    """Why a column's name ``node`` may not stand: DuckDB and Spark would
    bind it to the session's user or schema.  Allowed only qualified by a
    published table that has a column of that name; or None."""
    column = node.parent
    name = node.name.lower()
    if not (isinstance(column, exp.Column) and node.arg_key == "this"):
        return None
    if name not in _session_names(dialect):
        return None
    if column.table and not column.args.get("db") and _publishes(column, name, published):
        return None
    return (f"The SQL names {node.name!r}, which this engine reads as a function of the "
            "session unless a table in reach has that column; qualify it by a published "
            "table that has it")


def _publishes(column: exp.Column, name: str, published: Any) -> bool:
    """Whether ``column``'s qualifier is a published table, by name or alias,
    of the statement, that publishes a column ``name``."""
    qualifier = column.table.lower()
    root = column.root()
    for table in root.find_all(exp.Table):
        if (table.alias_or_name or "").lower() != qualifier or not isinstance(
                table.this, exp.Identifier):
            continue
        entry = published.get(public_key(table)) if isinstance(published, dict) or hasattr(
            published, "get") else None
        columns = getattr(entry, "columns", None)
        if columns is not None and any(str(getattr(c, "pub_name", "")).lower() == name
                                       for c in columns.values()):
            return True
    return False


def hidden_column_refusal(node: exp.Identifier, dialect: Any) -> str | None:
    """Why the name ``node`` may not stand in ``dialect``'s SQL; or None."""
    if node.name.lower() not in HIDDEN_COLUMNS or not has_hidden_columns(dialect):
        return None
    return (f"The SQL names {node.name!r}, a hidden column of the files behind a table, "
            "which the rewrite cannot filter")


def row_source_refusal(node: exp.Expr) -> str | None:
    """Why ``node``, standing in a row-source position, may not be read; or None."""
    if isinstance(node, exp.Table):
        inner = node.this
        if isinstance(inner, exp.Identifier):
            return None  # judged with its name (CTE scope, catalogue, parts)
        if is_generator(inner) and not node.args.get("db") and not node.args.get("catalog"):
            part = unsupported_part(node, GENERATOR_TABLE_PARTS)
            if part is None:
                return None
            return f"The SQL reads rows from {describe(node)} with {part}, which the rewrite cannot check"
        return f"The SQL reads rows from {describe(node)}, which the rewrite cannot check"
    if isinstance(node, READABLE_SOURCES):
        return None
    if isinstance(node, exp.Lateral) and node.parent is not None and not isinstance(
            node.parent, exp.Lateral):
        return None  # its own source is judged in turn
    if isinstance(node, exp.Func) and isinstance(node.parent, exp.Lateral) and is_generator(node):
        return None
    return f"The SQL reads rows from {describe(node)}, which the rewrite cannot check"
