"""Catalogue objects read by :class:`pellquist.quist.Session`.

A catalogue publishes tables under public names.  Each published table maps
to an internal table, renames its columns and may carry a row filter: a SQL
condition with ``{placeholders}`` that are filled from the session's params.

The rewriting core reads only these attributes, so any objects that offer
them work as well:

* catalogue: ``tables``, a mapping whose values are tables (keys are ignored);
* table: ``pub_name``, ``name``, ``columns`` (internal name -> column) and
  ``filters`` (a condition string, or a false value for no filter);
* column: ``pub_name``, and optionally ``type`` (the column's SQL type).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
import json
import os
import re
import string
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from types import MappingProxyType
from typing import Any

__all__ = [
    "Catalogue", "CatalogueError", "Column", "RawSql", "SqlString", "Table", "TableNotFound",
    "catalogue_from_data", "load_catalogue",
]


class TableNotFound(LookupError):
    """A query names a table that is neither published nor a CTE of the query.

    ``args`` is ``(key, message)``: the lower-cased, dotted name that was
    looked up, and a fixed message.
    """

    def __init__(self, key: str, message: str = "No such table found.") -> None:
        super().__init__(key, message)

    @property
    def key(self) -> str:
        key: str = self.args[0]
        return key

    def __str__(self) -> str:
        if len(self.args) == 2:
            key, message = self.args
            return f"{str(message).rstrip('.')}: {key!r}"
        return super().__str__()


def _placeholders(template: str) -> set[str]:
    """Names of the ``{placeholders}`` of a filter, as ``str.format`` reads them."""
    found: set[str] = set()
    for _, field_name, _, _ in string.Formatter().parse(template):
        if field_name is not None:
            # "{a.b}" and "{a[0]}" both read params["a"].
            found.add(re.split(r"[.\[]", field_name, maxsplit=1)[0])
    return found


def _expect(ok: bool, owner: str, field_name: str, expected: str, value: Any) -> None:
    if not ok:
        raise TypeError(f"{owner}.{field_name}: expected {expected}, got {type(value).__name__}")


@dataclass(frozen=True, slots=True)
class Column:
    """A published column: ``pub_name`` is the name queries use; ``type``,
    the internal column's SQL type as its database names it (``"INTEGER"``,
    ``"DECIMAL(15,2)"``, ``"DATE"``), tells the wall which expressions on it
    cannot fail, so that it fences fewer queries (see ``Catalogue.fence``)."""

    pub_name: str
    type: str | None = None

    def __post_init__(self) -> None:
        _expect(isinstance(self.pub_name, str), "Column", "pub_name", "a string", self.pub_name)
        if not self.pub_name:
            raise ValueError("Column.pub_name: must not be empty")
        _expect(self.type is None or isinstance(self.type, str), "Column", "type",
                "a string or None", self.type)
        if self.type is not None and not self.type.strip():
            raise ValueError(f"Column.type: must not be empty (column {self.pub_name!r})")


def _is_sql_expression(value: object) -> bool:
    try:
        from sqlglot import exp
    except ImportError:  # pragma: no cover - sqlglot is a hard dependency
        return False
    return isinstance(value, exp.Expression)


_NO_COLUMNS: Mapping[str, Column | str] = MappingProxyType({})
_NO_TABLES: Mapping[Any, Table] = MappingProxyType({})


@dataclass(frozen=True, slots=True, init=False)
class Table:
    """A published table.

    ``pub_name`` is the (possibly dotted) name queries use, ``name`` the
    internal table (a string such as ``"ord_t"`` or ``"app.ord_t"``, or a
    sqlglot expression), ``columns`` maps internal column names to
    :class:`Column` objects (plain strings are accepted as public names), and
    ``filters`` is the row filter, e.g. ``"tenant_id = {tenant}"``, or None.
    """

    pub_name: str
    name: Any
    columns: Mapping[str, Column]
    filters: str | None

    # Written out rather than generated, so that type checkers take the plain
    # strings the constructor accepts as columns.
    def __init__(self, pub_name: str, name: Any,
                 columns: Mapping[str, Column | str] = _NO_COLUMNS,
                 filters: str | None = None) -> None:
        object.__setattr__(self, "pub_name", pub_name)
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "columns", columns)
        object.__setattr__(self, "filters", filters)
        self.__post_init__()

    def __post_init__(self) -> None:
        _expect(isinstance(self.pub_name, str), "Table", "pub_name", "a string", self.pub_name)
        if not self.pub_name:
            raise ValueError("Table.pub_name: must not be empty")
        _expect(
            isinstance(self.name, str) or _is_sql_expression(self.name),
            "Table", "name", "a string or a sqlglot expression", self.name,
        )
        if isinstance(self.name, str) and not self.name:
            raise ValueError(f"Table.name: must not be empty (table {self.pub_name!r})")
        _expect(isinstance(self.columns, Mapping), "Table", "columns", "a mapping", self.columns)
        columns: dict[str, Column] = {}
        given: Mapping[str, Column | str] = self.columns
        for internal, column in given.items():
            if not isinstance(internal, str) or not internal:
                raise TypeError(
                    f"Table.columns: keys must be non-empty strings, got {internal!r} "
                    f"(table {self.pub_name!r})"
                )
            if isinstance(column, str):
                column = Column(column)
            if not isinstance(column, Column):
                raise TypeError(
                    f"Table.columns[{internal!r}]: expected a Column or a string, "
                    f"got {type(column).__name__} (table {self.pub_name!r})"
                )
            columns[internal] = column
        object.__setattr__(self, "columns", MappingProxyType(columns))
        _expect(
            self.filters is None or isinstance(self.filters, str),
            "Table", "filters", "a string or None", self.filters,
        )

    def placeholders(self) -> set[str]:
        """The params names that the row filter needs (none without a filter)."""
        return _placeholders(self.filters.strip()) if self.filters else set()


@dataclass(frozen=True, slots=True, init=False)
class Catalogue:
    """The published schema: ``tables`` maps any key to a :class:`Table`.

    A sequence of tables is accepted too and keyed by public name.  Public
    names must differ in more than case, since queries find tables by name
    whatever its case.

    Two settings of the wall:

    * ``allowed_functions``: names of functions a query may call although
      sqlglot does not know them (user-defined functions, say).  Queries
      may call only the functions sqlglot knows, plus these, and never one
      that reads tables or files by name or changes the session.
    * ``fence``: make each engine evaluate a table's row filter before any
      expression of the query touches its rows.  Without it, an expression
      that raises an error can see, and report, another tenant's values.
      ``True`` fences every filtered table; ``"auto"`` (the default) only
      those that an expression able to raise can reach before the filter,
      on the engines whose planners this is proven on (PostgreSQL, DuckDB,
      SQLite; every other dialect is fenced throughout).  Columns without a
      ``type`` count as able to fail in every typed comparison, so the
      fence then stays on most tables.  ``False`` turns it off.

    ``dialect`` names the engine the catalogue's tables live on (a sqlglot
    dialect: ``"postgres"``, ``"sqlite"``, ...).  :func:`pellquist.rewrite`
    and the command line write for it when the caller names none, and
    refuse a call that names another.
    """

    tables: Mapping[Any, Table]
    allowed_functions: frozenset[str]
    fence: bool | str
    dialect: str | None
    # Lower-cased public name -> table: the map every rewrite looks tables up
    # in, built once here.  `tables` cannot change after construction, so it
    # cannot go stale.
    _by_name: Mapping[str, Table] = field(init=False, repr=False, compare=False)

    # Written out rather than generated, so that type checkers take a list of
    # tables and any collection of names.
    def __init__(self, tables: Mapping[Any, Table] | Sequence[Table] = _NO_TABLES,
                 allowed_functions: Iterable[str] = frozenset(),
                 fence: bool | str = "auto", dialect: str | None = None) -> None:
        object.__setattr__(self, "tables", tables)
        object.__setattr__(self, "allowed_functions", allowed_functions)
        object.__setattr__(self, "fence", fence)
        object.__setattr__(self, "dialect", dialect)
        self.__post_init__()

    def __post_init__(self) -> None:
        tables: Any = self.tables
        if isinstance(tables, (list, tuple)):
            tables = {getattr(t, "pub_name", i): t for i, t in enumerate(tables)}
        _expect(isinstance(tables, Mapping), "Catalogue", "tables", "a mapping or a list", tables)
        checked: dict[Any, Table] = {}
        by_name: dict[str, Table] = {}
        for key, table in tables.items():
            if not isinstance(table, Table):
                raise TypeError(
                    f"Catalogue.tables[{key!r}]: expected a Table, got {type(table).__name__}"
                )
            # A later table whose name differs only in case would replace the
            # earlier one in every lookup: an unfiltered table could shadow a
            # filtered one.
            folded = table.pub_name.lower()
            if folded in by_name:
                raise ValueError(
                    f"Catalogue.tables: {table.pub_name!r} and {by_name[folded].pub_name!r} are "
                    "the same public name (names are compared without case)"
                )
            by_name[folded] = table
            checked[key] = table
        object.__setattr__(self, "tables", MappingProxyType(checked))
        object.__setattr__(self, "_by_name", MappingProxyType(by_name))
        allowed = self.allowed_functions
        if isinstance(allowed, str) or not all(
                isinstance(n, str) and n for n in _iterable(allowed)):
            raise TypeError("Catalogue.allowed_functions: expected a collection of function "
                            f"names, got {allowed!r}")
        object.__setattr__(self, "allowed_functions", frozenset(n.lower() for n in allowed))
        _expect(isinstance(self.fence, bool) or self.fence == "auto", "Catalogue", "fence",
                "True, False or 'auto'", self.fence)
        _expect(self.dialect is None or (isinstance(self.dialect, str) and self.dialect != ""),
                "Catalogue", "dialect", "a dialect name or None", self.dialect)
        if self.dialect is not None:
            _check_dialect_name(self.dialect)

    def placeholders(self) -> set[str]:
        """The params names that the tables' row filters need, together."""
        needed: set[str] = set()
        for table in self.tables.values():
            needed |= table.placeholders()
        return needed


