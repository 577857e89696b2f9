#!/usr/bin/env python
"""Leak soak of pellquist.quist: many mixed calls, then memory and references.

Cycles through successes, each kind of refusal (including native SQL that
does not read back as the statement, text that would leave its quotes, a
table named by text, functions the catalogue does not allow and row locks),
unknown tables, filter errors (a missing param, values that fill the filter
into a statement or into no condition, params None), argument binding
errors, parse and token errors, non-dict params, sessions made and dropped
on every call, and sessions that refer to themselves through their params
(collected by the GC).

After a warm-up (the first --warmup of the calls), it checks:

* the growth in max RSS (ru_maxrss) stays under --rss-limit KiB;
* sys.getrefcount of the catalogue, the params and every SQL string comes
  back exactly to its value before the run;
* after gc.collect(), len(gc.get_objects()) grows by at most --gc-tolerance.

Prints a table of figures and exits 1 if a bound is broken.

    python scripts/soak.py                  # 200,000 calls
    python scripts/soak.py --calls 20000    # the short form the tests run
"""

from __future__ import annotations

import argparse
import gc
import resource
import sys
import time
import types
from collections.abc import Mapping

import sqlglot
from sqlglot.errors import ParseError, TokenError

import pellquist.quist as q
from pellquist.models import Catalogue, Column, SqlString, Table, TableNotFound

ONLY_SELECT = "As of now, only select statements are supported."
DML_DDL = "The SQL contains either DML or DDL"
NO_READ_BACK = "The native SQL does not read back as the same statement"
OUTSIDE_QUOTES = ("The SQL holds text that would be written outside quotes: "
                  "'1 FROM ord_t; DROP TABLE users; SELECT 1'")
BY_TEXT = "The SQL reads rows from TABLE('ord_t'), which the rewrite cannot check"
NOT_ALLOWED = ("The SQL calls the function 'my_udf', which the catalogue does not allow; "
               "list it in the catalogue's allowed_functions to allow it")


def rss_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def make_catalogue() -> Catalogue:
    return Catalogue({
        "orders": Table("Sales.Orders", "ord_t",
                        {"o_id": Column("id"), "o_cust": Column("customer_id"),
                         "o_amt": Column("amount")},
                        "WHERE tenant_id = {tenant}"),
        "customers": Table("sales.customers", "app.cust_t",
                           {"c_id": Column("id"), "c_name": Column("name")},
                           "tenant_id = {tenant} AND region = {region}"),
        "products": Table("products", "prod_t", {"p_id": Column("id"), "p_name": Column("name")}),
    })


class MappingParams(Mapping):
    """Params read through keys() and [] rather than as a dict."""

    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


# Every SQL text the soak passes, kept in one place so that its reference
# counts can be compared before and after.
SQL = {
    "simple": "SELECT id, amount FROM sales.orders",
    "join": ("SELECT o.id, c.name FROM sales.orders AS o JOIN sales.customers AS c "
             "ON o.customer_id = c.id WHERE o.amount > 10"),
    "cte": ("WITH big AS (SELECT * FROM sales.orders WHERE amount > 100), "
            "named AS (SELECT b.id, c.name FROM big AS b JOIN sales.customers AS c "
            "ON b.customer_id = c.id) SELECT * FROM named"),
    "recursive": ("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 5) "
                  "SELECT * FROM n, products"),
    "subqueries": ("SELECT id, (SELECT MAX(amount) FROM sales.orders) AS top FROM products "
                   "WHERE id IN (SELECT id FROM sales.orders UNION SELECT id FROM "
                   "sales.customers) AND EXISTS (SELECT 1 FROM sales.customers)"),
    "postgres": ("SELECT o.id FROM \"Sales\".\"Orders\" AS o WHERE o.amount::INT > 10 "
                 "ORDER BY o.id LIMIT 5"),
    "for_update": "SELECT id FROM \"Sales\".\"Orders\" AS o FOR UPDATE",
    "unfiltered": "SELECT name FROM PRODUCTS",
    "insert": "INSERT INTO sales.orders VALUES (1)",
    "union": "SELECT 1 UNION SELECT 2",
    "drop": "DROP TABLE sales.orders",
    "dml_cte": "WITH x AS (DELETE FROM sales.orders RETURNING *) SELECT * FROM x",
    "into": "SELECT * INTO copy FROM sales.orders",
    "unknown": "SELECT * FROM ord_t",
    "unknown_cte_scope": "WITH a AS (SELECT * FROM b), b AS (SELECT 1) SELECT * FROM a",
    "parse": "SELECT (",
    "token": "SELECT 'unterminated",
    "by_text": "SELECT * FROM TABLE('ord_t')",
    "unquoted": "SELECT o.'1 FROM ord_t; DROP TABLE users; SELECT 1'(1) FROM sales.orders AS o",
    # MySQL has no FULL JOIN: sqlglot renders a UNION, which reads back as another statement.
    "read_back": "SELECT * FROM sales.orders AS a FULL OUTER JOIN sales.orders AS b ON a.id = b.id",
    "function": "SELECT my_udf(id) FROM sales.orders",
}
# Fresh objects, not the code's constants, so that their counts are their own.
SQL = {k: "".join(list(v)) for k, v in SQL.items()}


