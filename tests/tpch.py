"""TPC-H material for the engine tests (a helper module, not a test).

* :func:`load` reads the pipe-separated CSVs into typed rows.
* :func:`populate` creates either the *public* database (TPC-H names, tenant 1
  only) or the *internal* one (every table and column renamed, a
  ``tenant_id`` column, tenants 1 and 2) through any DB-API connection.
* :func:`catalogue` publishes the internal tables under the TPC-H names.
* :func:`queries` reads the 22 queries; :func:`render` turns a query written
  in sqlglot's default dialect into SQL one engine can run.
* :data:`TYPES` gives each engine's column type for every kind of column.

Tenant 2 is tenant 1's data with every key offset by :data:`KEY_OFFSET`,
every other number doubled, every comment prefixed with :data:`MARK`, and
every fifth order and line item left out, so a leaked row changes query
results and is recognisable by :func:`is_tenant2_row`.
"""

from __future__ import annotations

import csv
import gzip
import re
import tempfile
from datetime import date, timedelta
from pathlib import Path

import sqlglot
from sqlglot import exp

from pellquist.models import Catalogue, Column, Table

# The repository's own copy (see its README.md), so that a clone runs the
# suite with nothing beside it. The fuzz tests and the benchmarks read the
# same folder.
DATA_DIR = Path(__file__).resolve().parent / "data" / "tpch"
TABLES = ("customer", "lineitem", "nation", "orders", "part", "partsupp", "region", "supplier")
DATA_FILES = tuple(DATA_DIR / f"{name}.csv.gz" for name in TABLES) + (DATA_DIR / "queries.sql",)
TENANT_COLUMN = "tenant_id"
ROW_FILTER = "tenant_id = {tenant}"
KEY_OFFSET = 100_000_000
MARK = "~tenant2~"


def _iso_date(value: str) -> str:
    """``value`` itself if it is a ``YYYY-MM-DD`` date, else ValueError."""
    if len(value) != 10:
        raise ValueError(value)
    date.fromisoformat(value)
    return value


_KINDS = ((int, "INTEGER"), (float, "REAL"), (_iso_date, "DATE"), (str, "TEXT"))

# Each engine's column type per kind. SQLite keeps dates as ISO text (it has
# no date type, and its date functions read ISO text); DuckDB and PostgreSQL
# get real DATE columns, since the queries compare them with `date '...'`
# literals, and 8-byte floats (their REAL is 4 bytes); ClickHouse and Spark
# likewise.
TYPES = {
    "sqlite": {"INTEGER": "INTEGER", "REAL": "REAL", "DATE": "TEXT", "TEXT": "TEXT"},
    "duckdb": {"INTEGER": "INTEGER", "REAL": "DOUBLE", "DATE": "DATE", "TEXT": "VARCHAR"},
    "postgres": {"INTEGER": "INTEGER", "REAL": "DOUBLE PRECISION", "DATE": "DATE", "TEXT": "TEXT"},
    "clickhouse": {"INTEGER": "Int32", "REAL": "Float64", "DATE": "Date", "TEXT": "String"},
    "spark": {"INTEGER": "INT", "REAL": "DOUBLE", "DATE": "DATE", "TEXT": "STRING"},
}


def internal_table(name: str) -> str:
    return f"t_{name}"


def internal_column(name: str) -> str:
    return f"c_{name}"


def load(data_dir: Path = DATA_DIR) -> dict[str, tuple[list[str], list[str], list[tuple]]]:
    """``{table: (columns, kinds, rows)}``; a kind is INTEGER, REAL, DATE or TEXT.

    A column's kind is the first of int, float, ISO date, text that reads
    all its values; dates stay ISO text in the rows (every engine reads that
    into its date type).
    """
    tables = {}
    for name in TABLES:
        with gzip.open(data_dir / f"{name}.csv.gz", "rt", newline="") as f:
            reader = csv.reader(f, delimiter="|", quoting=csv.QUOTE_NONE)
            header = next(reader)
            raw = list(reader)
        casts, kinds = [], []
        for i in range(len(header)):
            for cast, kind in _KINDS:
                try:
                    for row in raw:
                        cast(row[i])
                except ValueError:
                    continue
                casts.append(cast)
                kinds.append(kind)
                break
        rows = [tuple(cast(v) for cast, v in zip(casts, row)) for row in raw]
        tables[name] = (header, kinds, rows)
    return tables