def _check_dialect_name(name: str) -> None:
    from sqlglot.dialects.dialect import Dialect

    try:
        Dialect.get_or_raise(name)
    except ValueError as e:
        raise ValueError(f"Catalogue.dialect: {e}") from None


def _iterable(value: Any) -> Any:
    try:
        return list(value)
    except TypeError:
        return [None]


# ---- safe string values ------------------------------------------------------

class SqlString:
    """A params value that a row filter receives as a quoted SQL string literal.

    Plain params values are pasted into a filter as raw SQL text, which is
    what numbers and lists need.  A string from user input must not be: wrap
    it, and ``"region = {region}"`` with ``{"region": SqlString("EU")}``
    becomes ``region = 'EU'``, whatever the value holds.

    The literal doubles every quote, the one escape that standard SQL knows.
    Backslashes and NUL characters are refused, because some dialects read a
    backslash inside a literal as an escape.  In the dialects listed in
    ``SqlString.DIALECTS`` the literal reads back as exactly the value; in the
    others a quote in the value reads back as adjacent literals, but the value
    never leaves its quotes.
    """

    __slots__ = ("value",)

    # Dialects in which the doubled quote reads back as one quote.
    DIALECTS = frozenset({
        "", "athena", "clickhouse", "doris", "dremio", "drill", "druid", "duckdb", "dune",
        "exasol", "fabric", "materialize", "mysql", "oracle", "postgres", "presto",
        "redshift", "risingwave", "singlestore", "snowflake", "solr", "sqlite", "starrocks",
        "tableau", "teradata", "trino", "tsql",
    })

    def __init__(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"SqlString: expected a string, got {type(value).__name__}")
        if "\\" in value or "\x00" in value:
            raise ValueError(
                "SqlString: backslashes and NUL characters cannot be quoted safely in every "
                f"dialect: {value!r}"
            )
        self.value = value

    def __format__(self, spec: str) -> str:
        if spec:
            raise ValueError(f"SqlString takes no format spec, got {spec!r}")
        return str(self)

    def __str__(self) -> str:
        return "'" + self.value.replace("'", "''") + "'"

    # repr() is the literal too, so that a {name!r} or {name!a} field in a
    # filter cannot unquote the value.
    __repr__ = __str__

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SqlString) and other.value == self.value

    def __hash__(self) -> int:
        return hash((SqlString, self.value))


