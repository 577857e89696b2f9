"""pellquist.rewrite: param types, limits, the error classes, threads."""

from __future__ import annotations

import datetime
import decimal
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from sqlglot.errors import ParseError, TokenError

import pellquist
import pellquist.quist
from pellquist import (
    BadCatalogue, Catalogue, Column, LimitExceeded, MissingParam, PellquistError, RawSql,
    Refused, SqlString, SqlSyntaxError, SqlTokenError, Table, TableNotFound, UnknownDialect,
    UnknownTable, UnsafeParam, rewrite,
)
from pellquist.api import DEFAULT_MAX_LENGTH, nesting_depth, operator_count

CATALOGUE = Catalogue({
    "orders": Table("sales.orders", "ord_t", {"o_id": Column("id"), "o_amt": Column("amount")},
                    "tenant_id = {tenant}"),
    "notes": Table("sales.notes", "note_t", {"n_id": Column("id")}, "t = {tenant} AND {flag}"),
}, fence=True, dialect="postgres")
ORDERS = "SELECT id FROM sales.orders"


def condition(native: str) -> str:
    """The filled row filter of the one subquery in ``native``."""
    found = re.search(r'WHERE "_internal"\."tenant_id" = (.*) OFFSET 0\)', native)
    assert found, native
    return found[1]


class Digits(int):
    def __str__(self) -> str:
        return "1 OR 1 = 1"

    __repr__ = __str__


class Sneaky(SqlString):
    def __str__(self) -> str:
        return "'' OR 1 = 1"


# ---- params -----------------------------------------------------------------------------

@pytest.mark.parametrize("value, rendered", [
    (7, "7"),
    (-7, "(-7)"),
    (10**30, "1" + "0" * 30),
    (True, "TRUE"),
    (False, "FALSE"),
    (1.5, "1.5"),
    (-0.25, "(-0.25)"),
    (decimal.Decimal("12.50"), "12.50"),
    (decimal.Decimal("-3"), "(-3)"),
    (datetime.date(2024, 5, 1), "'2024-05-01'"),
    (datetime.datetime(2024, 5, 1, 13, 45), "'2024-05-01 13:45:00'"),
    (SqlString("O'Brien"), "'O''Brien'"),
    (RawSql("(SELECT 7)"), "(SELECT 7)"),
    (Digits(5), "5"),  # int's own text, not the subclass's
    (Sneaky("x"), "'x'"),  # quoted by SqlString itself
])
def test_accepted_params(value, rendered):
    assert condition(rewrite(CATALOGUE, ORDERS, {"tenant": value})) == rendered


@pytest.mark.parametrize("value, says", [
    ("7", "wrap it in SqlString(...) for a string value, or in RawSql(...)"),
    ("", "SqlString"),
    (b"7", "a bytes is not accepted"),
    (None, "a NoneType is not accepted"),
    ([1, 2], "a list is not accepted"),
    (float("nan"), "not a finite number"),
    (float("inf"), "not a finite number"),
    (decimal.Decimal("NaN"), "not a finite number"),
    (decimal.Decimal("-Infinity"), "not a finite number"),
    (datetime.time(12, 0), "a time is not accepted"),
    (object(), "a object is not accepted"),
])
def test_refused_params(value, says):
    with pytest.raises(UnsafeParam, match=re.escape(says)) as caught:
        rewrite(CATALOGUE, ORDERS, {"tenant": value})
    assert isinstance(caught.value, TypeError) and isinstance(caught.value, PellquistError)
    assert "'tenant'" in str(caught.value)


def test_params_are_checked_before_anything_else():
    # The SQL, the dialect and the limits would each fail too: the param speaks first.
    with pytest.raises(UnsafeParam):
        rewrite(CATALOGUE, "DELETE" + "(" * 500, {"tenant": "1 OR 1=1"}, dialect="nope",
                max_length=3)


def test_params_shape():
    with pytest.raises(UnsafeParam, match="names must be strings"):
        rewrite(CATALOGUE, ORDERS, {1: 7})
    with pytest.raises(UnsafeParam, match="expected a mapping"):
        rewrite(CATALOGUE, ORDERS, [("tenant", 7)])
    assert rewrite(Catalogue({}), "SELECT 1", None, dialect="postgres") == "SELECT 1"


BOUND = Catalogue([Table("t", "t_i", {"a": "a"}, "a = {v}")], dialect="duckdb")
UNBOUND = Catalogue([Table("t", "t_i", {"a": "a"}, "a = {v}")])


