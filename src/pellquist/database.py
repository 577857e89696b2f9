"""Catalogues from, and checked against, a live database.

:func:`skeleton` reads a database's tables and views and writes a catalogue
file (TOML, the format :func:`pellquist.models.load_catalogue` reads) that
publishes each under its own name.  :func:`check_catalogue` compares a
catalogue with a database: every internal table, every mapped column and
every column a row filter names must be there.

Both read the database's own catalogue through SQLAlchemy's inspector, so
any engine with a SQLAlchemy dialect works.  SQLAlchemy is an optional
dependency (``pip install 'pellquist[database]'``), imported only when one
of these functions runs.

A skeleton fails closed.  A table without a ``filter`` is published with
every row, to everyone, so a skeleton never leaves a table without one:

* a table with a column named like a tenant (``tenant``, ``tenant_id``,
  ``tenantid``, ``..._tenant_id``) gets ``filter = "<column> = {tenant}"``,
  marked in a comment as a guess to confirm;
* every other table gets ``filter = "1 = 0"`` (:data:`NO_ROWS`), which
  publishes no rows at all until its author writes the real filter, or
  deletes the line for a table every tenant may read in full.

A forgotten table therefore shows no rows instead of everyone's, and
:func:`check_catalogue` names the tables still on ``1 = 0`` as well as the
tables with no filter.
"""

from __future__ import annotations

import contextlib
import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from .models import Catalogue, Table

__all__ = [
    "DatabaseError", "NO_ROWS", "Report", "Skeleton", "check_catalogue", "safe_url", "skeleton",
]

INSTALL = "pip install 'pellquist[database]'"

# The filter a skeleton gives a table it cannot guess one for: true for no row.
NO_ROWS = "1 = 0"

_TENANT_COLUMN = re.compile(r"(\w+_)?tenant(_?(id|key|no|code))?", re.IGNORECASE)
# What a catalogue file accepts as one part of a table name (models._IDENTIFIER).
_NAME_PART = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*\Z")
_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+\Z")

# Engines whose quoted names still match whatever their case; elsewhere the
# rewrite's quoted names must match the database's exactly.
_CASE_INSENSITIVE = frozenset({"sqlite", "duckdb", "mysql", "mariadb", "mssql"})
# SQLAlchemy dialect names that sqlglot spells differently.
_SQLGLOT_DIALECTS = {"postgresql": "postgres", "mssql": "tsql", "mariadb": "mysql"}


class DatabaseError(Exception):
    """A database that cannot be reached or read, an unusable URL, or
    SQLAlchemy missing.  The message names the URL without its password."""


def safe_url(url: str) -> str:
    """``url`` as it may be shown: any password replaced by ``***``."""
    try:
        from sqlalchemy.engine import make_url

        return make_url(url).render_as_string(hide_password=True)
    except Exception:  # not a URL SQLAlchemy reads, or no SQLAlchemy: mask by hand
        return re.sub(r":[^:/@]*@", ":***@", url)


def _sqlalchemy() -> Any:
    try:
        import sqlalchemy
    except ImportError:
        raise DatabaseError(f"reading a database needs SQLAlchemy: {INSTALL}") from None
    return sqlalchemy


def _first_line(error: BaseException) -> str:
    text = str(getattr(error, "orig", None) or error).strip()
    return text.splitlines()[0] if text else type(error).__name__