class RawSql:
    """A params value pasted into a row filter as SQL text, exactly as given.

    ``str(RawSql(text))`` is ``text``.  It is for SQL the application itself
    writes (a list such as ``(1, 2, 3)``, an expression): the text becomes
    part of the filter and can change what the filter means, so it must
    never hold user input.  Wrap a string value in :class:`SqlString`
    instead.
    """

    __slots__ = ("sql",)

    def __init__(self, sql: str) -> None:
        if not isinstance(sql, str):
            raise TypeError(f"RawSql: expected a string, got {type(sql).__name__}")
        self.sql = sql

    def __format__(self, how: str) -> str:
        if how:
            raise ValueError(f"RawSql is pasted as it is, not in the format {how!r}")
        return self.sql

    def __str__(self) -> str:
        return self.sql

    def __repr__(self) -> str:
        return f"RawSql({self.sql!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, RawSql) and other.sql == self.sql

    def __hash__(self) -> int:
        return hash((RawSql, self.sql))


# ---- catalogue files -----------------------------------------------------------

class CatalogueError(ValueError):
    """A catalogue file or mapping that does not describe a valid catalogue.

    The message names the file and the path of the bad field, e.g.
    ``demo.toml: tables[2].columns: expected a table of strings``.
    """


_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*\Z")
_TABLE_KEYS = {"public", "internal", "columns", "filter"}