@pytest.mark.parametrize("catalogue, dialect, written_for", [
    (BOUND, None, "duckdb"),
    (BOUND, "duckdb", "duckdb"),
    (UNBOUND, "spark", "spark"),
])
def test_the_catalogue_names_the_dialect_a_call_leaves_out(catalogue, dialect, written_for):
    sql = "SELECT a FROM t LIMIT 1"
    native = rewrite(catalogue, sql, {"v": 1}, dialect=dialect)
    assert native == rewrite(UNBOUND, sql, {"v": 1}, dialect=written_for)


@pytest.mark.parametrize("catalogue, dialect, message", [
    # sqlglot's own dialect quotes names as Spark quotes strings: no SQL of
    # it runs alike everywhere, so the call must name an engine.
    (UNBOUND, None, 'no SQL dialect: name the engine\'s dialect: rewrite(..., dialect="postgres")'),
    (UNBOUND, "", "no SQL dialect"),
    (BOUND, "postgres", "the dialect 'postgres' is not the catalogue's ('duckdb')"),
    (type("Plain", (), {"tables": {}, "dialect": "sqlite"})(), "spark", "not the catalogue's"),
])
def test_a_call_without_a_dialect_or_against_the_catalogues_is_refused(catalogue, dialect,
                                                                       message):
    with pytest.raises(pellquist.DialectError, match=re.escape(message)):
        rewrite(catalogue, "SELECT a FROM t", {"v": 1}, dialect=dialect)


def test_a_reassigned_sqlstring_is_checked_again():
    value = SqlString("ok")
    value.value = "a\\' OR 1=1 --"
    with pytest.raises(UnsafeParam, match="backslashes"):
        rewrite(CATALOGUE, ORDERS, {"tenant": value})


def test_rendered_values_ignore_conversions_and_refuse_formats():
    catalogue = Catalogue([Table("t", "t_i", {"a": "a"}, "a = {v!r} AND b = {v!s}")],
                          dialect="postgres")
    native = rewrite(catalogue, "SELECT a FROM t", {"v": SqlString("x")})
    assert "\"a\" = 'x' AND" in native and "\"b\" = 'x'" in native
    padded = Catalogue([Table("t", "t_i", {"a": "a"}, "a = {v:>9}")], dialect="postgres")
    with pytest.raises(BadCatalogue, match="plain {name} fields; one asks for the format '>9'"):
        rewrite(padded, "SELECT a FROM t", {"v": 1})


def test_negative_number_after_a_minus_stays_an_operand():
    catalogue = Catalogue([Table("t", "t_i", {"a": "a"}, "a = 10-{v}")], dialect="postgres")
    native = rewrite(catalogue, "SELECT a FROM t", {"v": -5})
    assert "10 - (-5)" in native and "--" not in native


def test_rawsql_and_sqlstring_in_a_session_render_the_same():
    # RawSql is usable with Session directly too: str.format pastes its text.
    assert format(RawSql("(1, 2)")) == str(RawSql("(1, 2)")) == "(1, 2)"
    assert repr(RawSql("x")) == "RawSql('x')"
    with pytest.raises(TypeError):
        RawSql(7)


# ---- limits -----------------------------------------------------------------------------

def _of_length(n: int) -> str:
    head = ORDERS + " WHERE id = '"
    return head + "x" * (n - len(head) - 1) + "'"


def _nested(n: int) -> str:
    return "SELECT " + "(" * n + "id" + ")" * n + " FROM sales.orders"


def _with_operators(n: int) -> str:
    return "SELECT " + ", ".join(["id + 1"] * n) + " FROM sales.orders"


@pytest.mark.parametrize("make, measure, limit, says", [
    (_of_length, len, 100_000, "the query is 100,001 characters long; the limit is 100,000"),
    (_nested, nesting_depth, 100, "the query nests parentheses more than 100 deep"),
    (_with_operators, operator_count, 5_000, "the query holds more than 5,000 operators"),
], ids=["length", "depth", "operators"])
def test_default_limits_accept_the_query_at_them_and_refuse_one_past(make, measure, limit, says):
    at, past = make(limit), make(limit + 1)
    assert (measure(at), measure(past)) == (limit, limit + 1)
    try:
        assert "ord_t" in rewrite(CATALOGUE, at, {"tenant": 1})
    except LimitExceeded as e:
        # Pure-Python sqlglot's parser (make sanitize) can run out of
        # recursion below the default depth: never the limit itself.
        assert (make, str(e)) == (_nested, "the query nests too deeply for the parser")
    with pytest.raises(LimitExceeded, match=f"^{re.escape(says)}$"):
        rewrite(CATALOGUE, past, {"tenant": 1})


