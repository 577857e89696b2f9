"""The selective fence against the error channel, on SQLite, DuckDB, PostgreSQL and Spark.

By default a catalogue fences only the tables that an expression able to
fail can reach before their row filter.  The shapes of
``data/fence/*.toml`` fail on some values and not on others, or cannot fail
at all; each runs
for tenant 1 through a catalogue that gives every column's type, on a
database that also holds tenant 2's rows and on one that does not, and must
tell the same on both: the same rows, or an error of the same kind, and no
value of tenant 2 anywhere.  The rewrite's own answer (which shapes get a
fence on which engine) is checked without the engines too.
"""

from __future__ import annotations

import tomllib
from pathlib import Path

import pytest
import sqlglot
from sqlglot import exp

import wall_engines as W
from conftest import require_module
from pellquist.models import Catalogue, Column, Table
from pellquist.quist import Session

CASES = [case for path in sorted((Path(__file__).parent / "data" / "fence").glob("*.toml"))
         for case in tomllib.loads(path.read_text())["case"]]
ENGINES = ("sqlite", "duckdb", "postgres", "spark")
# The internal tables' column types, as each engine's tables declare them
# (SQLite keeps the days as text).
TYPES = {"id": "INTEGER", "customer_id": "INTEGER", "note": "TEXT", "amount": "INTEGER",
         "name": "TEXT"}
# What a fenced subquery holds, per engine.
FENCE = {"spark": "SPARK_PARTITION_ID()"}


def catalogue(engine: str, fence: bool | str = "auto",
              row_filter: str = "tenant_id = {tenant}") -> Catalogue:
    types = {**TYPES, "day": "TEXT" if engine == "sqlite" else "DATE"}

    def columns(names):
        return {n: Column(n, types[n]) for n in names}

    return Catalogue([
        Table("orders", "app_order", columns(W.ORDER_COLUMNS), row_filter),
        Table("customers", "app_customer", columns(W.CUSTOMER_COLUMNS), row_filter),
    ], fence=fence)


def native(engine: str, sql: str, **settings) -> str | None:
    """The rewrite for tenant 1 in the engine's dialect; None if refused."""
    try:
        return Session(catalogue(engine, **settings), W.PARAMS).generateNativeSQL(sql, engine)
    except Exception:
        return None


def fences(engine: str, sql: str) -> list[tuple[str, bool]]:
    """Each published table reference of a rewrite, by the name the query
    gives it, and whether its subquery holds the fence."""
    marker = FENCE.get(engine, "OFFSET 0")
    found = []
    for table in sqlglot.parse_one(sql, read=engine).find_all(exp.Table):
        if table.name in ("app_order", "app_customer"):
            inner = table.find_ancestor(exp.Select)
            found.append((inner.parent.alias, marker in inner.sql(dialect=engine)))
    return found


def wrong_fences(engine: str, case: dict) -> str | None:
    """What the rewrite of ``case`` fences otherwise than the case says:
    ``fenced`` names the engines that fence it, ``tables`` (all of them when
    left out) the references they fence, by the name the query gives them."""
    out = native(engine, case["sql"])
    if out is None:
        return f"{case['name']} is refused on {engine}"
    got = fences(engine, out)
    want = [(name, engine in case["fenced"] and name in case.get("tables", [name]))
            for name, _ in got]
    return None if got == want and got else f"{case['name']} on {engine}: {got}, not {want}\n{out}"


@pytest.mark.parametrize(("engine", "case"), [
    pytest.param(e, c, id=f"{e}-{c['name']}") for e in ENGINES for c in CASES
    if e in c.get("engines", ENGINES)])
def test_the_rewrite_fences_what_can_fail(engine, case):
    assert wrong_fences(engine, case) is None


# ---- on the engines --------------------------------------------------------------

def build(name, request, engines):
    if name not in engines:
        if name == "sqlite":
            engines[name] = W.SQLiteEngine()
        elif name == "duckdb":
            engines[name] = W.DuckDBEngine(require_module("duckdb"))
        elif name == "spark":
            engines[name] = W.SparkEngine(request.getfixturevalue("spark"))
        else:
            engines[name] = W.PostgresEngine(request.getfixturevalue("postgres_dsn"))
    return engines[name]


def outcome(engine, db, sql):
    try:
        return "rows", sorted(map(repr, engine.rows(db, sql)))
    except engine.errors as e:
        return "error", engine.error_kind(e), f"{type(e).__name__}: {e}"


def problems(engine, sql: str) -> list[str]:
    """What tenant 1 learns of tenant 2's rows from ``sql`` (already rewritten)."""
    got, control = outcome(engine, "internal", sql), outcome(engine, "control", sql)
    found = []
    shown = [m for m in (*W.MARKERS, *W.TENANT2_NUMBERS) if m in repr(got)]
    if shown:
        found.append(f"shows {shown}: {got}")
    if got[:2] != control[:2]:
        found.append(f"tells tenant 2's rows apart: {got} against {control}")
    return found


@pytest.mark.parametrize("engine_name", ENGINES)
def test_no_shape_tells_another_tenant_s_rows(engine_name, request, built):
    engine = build(engine_name, request, built)
    found = {}
    for case in CASES:
        if engine_name not in case.get("engines", ENGINES):
            continue
        sql = native(engine_name, case["sql"])
        found.update({f"{case['name']}: {p}\n    {sql}": None for p in problems(engine, sql)})
    assert not found, "\n".join(found)


@pytest.mark.parametrize("fence", ["auto", False])
def test_a_filter_that_reads_a_setting_holds_on_a_table_without_a_tenant_index(
        request, built, fence):
    """A filter such as ``tenant_id = current_setting(...)::int`` costs more
    than the query's own conditions, and PostgreSQL tests the cheaper first
    in a sequential scan: without the fence the shapes do leak there (so
    the test sees a fence that goes missing), with the default they do not."""
    engine = build("postgres", request, built)
    row_filter = "tenant_id = CAST(current_setting('app.tenant') AS INT)"
    for db in ("internal", "control"):
        engine.rows(db, "SELECT set_config('app.tenant', '1', false)")
    try:
        found = {}
        for case in CASES:
            sql = native("postgres", case["sql"], row_filter=row_filter, fence=fence)
            assert sql is not None, case["name"]
            found.update({f"{case['name']}: {p}": None for p in problems(engine, sql)})
    finally:
        engine.restore()
    if fence:
        assert not found, "\n".join(found)
    else:
        assert len(found) >= 5, found


@pytest.mark.parametrize(("engine", "column_type", "sql"), [
    ("duckdb", "UBIGINT", "SELECT v FROM t WHERE v = 5"),
    ("duckdb", "UBIGINT", "SELECT v FROM t WHERE CAST(v AS UBIGINT) = 5"),
    ("postgres", "NAME", "SELECT v FROM t WHERE v = 'x'"),
    # A published name with a schema is found by all its parts.
    ("postgres", "INTEGER", "SELECT v FROM Sales.T WHERE v = 5"),
])
def test_a_comparison_of_a_typed_column_stays_unfenced(engine, column_type, sql):
    # Read without the engine's dialect these types are unknown, and an
    # unknown type is fenced: the comparison would cost the plan its speed.
    name = "sales.t" if "Sales" in sql else "t"
    table = Table(name, "app_t", {"v": Column("v", column_type)}, "tenant_id = {tenant}")
    out = Session(Catalogue([table]), W.PARAMS).generateNativeSQL(sql, engine)
    assert "OFFSET 0" not in out, out