def tenant2_rows(name: str, columns, kinds, rows) -> list[tuple]:
    def change(column, kind, value):
        if column.endswith("key"):
            return value + KEY_OFFSET
        if kind in ("INTEGER", "REAL"):
            return round(value * 2, 2)
        return MARK + value if column.endswith("comment") else value

    if name in ("orders", "lineitem"):
        rows = [r for i, r in enumerate(rows) if i % 5 != 4]
    return [tuple(change(c, k, v) for c, k, v in zip(columns, kinds, r)) for r in rows]


def is_tenant2_row(row) -> bool:
    """Whether a value of ``row``, or of a struct or list in it, is tenant 2's.

    Tenant 2's keys are at least :data:`KEY_OFFSET` and its comments hold
    :data:`MARK`; an engine may hand back a whole row as a struct (a dict) or
    a list.
    """
    def of_tenant2(v):
        if isinstance(v, dict):
            return any(map(of_tenant2, v.values()))
        if isinstance(v, (list, tuple)):
            return any(map(of_tenant2, v))
        return (isinstance(v, int) and v >= KEY_OFFSET) or (isinstance(v, str) and MARK in v)

    return of_tenant2(tuple(row))


def insert_rows(placeholder: str = "?"):
    """A loader for :func:`populate`: ``executemany`` of one INSERT."""
    def insert(cur, table, columns, rows):
        marks = ", ".join([placeholder] * len(columns))
        cur.executemany(f'INSERT INTO "{table}" VALUES ({marks})', rows)
    return insert


def populate(conn, tables, *, internal: bool, types=None, insert=None) -> None:
    """Create and fill the tables on a DB-API connection.

    ``types`` maps a kind to the engine's column type (default: the kind).
    ``insert(cursor, table, columns, rows)`` fills one created table
    (default: :func:`insert_rows`, with ``?`` placeholders); engines with a
    bulk path pass their own. Every key column is indexed, which keeps the
    joins of the larger queries quick.
    """
    types = types or {}
    insert = insert or insert_rows()
    cur = conn.cursor()
    for table, columns, kinds, keys, data in contents(tables, internal=internal):
        defs = ", ".join(f'"{c}" {types.get(k, k)}' for c, k in zip(columns, kinds))
        cur.execute(f'CREATE TABLE "{table}" ({defs})')
        insert(cur, table, columns, data)
        for key in keys:
            cur.execute(f'CREATE INDEX "{table}_{key}" ON "{table}" ("{key}")')
    conn.commit()


def contents(tables, *, internal: bool):
    """``(table, columns, kinds, key columns, rows)`` of each table of the
    public or the internal database."""
    for name, (columns, kinds, rows) in tables.items():
        keys = [c for c in columns if c.endswith("key")]
        if internal:
            data = [(1, *r) for r in rows]
            data += [(2, *r) for r in tenant2_rows(name, columns, kinds, rows)]
            yield (internal_table(name), [TENANT_COLUMN] + [internal_column(c) for c in columns],
                   ["INTEGER", *kinds], [internal_column(c) for c in keys], data)
        else:
            yield name, list(columns), list(kinds), keys, rows


def spark_populate(db, tables, *, internal: bool) -> None:
    """:func:`populate` for a ``engine_sessions.SparkDatabase``: Spark has no
    indexes, and its DDL quotes names with backticks."""
    types = TYPES["spark"]
    for table, columns, kinds, _keys, data in contents(tables, internal=internal):
        db.load(table, ", ".join(f"`{c}` {types[k]}" for c, k in zip(columns, kinds)), data)