def test_a_5_mb_query_is_refused_at_once():
    sql = "SELECT id FROM sales.orders WHERE id IN (" + ", ".join(
        str(i) for i in range(700_000)) + ")"
    assert len(sql) > 5_000_000
    start = time.perf_counter()
    with pytest.raises(LimitExceeded, match="characters long; the limit is 100,000") as caught:
        rewrite(CATALOGUE, sql, {"tenant": 1})
    assert time.perf_counter() - start < 0.5
    assert isinstance(caught.value, ValueError)


def test_length_limit_is_the_callers():
    sql = ORDERS + " WHERE id IN (" + ", ".join(["1"] * 30) + ")"
    with pytest.raises(LimitExceeded):
        rewrite(CATALOGUE, sql, {"tenant": 1}, max_length=50)
    assert rewrite(CATALOGUE, sql, {"tenant": 1}, max_length=len(sql))
    assert rewrite(CATALOGUE, sql, {"tenant": 1}, max_length=None)
    for bad in (0, -1, 1.5, True, "100"):
        with pytest.raises(ValueError):
            rewrite(CATALOGUE, ORDERS, {"tenant": 1}, max_length=bad)


def test_deep_nesting_is_refused_before_the_parser(monkeypatch):
    sql = "SELECT " + "(" * 40_000 + "1" + ")" * 40_000
    # The session (and so sqlglot) is not even asked: a parse would exhaust
    # the recursion limit.
    monkeypatch.setattr(pellquist.quist, "Session", lambda *a: pytest.fail("parsed"))
    start = time.perf_counter()
    with pytest.raises(LimitExceeded, match="more than 100 deep"):
        rewrite(CATALOGUE, sql, {"tenant": 1})
    assert time.perf_counter() - start < 0.5


def test_depth_limit_is_the_callers():
    sql = "SELECT " + "(" * 30 + "id" + ")" * 30 + " FROM sales.orders"
    with pytest.raises(LimitExceeded):
        rewrite(CATALOGUE, sql, {"tenant": 1}, max_depth=29)
    assert rewrite(CATALOGUE, sql, {"tenant": 1}, max_depth=30)


def test_nesting_the_scan_cannot_see_is_still_a_limit():
    # NOT chains nest in the parser without one parenthesis.
    sql = "SELECT id FROM sales.orders WHERE " + "NOT " * 20_000 + "TRUE"
    with pytest.raises(LimitExceeded, match="too deeply") as caught:
        rewrite(CATALOGUE, sql, {"tenant": 1}, max_operators=None)
    assert isinstance(caught.value.__cause__, RecursionError)


@pytest.mark.parametrize("chain", ["+".join(["1"] * 40_000), " OR ".join(["id = 1"] * 5_000),
                                   "x" + "::int" * 6_000, "'a'" + " || 'a'" * 10_000,
                                   "id" + "[1]" * 6_000])
def test_a_long_operator_chain_is_refused_before_the_parser(monkeypatch, chain):
    sql = f"SELECT {chain} FROM sales.orders"
    assert len(sql) <= DEFAULT_MAX_LENGTH and nesting_depth(sql) <= 1
    monkeypatch.setattr(pellquist.quist, "Session", lambda *a: pytest.fail("parsed"))
    with pytest.raises(LimitExceeded, match="more than 5,000 operators"):
        rewrite(CATALOGUE, sql, {"tenant": 1})


def test_operator_limit_is_the_callers():
    sql = "SELECT id FROM sales.orders WHERE " + " OR ".join(["id = 1"] * 30)
    with pytest.raises(LimitExceeded):
        rewrite(CATALOGUE, sql, {"tenant": 1}, max_operators=58)
    assert rewrite(CATALOGUE, sql, {"tenant": 1}, max_operators=59)
    assert rewrite(CATALOGUE, sql, {"tenant": 1}, max_operators=None)


@pytest.mark.parametrize("sql, count", [
    ("SELECT id FROM t WHERE id IN (1, 2, 3)", 1),
    ("SELECT a+b*c, x::int, s || 't' FROM t", 4),
    ("SELECT 1 FROM t WHERE a >= 1 AND NOT b <> 2 OR c IS NULL", 6),
    ("SELECT brand, android, isnull, _or_ FROM t", 0),
    ("SELECT '+ AND +', \"a+b\", `or` -- + + +\n, /* AND */ 1", 0),
    ("SELECT 1 /* unterminated + + +", 0),
    ("SELECT a[1][2], [3, 4] FROM t", 3),
])
def test_operator_count(sql, count):
    assert operator_count(sql) == count