class _Database:
    """An open connection's inspector, with names compared as the engine
    compares quoted names."""

    def __init__(self, inspector: Any, shown: str) -> None:
        self.inspector = inspector
        self.shown = shown
        dialect = inspector.dialect
        self.dialect = dialect
        self.fold = str.lower if dialect.name in _CASE_INSENSITIVE else (lambda name: name)
        self.default_schema = inspector.default_schema_name
        self._relations: dict[str | None, dict[str, str]] = {}

    def stored(self, name: str) -> str:
        """A name as the database stores it.  The inspector lower-cases the
        names of engines that store unquoted names in upper case; the rewrite
        quotes names, so files must hold the stored form."""
        return self.dialect.denormalize_name(name) if self.dialect.requires_name_normalize \
            else name

    def relations(self, schema: str | None) -> dict[str, str]:
        """Stored name -> inspector's name of each table and view in
        ``schema``; none for a schema the engine does not have."""
        if schema not in self._relations:
            names: list[str] = []
            inspector = self.inspector
            try:
                for lister in (inspector.get_table_names, inspector.get_view_names,
                               inspector.get_materialized_view_names):
                    try:
                        names += lister(schema=schema)
                    except NotImplementedError:  # an engine without materialized views
                        pass
            except _sqlalchemy().exc.SQLAlchemyError:  # SQLite: no database of that name
                # The failed statement may have ended the engine's transaction.
                inspector.bind.rollback()
                names = []
            self._relations[schema] = {self.stored(n): n for n in names}
        return self._relations[schema]

    def find(self, schema: str | None, name: str) -> tuple[str, str] | None:
        """(stored, inspector's) name of the relation ``name`` in ``schema``."""
        for stored, reflected in self.relations(schema).items():
            if self.fold(stored) == self.fold(name):
                return stored, reflected
        return None

    def columns(self, schema: str | None, reflected: str) -> list[str]:
        return list(self.typed_columns(schema, reflected))

    def typed_columns(self, schema: str | None, reflected: str) -> dict[str, str | None]:
        """Stored name -> the column's type as the database's SQL writes it
        (None where the database declares none, as SQLite allows)."""
        found: dict[str, str | None] = {}
        for column in self.inspector.get_columns(reflected, schema=schema):
            kind = column.get("type")
            try:
                text = None if kind is None or isinstance(
                    kind, _sqlalchemy().types.NullType) else str(kind.compile(dialect=self.dialect))
            except Exception:  # a type the dialect cannot write back
                text = None
            found[self.stored(column["name"])] = text or None
        return found

    def has_close_name(self, schema: str | None, name: str) -> str | None:
        """A relation whose name differs from ``name`` only in case."""
        for stored in self.relations(schema):
            if stored.lower() == name.lower():
                return stored
        return None


@contextlib.contextmanager
def _open(url: str) -> Iterator[_Database]:
    sqlalchemy = _sqlalchemy()
    shown = safe_url(url)
    try:
        parsed = sqlalchemy.engine.make_url(url)
    except sqlalchemy.exc.ArgumentError:
        raise DatabaseError(f"not a database URL: {shown} (expected e.g. sqlite:///shop.db or "
                            "postgresql+psycopg://user@host/db)") from None
    backend = parsed.get_backend_name()
    if backend in ("sqlite", "duckdb") and parsed.database not in (None, "", ":memory:"):
        # Both engines would create an empty database for a mistyped path.
        from pathlib import Path

        if not Path(parsed.database).is_file():
            raise DatabaseError(f"{shown}: no database file {parsed.database}")
    try:
        engine = sqlalchemy.create_engine(parsed)
    except sqlalchemy.exc.NoSuchModuleError:
        raise DatabaseError(f"{shown}: SQLAlchemy knows no database driver "
                            f"{parsed.drivername!r} (is the package that provides it "
                            "installed?)") from None
    except ImportError as e:
        raise DatabaseError(f"{shown}: the driver for {parsed.drivername!r} is not installed "
                            f"({e})") from None
    except sqlalchemy.exc.ArgumentError as e:
        raise DatabaseError(f"{shown}: {_first_line(e)}") from None
    try:
        with engine.connect() as connection:
            yield _Database(sqlalchemy.inspect(connection), shown)
    except sqlalchemy.exc.SQLAlchemyError as e:
        raise DatabaseError(f"cannot read {shown}: {_first_line(e)}") from None
    finally:
        engine.dispose()