def _internal_table(name: str) -> Any:
    """The internal table as a sqlglot table expression, parts as written."""
    from sqlglot import exp

    parts = name.split(".")
    table, db, catalog = parts[-1], (parts[-2] if len(parts) > 1 else None), (
        parts[-3] if len(parts) > 2 else None)
    return exp.table_(table, db=db, catalog=catalog)


def _check_filter(text: str, table: Table) -> str | None:
    """Why a row filter can never be filled into one condition, or None.

    The filter is tried by the rewrite itself, on a one-table catalogue
    with every placeholder filled with 0, so that a file is held to exactly
    the rule every query will be.
    """
    try:
        # Only plain {name} fields: a conversion (!r) or an attribute ({v.value})
        # would render a SqlString as something other than its quoted literal.
        fields = []
        for _, field_name, spec, conversion in string.Formatter().parse(text):
            if field_name is None:
                continue
            if not field_name.isidentifier() or spec or conversion:
                shown = field_name + (f"!{conversion}" if conversion else "") + (
                    f":{spec}" if spec else "")
                return f"placeholders must be plain {{name}} fields, got {{{shown}}}"
            fields.append(field_name)
    except ValueError as e:
        return f"bad placeholder syntax ({e})"
    if not text.strip():
        return "expected a condition, got blank text"
    from .quist import Session

    probe = Catalogue([table], fence=False)
    try:
        Session(probe, {n: 0 for n in fields}).generateNativeSQL(f"SELECT 1 FROM {table.pub_name}")
    except Exception as e:  # every refusal of the filter is reported as the file's problem
        message = str(e.args[0]) if e.args else type(e).__name__
        return f"not a single condition ({message.splitlines()[0]})"
    return None


def _column_from_data(value: Any, bad: Any) -> Column:
    """A column given as its public name, or as ``{public = ..., type = ...}``."""
    if isinstance(value, str) and value:
        return Column(value)
    if isinstance(value, dict):
        unknown = sorted(set(value) - {"public", "type"})
        if unknown:
            raise bad(f"unknown key {unknown[0]!r} (expected public, type)")
        public, kind = value.get("public"), value.get("type")
        if not isinstance(public, str) or not public:
            raise bad("expected a public column name as 'public'")
        if kind is not None and (not isinstance(kind, str) or not kind.strip()):
            raise bad("expected the column's SQL type as a string in 'type'")
        return Column(public, kind)
    raise bad("expected the public column name, or a table with 'public' and 'type'")


_COLUMNS_SHAPE = "expected a table of strings (internal column = public column), not empty"