@pytest.mark.parametrize("sql, depth", [
    ("SELECT 1", 0),
    ("SELECT ((1)), (2)", 2),
    ("SELECT '((((' , \"((\", `((`", 0),
    ("SELECT 'it''s ((', (1)", 1),
    ("SELECT \"a\"\"((\" FROM t", 0),
    ("SELECT 1 -- ((((\n, (2)", 1),
    ("SELECT /* (((( */ (1)", 1),
    ("SELECT /* (((( unterminated", 0),
    ("SELECT (1, 'unterminated ((((", 1),
    ("SELECT ARRAY[[1], [2]], {'a': (1)}", 2),
    ("SELECT ))) (1)", 1),  # a stray close does not go below zero
])
def test_nesting_depth(sql, depth):
    assert nesting_depth(sql) == depth


# ---- errors -----------------------------------------------------------------------------

ERRORS = [
    # (sql, params, dialect, new class, old class, args check)
    ("DELETE FROM sales.orders", {"tenant": 1}, None, Refused, Exception,
     ("As of now, only select statements are supported.", "DELETE FROM sales.orders")),
    ("SELECT * FROM ord_t", {"tenant": 1}, None, UnknownTable, TableNotFound,
     ("ord_t", "No such table found.")),
    (ORDERS, {}, None, MissingParam, KeyError, ("tenant",)),
    (ORDERS, {"tenant": RawSql("1 x")}, None, BadCatalogue, ValueError, None),
    ("SELECT FROM WHERE (", {"tenant": 1}, None, SqlSyntaxError, ParseError, None),
    ("SELECT 'abc FROM sales.orders", {"tenant": 1}, None, SqlTokenError, TokenError, None),
    (ORDERS, {"tenant": 1}, "nope", UnknownDialect, ValueError, None),
    (ORDERS, {"tenant": 1}, "postgres, foo=bar", UnknownDialect, ValueError, None),
    (ORDERS, {"tenant": "1"}, None, UnsafeParam, TypeError, None),
    ("SELECT " + "(" * 200 + "1" + ")" * 200, {"tenant": 1}, None, LimitExceeded, ValueError,
     None),
]


@pytest.mark.parametrize("sql, params, dialect, new, old, args", ERRORS,
                         ids=[e[3].__name__ + "-" + str(i) for i, e in enumerate(ERRORS)])
def test_error_classes(sql, params, dialect, new, old, args):
    with pytest.raises(PellquistError) as caught:
        rewrite(CATALOGUE, sql, params, dialect=dialect)
    error = caught.value
    assert type(error) is new
    assert isinstance(error, new) and isinstance(error, old) and isinstance(error, PellquistError)
    if args is not None:
        assert error.args == args
    assert str(error) and "\x1b" not in str(error)  # no terminal escapes for an end user


@pytest.mark.parametrize("sql, params, dialect", [
    ("DELETE FROM sales.orders", {"tenant": 1}, None),
    ("SELECT * FROM ord_t", {"tenant": 1}, None),
    (ORDERS, {}, None),
    (ORDERS, {"tenant": "1 x"}, None),
    ("SELECT FROM WHERE (", {"tenant": 1}, None),
    ("SELECT 'abc FROM sales.orders", {"tenant": 1}, None),
    (ORDERS, {"tenant": 1}, "nope"),
])
def test_each_error_is_what_the_session_raises(sql, params, dialect):
    """Each typed error is an instance of the session's exception's class
    and is raised from it, with the same args where the session gives any."""
    with pytest.raises(Exception) as session_caught:
        pellquist.Session(CATALOGUE, params).generateNativeSQL(sql, dialect)
    safe = {k: RawSql(v) if isinstance(v, str) else v for k, v in params.items()}
    with pytest.raises(PellquistError) as caught:
        rewrite(CATALOGUE, sql, safe, dialect=dialect)
    original = session_caught.value
    assert isinstance(caught.value, type(original))
    if dialect is None:
        assert type(caught.value.__cause__) is type(original)
        assert caught.value.__cause__.args == original.args or isinstance(original, ParseError)