# ---- pellquist init -------------------------------------------------------------

@dataclass(frozen=True)
class Skeleton:
    """A catalogue file's text, the tables it publishes and the relations it
    left out (names a catalogue file cannot hold)."""

    text: str
    tables: list[str]
    skipped: list[str]


def _toml_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\u{ord(ch):04X}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _toml_key(name: str) -> str:
    return name if _BARE_KEY.match(name) else _toml_string(name)


def _comment(text: str) -> str:
    """One line of a TOML comment, whatever a database name holds."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)


_HEADER = """\
# Catalogue written by `pellquist init` from {url}, schema {schema}.
# Each table and view is published under its own name, with every column.
# Rename the public names as you like; delete the tables and columns that
# must stay private.
#
# Row filters: a table with no `filter` line shows every row to everyone.
# Tables with a column named like a tenant got `<column> = {{tenant}}`:
# confirm it.  Every other table got `filter = "{no_rows}"`, which shows no
# rows at all: write its real filter, or delete the line if every row may be
# read by everyone.  Then run:
#   pellquist check --catalogue FILE --database URL
"""


def _dialect_line(engine: str) -> str:
    """The catalogue's ``dialect`` line for a SQLAlchemy dialect name: the
    rewrite then writes for this engine without being told each time."""
    from sqlglot.dialects.dialect import Dialect

    name = _SQLGLOT_DIALECTS.get(engine, engine)
    try:
        Dialect.get_or_raise(name)
    except ValueError:
        return (f"# No SQL dialect of the rewrite matches {_comment(engine)}: name the "
                "closest one here (dialect = \"postgres\", ...).\n")
    return f"dialect = {_toml_string(name)}\n"


def skeleton(url: str, schema: str | None = None, tenant_column: str | None = None,
             publish_tenant: bool = False) -> Skeleton:
    """A catalogue file for the tables and views of ``schema`` (the
    connection's default schema if None) in the database at ``url``.

    Each table's row filter is ``<tenant column> = {tenant}``, the tenant
    column being ``tenant_column`` (compared as the database compares names)
    or, without it, a column named like a tenant's (``tenant_id``,
    ``tenant_key``, ``org_tenant_id``, ...).  That column is left out of the
    published columns unless ``publish_tenant``: a tenant sees only its own
    value there."""
    with _open(url) as db:
        target = schema if schema is not None else db.default_schema
        relations = db.relations(target)
        if not relations:
            raise DatabaseError(f"{db.shown}: no tables or views in schema {target!r}")
        views = {db.stored(v) for v in db.inspector.get_view_names(schema=target)}
        qualify = schema is not None and schema != db.default_schema
        if schema is not None and qualify and not all(
                _NAME_PART.match(p) for p in schema.split(".")):
            raise DatabaseError(f"schema {schema!r}: a catalogue file takes names of letters, "
                                "digits, '_' and '$'")
        lines = [_HEADER.format(url=_comment(db.shown), schema=_comment(str(target)),
                                no_rows=NO_ROWS)]
        lines.append(_dialect_line(db.dialect.name))
        published: list[str] = []
        skipped: list[str] = []
        taken: set[str] = set()
        for stored in sorted(relations):
            if not _NAME_PART.match(stored) or stored.lower() in taken:
                why = ("its name is not letters, digits, '_' and '$'"
                       if _NAME_PART.match(stored) is None
                       else "another table has the same name but for case")
                lines.append(f"# Not published: {_comment(stored)} ({why}).\n")
                skipped.append(stored)
                continue
            taken.add(stored.lower())
            types = db.typed_columns(target, relations[stored])
            columns = list(types)
            if tenant_column is not None:
                tenant = next((c for c in columns if db.fold(c) == db.fold(tenant_column)),
                              None)
            else:
                tenant = next((c for c in columns if _TENANT_COLUMN.fullmatch(c)), None)
            shown = [c for c in columns if publish_tenant or c != tenant] or columns
            lines.append("[[tables]]" + ("  # a view" if stored in views else ""))
            lines.append(f"public = {_toml_string(stored)}")
            internal = f"{schema}.{stored}" if qualify else stored
            lines.append(f"internal = {_toml_string(internal)}")
            if tenant is not None and _NAME_PART.match(tenant):
                how = ("the tenant column" if tenant_column is not None
                       else f"guessed from the column {tenant}: confirm it")
                lines.append(f"filter = {_toml_string(tenant + ' = {tenant}')}  # {how}")
            else:
                lines.append(f"filter = {_toml_string(NO_ROWS)}"
                             "  # no rows until you write this table's filter")
            lines.append("")
            lines.append("[tables.columns]")
            if tenant not in shown:
                lines.append(f"# {_comment(tenant or '')}: the row filter's column, not published")
            lines += [f"{_toml_key(c)} = " + (
                f"{{ public = {_toml_string(c)}, type = {_toml_string(types[c] or '')} }}"
                if types[c] else _toml_string(c)) for c in shown]
            lines.append("")
            published.append(stored)
    if not published:
        raise DatabaseError(f"{db.shown}: no table or view in schema {target!r} has a name a "
                            "catalogue file can hold (letters, digits, '_' and '$')")
    return Skeleton("\n".join(lines), published, skipped)


# ---- pellquist check --database ---------------------------------------------------

@dataclass
class Report:
    """What :func:`check_catalogue` found: ``problems`` (one line each) and
    counts of what it found in place."""

    url: str
    problems: list[str] = field(default_factory=list)
    tables: int = 0
    columns: int = 0
    filter_columns: int = 0
    unfiltered: list[str] = field(default_factory=list)
    no_rows: list[str] = field(default_factory=list)

    def summary(self) -> list[str]:
        if self.problems:
            n = len(self.problems)
            return [f"database {self.url}: {n} problem{'s' if n != 1 else ''}"]
        lines = [f"database {self.url}: {self.tables} tables, {self.columns} columns and "
                 f"{self.filter_columns} row filter columns found"]
        if self.unfiltered:
            lines.append("no row filter (every row readable with any params): "
                         + ", ".join(self.unfiltered))
        if self.no_rows:
            lines.append(f"filter {NO_ROWS} (no row readable until its filter is written): "
                         + ", ".join(self.no_rows))
        return lines


def _parts(name: Any) -> tuple[str | None, str]:
    """(schema, table) of an internal name; a database part joins the schema
    as ``database.schema``, the form SQLAlchemy's DuckDB dialect takes."""
    if isinstance(name, str):
        parts = name.split(".")
    else:
        parts = [p for p in (name.catalog, name.db, name.name) if p]
    return (".".join(parts[:-1]) or None), parts[-1]


