"""What the fence costs: the 22 TPC-H queries with it always on, as the safe
default sets it, and off, on real engines.

    python benchmarks/fence.py [--runs N] [--engines postgres,duckdb,sqlite]
                               [--timeout S] [--budget S]

With the fence always on (``fence=True``) every filtered subquery of the
native SQL ends in ``OFFSET 0`` (SQLite: ``LIMIT -1 OFFSET 0``), so the
engine applies the row filter before any expression of the query. Its price
is in the plans: the engine may no longer merge those subqueries into the
query around them, nor move the query's conditions or join keys down into
them, so it can't reach a row through an index on anything but the filter.
The default (``fence="auto"``, with the column types the catalogue gives)
fences only the tables that an expression able to fail can reach before
their filter; the table says how many of each query's tables that is.

On each engine the script builds the internal database of tests/tpch.py
(two tenants in renamed tables), indexes it as an operator of such a
database would, and gathers the planner's statistics:

* ``tenant_id`` alone, on every table;
* ``(tenant_id, primary key)``, unique, on every table;
* ``(tenant_id, key)`` for every other key column (the foreign keys), next
  to the single-column key indexes that ``tpch.populate`` creates.

Every query, rewritten for tenant 1 in the engine's own dialect, then runs
in the three ways, alternating run by run so that drift in the machine's
speed falls on all, and the best of N runs of each is kept. All must
return the same rows, or the script stops.

A variant that takes long is run fewer times (no more once ``--budget``
seconds are spent on it, marked ``*``), and one that passes ``--timeout`` is
stopped and shown as ``>timeout``; the totals then hold the timeout, as a
lower bound, and say so with ``>``.

PostgreSQL is a throw-away server on a unix socket in a temp folder,
started and stopped by the script the way the tests' fixture does it
(tests/conftest.py); an engine that is not installed is left out, with the
command that installs it.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import platform
import sqlite3
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from decimal import Decimal
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import tpch  # noqa: E402
from run import print_table  # noqa: E402
from conftest import INSTALL_POSTGRES, INSTALL_VENV, _postgres_bin  # noqa: E402
from conftest import postgres_server as throwaway_postgres  # noqa: E402

from pellquist.models import Catalogue  # noqa: E402
from pellquist.quist import Session  # noqa: E402

ENGINES = ("postgres", "duckdb", "sqlite")
PARAMS = {"tenant": 1}

# The TPC-H primary keys; every other column whose name ends in "key" is a
# foreign key.
PRIMARY_KEYS = {
    "customer": ("c_custkey",),
    "lineitem": ("l_orderkey", "l_linenumber"),
    "nation": ("n_nationkey",),
    "orders": ("o_orderkey",),
    "part": ("p_partkey",),
    "partsupp": ("ps_partkey", "ps_suppkey"),
    "region": ("r_regionkey",),
    "supplier": ("s_suppkey",),
}


class TimedOut(Exception):
    """A statement ran past the timeout and was stopped."""


class Skipped(Exception):
    """An engine that is not installed here; the message says how to install it."""


# ---- the catalogues -----------------------------------------------------------

def catalogue(tables, engine: str | None = None, fence: bool | str = "auto") -> Catalogue:
    """What ``tpch.catalogue`` publishes, with the engine's column types if
    ``engine`` is given."""
    return tpch.catalogue(tables, engine=engine, fence=fence)


# The three ways each query runs: the fence on every table, the default
# (on the tables a failing expression can reach), and none.
ALWAYS, DEFAULT, OFF = "always", "default", "off"
VARIANTS = (ALWAYS, DEFAULT, OFF)


# ---- indexes ------------------------------------------------------------------

def operator_indexes(tables) -> list[str]:
    """CREATE INDEX statements that lead with the tenant column, as in any
    database where every query of a tenant is restricted to it."""
    tenant = tpch.TENANT_COLUMN
    statements = []
    for name, (columns, _, _) in tables.items():
        table = tpch.internal_table(name)
        primary = PRIMARY_KEYS[name]
        key = ", ".join(f'"{tpch.internal_column(c)}"' for c in primary)
        statements.append(f'CREATE INDEX "{table}_tenant" ON "{table}" ("{tenant}")')
        statements.append(f'CREATE UNIQUE INDEX "{table}_tenant_pk" ON "{table}" '
                          f'("{tenant}", {key})')
        # The first column of the primary key is already led by the tenant
        # in the index above.
        for column in columns:
            if column.endswith("key") and column != primary[0]:
                c = tpch.internal_column(column)
                statements.append(f'CREATE INDEX "{table}_tenant_{c}" ON "{table}" '
                                  f'("{tenant}", "{c}")')
    return statements


# ---- the engines --------------------------------------------------------------

class Engine:
    """One engine's internal database, indexed and analysed.

    ``run(sql, timeout)`` returns the rows, or raises :class:`TimedOut`.
    """

    name = ""
    version = ""

    def run(self, sql: str, timeout: float) -> list[tuple]:
        raise NotImplementedError

    def close(self) -> None:
        pass


class SQLite(Engine):
    name = "sqlite"

    def __init__(self, tables):
        self.version = f"SQLite {sqlite3.sqlite_version}"
        self.conn = sqlite3.connect(":memory:")
        tpch.populate(self.conn, tables, internal=True, types=tpch.TYPES["sqlite"])
        for statement in operator_indexes(tables):
            self.conn.execute(statement)
        self.conn.execute("ANALYZE")
        self.conn.commit()

    def run(self, sql, timeout):
        deadline = time.perf_counter() + timeout
        # Called every so many virtual machine steps; a true result stops the
        # statement. Rare enough not to weigh on the figures.
        self.conn.set_progress_handler(lambda: time.perf_counter() > deadline, 100_000)
        try:
            return self.conn.execute(sql).fetchall()
        except sqlite3.OperationalError as e:
            if "interrupted" in str(e):
                raise TimedOut from e
            raise
        finally:
            self.conn.set_progress_handler(None, 0)

    def close(self):
        self.conn.close()


class DuckDB(Engine):
    name = "duckdb"

    def __init__(self, tables):
        try:
            import duckdb
        except ImportError as e:
            raise Skipped(f"the Python package duckdb cannot be imported ({e}); "
                          f"to provide it, run: {INSTALL_VENV}") from e
        self.duckdb = duckdb
        self.version = f"DuckDB {duckdb.__version__}"
        self.conn = duckdb.connect()
        tpch.populate(self.conn, tables, internal=True, types=tpch.TYPES["duckdb"],
                      insert=tpch.duckdb_copy)
        for statement in operator_indexes(tables):
            self.conn.execute(statement)
        self.conn.execute("ANALYZE")

    def run(self, sql, timeout):
        timer = threading.Timer(timeout, self.conn.interrupt)
        timer.start()
        try:
            return self.conn.execute(sql).fetchall()
        except self.duckdb.InterruptException as e:
            raise TimedOut from e
        finally:
            timer.cancel()

    def close(self):
        self.conn.close()


@contextlib.contextmanager
def postgres_server() -> Iterator[dict[str, str]]:
    """Connection settings of a throw-away server, as the tests start one."""
    bindir = _postgres_bin()
    if bindir is None:
        raise Skipped("PostgreSQL server binaries (pg_ctl, initdb) not found; "
                      f"to provide them, run: {INSTALL_POSTGRES}")
    with throwaway_postgres(bindir) as dsn:
        yield dsn


def _postgres_copy(cur, table, columns, rows):
    with cur.copy(f'COPY "{table}" FROM STDIN') as copy:
        for row in rows:
            copy.write_row(row)


class PostgreSQL(Engine):
    name = "postgres"

    def __init__(self, tables, dsn):
        import psycopg
        self.psycopg = psycopg
        self.conn = psycopg.connect(**dsn)
        tpch.populate(self.conn, tables, internal=True, types=tpch.TYPES["postgres"],
                      insert=_postgres_copy)
        for statement in operator_indexes(tables):
            self.conn.execute(statement)
        self.conn.commit()
        self.conn.autocommit = True
        # VACUUM as well: it sets the visibility map, without which the
        # planner prices index-only scans as if each row were read twice.
        self.conn.execute("VACUUM ANALYZE")
        self.version = self.conn.execute("SHOW server_version").fetchone()[0]
        self.version = f"PostgreSQL {self.version}"
        self.timeout_set = None

    def run(self, sql, timeout):
        if timeout != self.timeout_set:
            self.conn.execute(f"SET statement_timeout = {int(timeout * 1000)}")
            self.timeout_set = timeout
        try:
            with self.conn.cursor() as cur:
                cur.execute(sql)
                return cur.fetchall()
        except self.psycopg.errors.QueryCanceled as e:
            raise TimedOut from e

    def close(self):
        self.conn.close()


def open_engine(name: str, tables, stack: contextlib.ExitStack) -> Engine:
    if name == "sqlite":
        engine = SQLite(tables)
    elif name == "duckdb":
        engine = DuckDB(tables)
    else:
        try:
            import psycopg  # noqa: F401
        except ImportError as e:
            raise Skipped(f"the Python package psycopg cannot be imported ({e}); "
                          f"to provide it, run: {INSTALL_VENV}") from e
        engine = PostgreSQL(tables, stack.enter_context(postgres_server()))
    stack.callback(engine.close)
    return engine


# ---- comparing results --------------------------------------------------------

def normalise(rows: list[tuple]) -> list[tuple]:
    """The rows in a fixed order, numbers as floats rounded like the engine tests do.

    The order is not compared: with the fence on or off the engine may break
    ties of an ORDER BY differently.
    """
    def value(v):
        if isinstance(v, Decimal):  # PostgreSQL's numeric
            v = float(v)
        return round(v, 4) if isinstance(v, float) else v

    return sorted((tuple(map(value, r)) for r in rows), key=repr)


def same_rows(a: list[tuple], b: list[tuple]) -> bool:
    a, b = normalise(a), normalise(b)
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if len(x) != len(y):
            return False
        for u, v in zip(x, y):
            if isinstance(u, float) or isinstance(v, float):
                # Sums taken in another order differ in their last digits.
                if not math.isclose(u, v, rel_tol=1e-9, abs_tol=1e-3):
                    return False
            elif u != v:
                return False
    return True


# ---- timing -------------------------------------------------------------------

class Timing:
    """The best of the runs of one query in one of the VARIANTS."""

    def __init__(self):
        self.best = math.inf
        self.runs = 0
        self.spent = 0.0
        self.timed_out = False
        self.rows: list[tuple] | None = None

    def done(self, runs: int, budget: float) -> bool:
        return self.timed_out or self.runs >= runs or (self.runs > 0 and self.spent >= budget)


def time_query(engine: Engine, natives: dict[str, str], runs: int, timeout: float,
               budget: float) -> dict[str, Timing]:
    timings = {v: Timing() for v in VARIANTS}
    for i in range(runs):
        # Each run starts with another variant.
        order = VARIANTS[i % 3:] + VARIANTS[:i % 3]
        for fence in order:
            t = timings[fence]
            if t.done(runs, budget):
                continue
            start = time.perf_counter()
            try:
                rows = engine.run(natives[fence], timeout)
            except TimedOut:
                t.timed_out = True
                continue
            finally:
                elapsed = time.perf_counter() - start
                t.spent += elapsed
            t.runs += 1
            t.best = min(t.best, elapsed)
            if t.rows is None:
                t.rows = rows
    return timings


def natives_for(engine: str, sql: str, catalogues: dict[str, Catalogue]) -> dict[str, str]:
    """The query rewritten for tenant 1 in the engine's dialect, in each variant."""
    text = tpch.render(sql, engine)
    natives = {fence: Session(cat, PARAMS).generateNativeSQL(text, engine)
               for fence, cat in catalogues.items()}
    # The fence is the only difference between the catalogues: without it
    # the text holds none of the OFFSET 0 the fence adds.
    assert natives[ALWAYS] != natives[OFF] and "OFFSET 0" not in natives[OFF], engine
    return natives