def test_a_filter_that_does_not_parse_says_so():
    with pytest.raises(SqlSyntaxError, match="^a row filter does not parse"):
        rewrite(CATALOGUE, ORDERS, {"tenant": RawSql("1 +")})
    with pytest.raises(SqlSyntaxError) as caught:
        rewrite(CATALOGUE, "SELECT (", {"tenant": RawSql("1")})
    assert not str(caught.value).startswith("a row filter")


def test_internal_faults_pass_unchanged():
    class Broken:
        @property
        def tables(self):
            raise RuntimeError("catalogue backend down")

    with pytest.raises(RuntimeError, match="backend down") as caught:
        rewrite(Broken(), ORDERS, {"tenant": 1}, dialect="postgres")
    assert not isinstance(caught.value, PellquistError)


def test_a_key_error_that_is_not_a_missing_param_passes_unchanged():
    class Orders:
        pub_name, name, columns = "sales.orders", "ord_t", {"o_id": Column("id")}

        @property
        def filters(self):
            raise KeyError("tenant")  # named like a param that is there

    catalogue = type("C", (), {"tables": {"orders": Orders()}, "dialect": "postgres"})()
    with pytest.raises(KeyError) as caught:
        rewrite(catalogue, ORDERS, {"tenant": 1})
    assert not isinstance(caught.value, PellquistError)


def test_exports():
    names = ("PellquistError", "Refused", "UnknownTable", "BadCatalogue", "MissingParam",
             "UnsafeParam", "SqlSyntaxError", "SqlTokenError", "UnknownDialect",
             "LimitExceeded", "RawSql", "SqlString", "rewrite")
    assert set(names) <= set(pellquist.__all__)
    assert issubclass(pellquist.SqlSyntaxError, ParseError)
    assert issubclass(pellquist.SqlSyntaxError, ValueError)


def test_import_does_not_load_the_core():
    code = textwrap.dedent("""
        import sys, pellquist
        pellquist.rewrite, pellquist.PellquistError, pellquist.RawSql
        assert "pellquist.quist" not in sys.modules, sorted(sys.modules)
        from pellquist import *
        assert "pellquist.quist" in sys.modules  # Session is in __all__
    """)
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


# ---- threads ----------------------------------------------------------------------------

def test_threads_keep_their_own_tenant():
    catalogue = Catalogue([Table("sales.orders", "ord_t", {"o_id": "id"},
                                 "tenant_id = {tenant} AND region = {region}")],
                          dialect="postgres")
    sql = "SELECT id FROM sales.orders"
    threads_count, calls = 8, 300
    failures: list[str] = []
    barrier = threading.Barrier(threads_count)

    def work(number: int) -> None:
        tenant = 1000 + number
        params = {"tenant": tenant, "region": SqlString(f"r{number}")}
        barrier.wait()
        for _ in range(calls):
            native = rewrite(catalogue, sql, params)
            tenants = re.findall(r'"tenant_id" = (\d+)', native)
            regions = re.findall(r"\"region\" = '(r\d+)'", native)
            if tenants != [str(tenant)] or regions != [f"r{number}"]:
                failures.append(f"thread {number}: {native}")
                return

    threads = [threading.Thread(target=work, args=(n,)) for n in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures[:3]


def test_sqlglot_warnings_do_not_reach_stderr_unasked():
    # A part SQLite cannot write makes sqlglot log a warning; the rewrite
    # refuses it, and an application that set up no logging sees nothing.
    code = ("import pellquist\n"
            "from pellquist import Catalogue, Table\n"
            "cat = Catalogue({'o': Table(pub_name='orders', name='t', columns={'id': 'id'}, "
            "filters='tenant = {tenant}')})\n"
            "try:\n"
            "    pellquist.rewrite(cat, 'SELECT * FROM orders AS o(a)', {'tenant': 1}, "
            "dialect='sqlite')\n"
            "except pellquist.PellquistError as e:\n"
            "    print(type(e).__name__)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "Refused\n", "")


@pytest.mark.parametrize("sql, suggestions", [
    ("SELECT id FROM sales.order", ("sales.orders",)),
    ("SELECT id FROM inventory", ()),
])
def test_an_unknown_table_names_the_closest_published_ones(sql, suggestions):
    with pytest.raises(UnknownTable) as caught:
        rewrite(CATALOGUE, sql, {"tenant": 1})
    assert caught.value.suggestions == suggestions
    assert str(caught.value).endswith(
        "; did you mean 'sales.orders'?" if suggestions else repr(caught.value.args[0]))