def build(catalogue):
    """The list of steps; each makes one call and returns what it ended in."""
    params = {"tenant": 7, "region": SqlString("EU")}
    mapping = MappingParams({"tenant": 3, "region": 4})
    session = q.Session(catalogue, params)
    missing = q.Session(catalogue, {"tenant": 1})
    injected = q.Session(catalogue, {"tenant": "7; DROP TABLE users", "region": 1})
    unioned = q.Session(catalogue, {"tenant": "7 UNION SELECT 1", "region": 1})
    aliased = q.Session(catalogue, {"tenant": "7 x", "region": 1})
    no_params = q.Session(catalogue, None)
    via_mapping = q.Session(catalogue, mapping)
    gen = q.Session.generateNativeSQL

    def ok(s, key, dialect=None):
        def step():
            out = s.generateNativeSQL(SQL[key], dialect)
            assert out.startswith(("SELECT", "WITH")), out
            return "ok"
        return step

    def raises(call, kind, check=None):
        def step():
            try:
                call()
            except kind as e:
                if check is not None:
                    check(e)
                return kind.__name__
            raise AssertionError(f"no {kind.__name__}")
        return step

    def refused(key, message, dialect=None):
        def check(e):
            assert type(e) is Exception and e.args == (message, SQL[key]), e.args
        return raises(lambda: session.generateNativeSQL(SQL[key], dialect), Exception, check)

    def fresh_session():
        s = q.Session(catalogue, params)
        s.generateNativeSQL(SQL["simple"])
        return "fresh session"

    def fresh_failing_session():
        s = q.Session(catalogue, {"tenant": 1})
        try:
            s.generateNativeSQL(SQL["join"])
        except KeyError:
            return "fresh session KeyError"
        raise AssertionError("no KeyError")

    def self_referencing_session():
        # session -> params -> session: only the GC frees it.
        s = q.Session(catalogue, None)
        s.params = {"tenant": 5, "region": 6, "session": s}
        s.generateNativeSQL(SQL["cte"])
        return "cyclic session"

    def bound_positionally():
        gen(session, SQL["unfiltered"], "duckdb")
        return "ok"

    def by_keyword():
        session.generateNativeSQL(aSql=SQL["simple"], dialect="sqlite")
        return "ok"

    steps = [
        ok(session, "simple"), ok(session, "join"), ok(session, "cte", "postgres"),
        ok(session, "recursive"), ok(session, "subqueries", "duckdb"),
        ok(session, "postgres", "postgres"), ok(session, "unfiltered"),
        ok(via_mapping, "join"), bound_positionally, by_keyword,
        refused("insert", ONLY_SELECT), refused("union", ONLY_SELECT),
        refused("drop", ONLY_SELECT), refused("dml_cte", DML_DDL, "postgres"),
        refused("into", DML_DDL), refused("for_update", DML_DDL, "postgres"),
        refused("unquoted", OUTSIDE_QUOTES), refused("read_back", NO_READ_BACK, "mysql"),
        refused("by_text", BY_TEXT, "snowflake"), refused("function", NOT_ALLOWED),
        raises(lambda: session.generateNativeSQL(SQL["unknown"]), TableNotFound),
        raises(lambda: session.generateNativeSQL(SQL["unknown_cte_scope"]), TableNotFound),
        raises(lambda: missing.generateNativeSQL(SQL["join"]), KeyError),
        raises(lambda: injected.generateNativeSQL(SQL["simple"]), ValueError),
        raises(lambda: unioned.generateNativeSQL(SQL["cte"]), ValueError),
        raises(lambda: aliased.generateNativeSQL(SQL["simple"]), ValueError),
        raises(lambda: no_params.generateNativeSQL(SQL["simple"]), TypeError),
        raises(lambda: session.generateNativeSQL(SQL["parse"]), ParseError),
        raises(lambda: session.generateNativeSQL(SQL["token"]), TokenError),
        raises(lambda: session.generateNativeSQL(), TypeError),
        raises(lambda: session.generateNativeSQL(SQL["simple"], None, 3), TypeError),
        raises(lambda: session.generateNativeSQL(SQL["simple"], bogus=1), TypeError),
        raises(lambda: session.generateNativeSQL(SQL["simple"], aSql=SQL["simple"]), TypeError),
        raises(lambda: gen(), TypeError),
        raises(lambda: q.Session(catalogue), TypeError),
        raises(lambda: q.Session(catalogue, params, 3), TypeError),
        raises(lambda: q.Session(catalogue, params).generateNativeSQL(None), TypeError),
        raises(lambda: q.Session(types.SimpleNamespace(), params).generateNativeSQL(
            SQL["simple"]), AttributeError),
        fresh_session, fresh_failing_session, self_referencing_session,
    ]
    return steps, (params, mapping)