def _filter_condition(table: Table, dialect: str | None) -> tuple[Any, Any]:
    """The row filter as the rewrite reads it, taken from the rewrite's own
    output for a one-table query (placeholders filled with 0): the filtered
    subquery's SELECT and its WHERE condition."""
    import sqlglot
    from sqlglot import exp

    from .quist import Session

    probe = Catalogue([table], fence=False)
    params = {name: 0 for name in table.placeholders()}
    native = Session(probe, params).generateNativeSQL(f"SELECT 1 FROM {table.pub_name}", dialect)
    subquery = sqlglot.parse_one(native, read=dialect).find(exp.Subquery)
    select = subquery.this if subquery is not None else None
    where = select.args.get("where") if isinstance(select, exp.Select) else None
    if where is None:
        raise ValueError("the rewrite applies no row filter")
    return select, where.this


def _filter_problems(db: _Database, table: Table, internal: str, own_name: str,
                     columns: list[str], dialect: str | None) -> tuple[list[str], int]:
    from sqlglot import exp

    try:
        select, condition = _filter_condition(table, dialect)
    except Exception as e:  # a filter the rewrite cannot use in this database's dialect
        return [f"{table.pub_name}: the row filter does not rewrite as {dialect or 'SQL'}: "
                f"{_first_line(e)}"], 0
    problems: list[str] = []
    found = 0
    have = {db.fold(c) for c in columns}
    # Only the filter's own level: its qualifiers and its subqueries' columns
    # are the rewrite's to judge, and it refuses any that could bind outside
    # the filter (so a loaded catalogue holds none).
    for column in condition.find_all(exp.Column):
        if column.find_ancestor(exp.Select) is not select:
            continue
        if db.fold(column.name) in have:
            found += 1
        else:
            problems.append(
                f"{table.pub_name}: the row filter names the column {column.name}, which "
                f"{internal} does not have: every query on {table.pub_name} fails, and a "
                "filter column missing from its table is the mistake that lets a column "
                "of the same name in the query around it stand in for it")
    return problems, found