def fenced_tables(native: str) -> int:
    return native.count("OFFSET 0")


# ---- printing -----------------------------------------------------------------

def ms(t: Timing, runs: int, timeout: float) -> str:
    if t.timed_out and t.runs == 0:
        return f">{timeout * 1000:,.0f}"
    v = t.best * 1000
    text = f"{v:,.0f}" if v >= 100 else f"{v:.1f}" if v >= 10 else f"{v:.2f}"
    return text + ("*" if t.runs < runs else "")


def lower_bound(t: Timing, timeout: float) -> tuple[float, bool]:
    """Seconds to count for ``t`` in the totals, and whether it is only a lower bound."""
    return (timeout, True) if t.runs == 0 else (t.best, False)


def bounded_ratio(value: float, on_bound: bool, off_bound: bool) -> str:
    """``value``, a ratio on/off, where either side may count a timeout.

    A timeout makes its side a lower bound, so the ratio is a lower bound
    when it is on the fence-on side and an upper one on the other.
    """
    if on_bound and off_bound:
        return "?"
    return (">" if on_bound else "<" if off_bound else "") + f"{value:.2f}"


def load_average() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg()) + " (1, 5, 15 min)"
    except OSError:
        return "unknown"


# ---- main ---------------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of each query and fence (5)")
    parser.add_argument("--engines", default=",".join(ENGINES),
                        help=f"comma-separated, of {', '.join(ENGINES)} (all)")
    parser.add_argument("--timeout", type=float, default=60.0,
                        help="seconds after which a statement is stopped (60)")
    parser.add_argument("--budget", type=float, default=3.0,
                        help="seconds of runs of one query and fence after which no more "
                             "are started (3)")
    args = parser.parse_args(argv)
    names = [n.strip() for n in args.engines.split(",") if n.strip()]
    unknown = set(names) - set(ENGINES)
    if unknown or args.runs < 1:
        parser.error(f"unknown engine {sorted(unknown)[0]!r}" if unknown else "--runs below 1")

    started = time.perf_counter()
    tables = tpch.load()
    queries = tpch.queries()
    always, off = catalogue(tables, fence=True), catalogue(tables, fence=False)
    assert catalogue(tables, "postgres").fence == "auto", "the default fences selectively"
    # The same rewrite as the engine tests' catalogue, so the timings are of
    # the SQL those tests check.
    tests_catalogue = tpch.catalogue(tables, fence=True)
    for sql in queries.values():
        assert (Session(always, PARAMS).generateNativeSQL(sql)
                == Session(tests_catalogue, PARAMS).generateNativeSQL(sql))

    print("# The fence on the TPC-H queries: always, by default, off\n")
    print(f"- Python {platform.python_version()}, {os.cpu_count()} cores, "
          f"load average {load_average()}")
    print(f"- best of {args.runs} runs per query and fence, alternating; "
          f"timeout {args.timeout:g} s, budget {args.budget:g} s per query and fence")
    print(f"- TPC-H sample of tests/data/tpch, two tenants; rewritten for tenant {PARAMS['tenant']}")

    results: dict[str, dict[str, dict[str, Timing]]] = {}
    fences: dict[str, dict[str, tuple[int, int]]] = {}
    with contextlib.ExitStack() as stack:
        engines = []
        for name in names:
            t0 = time.perf_counter()
            try:
                engine = open_engine(name, tables, stack)
            except Skipped as e:
                print(f"- {name}: left out, {e}")
                continue
            print(f"- {engine.version}: built, indexed and analysed in "
                  f"{time.perf_counter() - t0:.1f} s")
            engines.append(engine)
        print()
        for engine in engines:
            t0 = time.perf_counter()
            results[engine.name] = {}
            fences[engine.name] = {}
            catalogues = {ALWAYS: always, DEFAULT: catalogue(tables, engine.name), OFF: off}
            for qname, sql in queries.items():
                natives = natives_for(engine.name, sql, catalogues)
                fences[engine.name][qname] = (fenced_tables(natives[DEFAULT]),
                                              fenced_tables(natives[ALWAYS]))
                timings = time_query(engine, natives, args.runs, args.timeout, args.budget)
                base = timings[OFF]
                for variant in (ALWAYS, DEFAULT):
                    t = timings[variant]
                    if t.rows is not None and base.rows is not None and not same_rows(
                            t.rows, base.rows):
                        raise SystemExit(f"{engine.name} {qname}: the fence ({variant}) changes "
                                         f"the rows ({len(t.rows)} rows with it, "
                                         f"{len(base.rows)} without)")
                results[engine.name][qname] = timings
            print(f"- {engine.name}: timed in {time.perf_counter() - t0:.1f} s, "
                  "every variant returns the same rows")
    if not results:
        print("no engine to time")
        return 1
    print()

    headers = ["query"]
    for name in results:
        headers += [f"{name} always", "default", "off ms", "always/off", "default/off",
                    "fenced"]
    rows = []
    for qname in queries:
        row = [qname]
        for name, per_query in results.items():
            timings = per_query[qname]
            b, b_bound = lower_bound(timings[OFF], args.timeout)
            row += [ms(timings[v], args.runs, args.timeout) for v in VARIANTS]
            for v in (ALWAYS, DEFAULT):
                a, a_bound = lower_bound(timings[v], args.timeout)
                row.append(bounded_ratio(a / b, a_bound, b_bound))
            row.append("%d of %d" % fences[name][qname])
        rows.append(row)

    sums, means = ["sum"], ["geomean"]
    for name, per_query in results.items():
        total = dict.fromkeys(VARIANTS, 0.0)
        bounded = dict.fromkeys(VARIANTS, False)
        logs: dict[str, list[float]] = {ALWAYS: [], DEFAULT: []}
        for timings in per_query.values():
            counted = {v: lower_bound(timings[v], args.timeout) for v in VARIANTS}
            for v, (seconds, bound) in counted.items():
                total[v] += seconds
                bounded[v] |= bound
            for v in logs:
                logs[v].append(math.log(counted[v][0] / counted[OFF][0]))
        sums += [(">" if bounded[v] else "") + f"{total[v] * 1000:,.0f}" for v in VARIANTS]
        sums += [bounded_ratio(total[v] / total[OFF], bounded[v], bounded[OFF])
                 for v in (ALWAYS, DEFAULT)]
        sums.append("%d of %d" % tuple(map(sum, zip(*fences[name].values()))))
        means += ["", "", ""] + [bounded_ratio(math.exp(sum(logs[v]) / len(logs[v])),
                                               bounded[v], bounded[OFF])
                                 for v in (ALWAYS, DEFAULT)] + [""]
    print_table(headers, rows + [sums, means])
    print("always, default, off: milliseconds with the fence on every filtered table, as the "
          "default sets it, and with none; x/off: the time over the time without a fence.")
    print("fenced: how many of the query's table references the default fences, of those the "
          "fence-always variant fences.")
    print("sum: over the 22 queries; geomean: of the 22 ratios.")
    if any(t.runs < args.runs and t.runs for per in results.values() for ts in per.values()
           for t in ts.values()):
        print(f"*: fewer than {args.runs} runs, the budget of {args.budget:g} s being spent.")
    if any(t.runs == 0 for per in results.values() for ts in per.values() for t in ts.values()):
        print(f">: stopped at the timeout of {args.timeout:g} s, and counted as that long in "
              "the totals, which are then bounds.")
    print(f"\nload average at the end {load_average()}; "
          f"{time.perf_counter() - started:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