def build_sqlglot_only():
    """The same statements through sqlglot alone: parse, walk, render, read back.

    Growth seen here is sqlglot's own (a compiled build of sqlglot has been
    seen to keep memory per render), not the rewrite's.
    """
    dialects = [None, "postgres", "duckdb", "sqlite"]
    cases = [(SQL[k], dialects[i % len(dialects)]) for i, k in enumerate(SQL)]

    def step_for(sql, dialect):
        def step():
            try:
                tree = sqlglot.parse_one(sql, read=dialect)
                out = tree.transform(lambda node: node).sql(dialect=dialect, identify=True)
                sqlglot.parse_one(out, read=dialect)
            except sqlglot.errors.SqlglotError:
                return "sqlglot error"
            except TypeError:
                return "TypeError"
            return "ok"
        return step

    return [step_for(sql, d) for sql, d in cases], ()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--warmup", type=float, default=0.1,
                        help="fraction of the calls run before measuring (default 0.1)")
    parser.add_argument("--rss-limit", type=int, default=2048,
                        help="max RSS growth after warm-up, KiB (default 2048)")
    parser.add_argument("--gc-tolerance", type=int, default=50,
                        help="allowed growth in live GC objects (default 50)")
    parser.add_argument("--sqlglot-only", action="store_true",
                        help="run the statements through sqlglot alone, without the rewrite, "
                             "to tell its memory growth from the rewrite's")
    parser.add_argument("--no-rss-bound", action="store_true",
                        help="report RSS growth without enforcing it (for sanitizer runs, "
                             "whose allocator keeps freed memory in quarantine)")
    args = parser.parse_args(argv)
    import logging

    logging.getLogger("sqlglot").setLevel(logging.ERROR)

    catalogue = make_catalogue()
    steps, params_objects = build_sqlglot_only() if args.sqlglot_only else build(catalogue)
    watched = {"db": catalogue}
    watched.update({f"params[{i}]": p for i, p in enumerate(params_objects)})
    watched.update({f"sql[{k}]": v for k, v in SQL.items()})

    warmup = max(len(steps), int(args.calls * args.warmup))
    counts: dict[str, int] = {}

    def run(n: int, start: int) -> None:
        for i in range(start, start + n):
            kind = steps[i % len(steps)]()
            counts[kind] = counts.get(kind, 0) + 1
            if i % 997 == 0:
                gc.collect()

    t0 = time.perf_counter()
    run(warmup, 0)
    gc.collect()
    refs_before = {k: sys.getrefcount(v) for k, v in watched.items()}
    objects_before = len(gc.get_objects())
    rss_before = rss_kib()
    t1 = time.perf_counter()
    measured = max(args.calls - warmup, 0)
    samples = []
    chunk = max(measured // 10, 1)
    done = 0
    while done < measured:
        n = min(chunk, measured - done)
        run(n, warmup + done)
        done += n
        samples.append((warmup + done, rss_kib() - rss_before))
    t2 = time.perf_counter()
    gc.collect()
    # RSS first: the list gc.get_objects() builds takes memory of its own.
    rss_after = rss_kib()
    objects_after = len(gc.get_objects())
    refs_after = {k: sys.getrefcount(v) for k, v in watched.items()}

    rss_growth = rss_after - rss_before
    ref_deltas = {k: refs_after[k] - refs_before[k] for k in watched}
    gc_delta = objects_after - objects_before
    total = warmup + measured

    rows = [
        ("calls", f"{total:,} ({warmup:,} warm-up, {measured:,} measured)"),
        ("seconds", f"{t2 - t0:.1f} ({(t2 - t1):.1f} measured, "
                    f"{measured / max(t2 - t1, 1e-9):,.0f} calls/s)"),
        ("max RSS after warm-up", f"{rss_before:,} KiB"),
        ("max RSS growth", f"{rss_growth:,} KiB (limit {args.rss_limit:,} KiB"
                           f"{', not enforced' if args.no_rss_bound else ''})"),
        ("refcount deltas", ", ".join(f"{k} {d:+d}" for k, d in ref_deltas.items()
                                      if d) or f"all 0 ({len(watched)} objects)"),
        ("gc objects", f"{objects_before:,} -> {objects_after:,} ({gc_delta:+d}, "
                       f"tolerance {args.gc_tolerance})"),
        ("sqlglot", sqlglot.__version__),
    ]
    width = max(len(k) for k, _ in rows)
    print("pellquist soak" + (" (sqlglot alone)" if args.sqlglot_only else ""))
    for k, v in rows:
        print(f"  {k:<{width}}  {v}")
    print("  RSS growth by calls: " + ", ".join(f"{n:,}: {g:+,}" for n, g in samples))
    print("  outcomes: " + ", ".join(f"{k} {v:,}" for k, v in sorted(counts.items())))

    broken = []
    if rss_growth >= args.rss_limit and not args.no_rss_bound:
        broken.append(f"max RSS grew by {rss_growth} KiB")
    if any(ref_deltas.values()):
        broken.append(f"reference counts changed: { {k: d for k, d in ref_deltas.items() if d} }")
    if gc_delta > args.gc_tolerance:
        broken.append(f"{gc_delta} more live GC objects")
    for b in broken:
        print(f"FAILED: {b}")
    if not broken:
        print("OK: every bound held")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