def _type_problem(declared: str | None, stored: str | None, dialect: str | None) -> str | None:
    """What is wrong with a column's declared type, given the database's."""
    if declared is None:
        return None
    from sqlglot import exp

    try:
        mine = exp.DataType.build(declared, dialect=dialect)
    except Exception:
        return f"has the type {declared!r}, which is not a type of {dialect or 'SQL'}"
    if stored is None:
        return (f"has the type {declared!r}, but the database declares none: the wall "
                "judges expressions on the column by its type, so drop it")
    try:
        theirs = exp.DataType.build(stored, dialect=dialect)
    except Exception:
        theirs = None
    if theirs is None or mine != theirs:
        return (f"has the type {declared!r}, but the database's is {stored!r}: the wall "
                "judges which expressions on the column can fail by its type, so give "
                "the database's")
    return None


def check_catalogue(catalogue: Catalogue, url: str) -> Report:
    """Compares ``catalogue`` with the database at ``url``: each problem is
    one line of :attr:`Report.problems`.

    A table that is missing is one problem (its columns are not looked
    for); otherwise each mapped column that is missing is one, and so is
    each column of the row filter that the internal table lacks.  Columns of
    a filter's own subqueries belong to the tables those read.
    """
    import sqlglot

    with _open(url) as db:
        report = Report(db.shown)
        name = _SQLGLOT_DIALECTS.get(db.dialect.name, db.dialect.name)
        dialect = name if sqlglot.Dialect.get(name) is not None else None
        for table in catalogue.tables.values():
            schema, name = _parts(table.name)
            internal = f"{schema}.{name}" if schema else name
            found = db.find(schema, name)
            if found is None:
                close = None if db.fold is str.lower else db.has_close_name(schema, name)
                report.problems.append(
                    f"{table.pub_name}: the internal table {internal} is not in the database"
                    + (f" (there is {close}: the rewrite quotes names, so case counts)"
                       if close else ""))
                continue
            report.tables += 1
            types = {db.fold(c): t for c, t in db.typed_columns(schema, found[1]).items()}
            columns = list(types)
            have = set(types)
            for column_name, column in table.columns.items():
                if db.fold(column_name) in have:
                    report.columns += 1
                    why = _type_problem(column.type, types[db.fold(column_name)], dialect)
                    if why:
                        report.problems.append(
                            f"{table.pub_name}: {internal}.{column_name} (published as "
                            f"{column.pub_name}) {why}")
                else:
                    report.problems.append(
                        f"{table.pub_name}: {internal} has no column {column_name} (published "
                        f"as {column.pub_name})")
            if not table.filters:
                report.unfiltered.append(table.pub_name)
                continue
            if table.filters.strip() == NO_ROWS:
                report.no_rows.append(table.pub_name)
            problems, count = _filter_problems(db, table, internal, name, columns, dialect)
            report.problems += problems
            report.filter_columns += count
    return report