def catalogue_from_data(data: Any, source: str = "<catalogue>") -> Catalogue:
    """Builds a :class:`Catalogue` from parsed TOML or JSON data.

    The shape (TOML shown; JSON is the same as objects and arrays)::

        dialect = "postgres"             # the engine's SQL dialect (optional)
        [[tables]]
        public = "sales.orders"          # name in queries; may be dotted
        internal = "app.ord_t"           # internal table, optionally qualified
        filter = "tenant_id = {tenant}"  # optional row filter
        [tables.columns]                 # internal column = public column
        o_id = "id"
        o_amount = { public = "amount", type = "DECIMAL(12,2)" }   # with its type
    """

    def bad(where: str, problem: str) -> CatalogueError:
        return CatalogueError(f"{source}: {where}: {problem}")

    if not isinstance(data, dict):
        raise bad("(top level)", "expected a table with a 'tables' array")
    unknown = set(data) - {"tables", "allowed_functions", "fence", "dialect"}
    if unknown:
        raise bad(sorted(unknown)[0],
                  "unknown key (expected 'tables', 'dialect', 'allowed_functions' or 'fence')")
    dialect = data.get("dialect")
    if dialect is not None:
        if not isinstance(dialect, str) or not dialect:
            raise bad("dialect", "expected the name of the engine's SQL dialect, such as "
                      "'postgres', 'sqlite' or 'duckdb'")
        try:
            _check_dialect_name(dialect)
        except ValueError as e:
            raise bad("dialect", str(e).removeprefix("Catalogue.dialect: ")) from None
    entries = data.get("tables")
    if not isinstance(entries, list):
        raise bad("tables", "expected an array of tables")
    tables: dict[str, Table] = {}
    for i, entry in enumerate(entries):
        where = f"tables[{i}]"
        if not isinstance(entry, dict):
            raise bad(where, "expected a table")
        for key in sorted(set(entry) - _TABLE_KEYS):
            raise bad(f"{where}.{key}", "unknown key (expected public, internal, columns, filter)")
        for key in ("public", "internal", "columns"):
            if key not in entry:
                raise bad(f"{where}.{key}", "missing")
        public, internal, columns = entry["public"], entry["internal"], entry["columns"]
        for key, value in (("public", public), ("internal", internal)):
            if not isinstance(value, str) or not all(
                    _IDENTIFIER.match(p) for p in value.split(".")) or value.count(".") > 2:
                raise bad(f"{where}.{key}",
                          "expected a name such as 'orders' or 'sales.orders' (letters, digits, "
                          "'_', at most three dotted parts)")
        if not isinstance(columns, dict) or not columns or not all(
                isinstance(k, str) and k and isinstance(v, (str, dict)) for k, v in columns.items()):
            raise bad(f"{where}.columns", _COLUMNS_SHAPE)
        published: dict[str, Column] = {}
        for internal_column, value in columns.items():
            published[internal_column] = _column_from_data(
                value, lambda problem, c=internal_column: bad(f"{where}.columns.{c}", problem))
        filt = entry.get("filter")
        if filt is not None and not isinstance(filt, str):
            raise bad(f"{where}.filter", "expected a string")
        key = public.lower()
        if key in tables:
            raise bad(f"{where}.public", f"{public!r} is published twice (names are compared "
                      "without case)")
        table = Table(public, _internal_table(internal), published, filt or None)
        if filt is not None:
            problem = _check_filter(filt, table)
            if problem:
                raise bad(f"{where}.filter", problem)
        tables[key] = table
    allowed = data.get("allowed_functions", [])
    if not isinstance(allowed, list) or not all(
            isinstance(n, str) and _IDENTIFIER.match(n) for n in allowed):
        raise bad("allowed_functions", "expected an array of function names")
    fence = data.get("fence", "auto")
    if not (isinstance(fence, bool) or fence == "auto"):
        raise bad("fence", 'expected true, false or "auto"')
    return Catalogue(tables, frozenset(allowed), fence, dialect)


def load_catalogue(path: str | os.PathLike[str]) -> Catalogue:
    """Loads a catalogue from a ``.toml`` or ``.json`` file (see :func:`catalogue_from_data`)."""
    path = Path(path)
    suffix = path.suffix.lower()
    try:
        raw = path.read_bytes()
    except OSError as e:
        raise CatalogueError(f"{path}: cannot read: {e.strerror or e}") from None
    try:
        if suffix == ".toml":
            data = tomllib.loads(raw.decode("utf-8"))
        elif suffix == ".json":
            data = json.loads(raw)
        else:
            raise CatalogueError(f"{path}: expected a .toml or .json file")
    except (tomllib.TOMLDecodeError, json.JSONDecodeError, UnicodeDecodeError) as e:
        raise CatalogueError(f"{path}: not valid {suffix[1:].upper()}: {e}") from None
    return catalogue_from_data(data, str(path))