def catalogue(tables, filters: str | None = ROW_FILTER, allowed_functions=(),
              engine: str | None = None, fence: bool | str = "auto") -> Catalogue:
    """The internal tables published under the TPC-H names; with ``engine``,
    each column carries that engine's type (see :data:`TYPES`)."""
    def column(name: str, kind: str) -> Column:
        return Column(name, TYPES[engine][kind] if engine else None)
    return Catalogue({
        name: Table(name, internal_table(name),
                    {internal_column(c): column(c, k) for c, k in zip(columns, kinds)}, filters)
        for name, (columns, kinds, _) in tables.items()
    }, allowed_functions=frozenset(allowed_functions), fence=fence)


def queries(path: Path = DATA_DIR / "queries.sql") -> dict[str, str]:
    """``{"Q1": sql, ...}`` from a file of ``-- Qn`` headed, ``;``-terminated queries."""
    parts = re.split(r"^--\s*(Q\d+)\s*$", path.read_text(), flags=re.M)
    return {name: body.strip().rstrip(";").strip() for name, body in zip(parts[1::2], parts[2::2])}


def _fold_date_interval(node):
    """``DATE 'x' +/- INTERVAL 'n' unit`` becomes the constant date it stands for."""
    if not (isinstance(node, (exp.Add, exp.Sub)) and isinstance(node.expression, exp.Interval)):
        return node
    left, interval = node.this, node.expression
    if not (isinstance(left, exp.Cast) and left.to.is_type("date") and left.this.is_string):
        return node
    n = int(interval.this.name) * (-1 if isinstance(node, exp.Sub) else 1)
    unit = interval.unit.name.upper()
    d = date.fromisoformat(left.this.name)
    if unit == "DAY":
        d += timedelta(days=n)
    else:
        months = d.month - 1 + n * (12 if unit == "YEAR" else 1)
        d = d.replace(year=d.year + months // 12, month=months % 12 + 1)
    return exp.cast(exp.Literal.string(d.isoformat()), "date")


def _sqlite_extract_year(node):
    if isinstance(node, exp.Extract) and node.this.name.upper() == "YEAR":
        strftime = exp.Anonymous(this="STRFTIME", expressions=[exp.Literal.string("%Y"), node.expression])
        return exp.cast(strftime, "integer")
    return node


def _alias_columns_into_select(node):
    """``(SELECT a, b) AS t (x, y)`` becomes ``(SELECT a AS x, b AS y) AS t``."""
    alias = node.args.get("alias")
    if isinstance(node, exp.Subquery) and alias and alias.columns and isinstance(node.this, exp.Select):
        names = alias.columns
        node.this.set("expressions", [
            exp.alias_(e.unalias(), c.name, quoted=c.quoted) for e, c in zip(node.this.expressions, names)
        ])
        alias.set("columns", None)
    return node


# Per engine: the rewrites of the parsed query that let it run there.
ADAPTATIONS = {"sqlite": (_fold_date_interval, _sqlite_extract_year, _alias_columns_into_select)}


def render(sql: str, engine: str, read: str | None = None) -> str:
    """Parse ``sql`` (sqlglot dialect ``read``), adapt it to ``engine``, render it."""
    tree = sqlglot.parse_one(sql, read=read)
    for step in ADAPTATIONS.get(engine, ()):
        tree = tree.transform(step)
    return tree.sql(dialect=engine)


def duckdb_copy(cur, table: str, columns, rows) -> None:
    """Fills a DuckDB table through COPY from a CSV file: row-by-row inserts
    take DuckDB seconds per table, COPY milliseconds.  Strings are quoted,
    numbers not, so the file reads back exactly."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / f"{table}.csv"
        with path.open("w", newline="") as f:
            csv.writer(f, quoting=csv.QUOTE_NONNUMERIC).writerows(rows)
        cur.execute(f"COPY \"{table}\" FROM '{path}' (FORMAT csv, HEADER false)")
