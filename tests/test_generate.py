"""Session.generateNativeSQL and the per-reference rewrite done by its transformer."""

import builtins
import traceback
import types

import pytest
import sqlglot
from sqlglot import exp
from sqlglot.errors import ParseError

import pellquist.quist as q
from pellquist.models import Catalogue, Column, Table, TableNotFound

GEN = "pellquist.quist.Session.generateNativeSQL"
TRANS = GEN + ".transformer"
ONLY_SELECT = "As of now, only select statements are supported."
DML_DDL = "The SQL contains either DML or DDL"

ORDERS = Table("Sales.Orders", "ord_t", {"o_id": Column("id"), "o_amt": Column("amount")},
               "  WHERE tenant = {tenant} ")
# The filter's columns are the internal table's, and under a models Catalogue
# OFFSET 0 keeps the filter below every expression of the query.
SUB = ('SELECT "o_id" AS "id", "o_amt" AS "amount" FROM "ord_t" AS "_internal" '
       'WHERE "_internal"."tenant" = 7 OFFSET 0')
WORKED = f'SELECT "id" FROM ({SUB}) AS "Sales_Orders"'
# The same internal table published unqualified, for the WITH cases.
PLAIN = Table("orders", "ord_t", {"o_id": Column("id")}, "tenant = {tenant}")
PLAIN_SUB = ('(SELECT "o_id" AS "id" FROM "ord_t" AS "_internal" WHERE "_internal"."tenant" = 7 '
             'OFFSET 0) AS "orders"')


def session(*tables, params=None):
    if params is None:
        params = {"tenant": 7}
    return q.Session(Catalogue(dict(enumerate(tables))), params)


def raw_session(tables, params=None):
    """A session over plain objects: the core reads attributes only."""
    return q.Session(types.SimpleNamespace(tables=tables), params)


def fake_table(pub="t", name="t_int", columns=None, filters=None):
    return types.SimpleNamespace(pub_name=pub, name=name, filters=filters,
                                 columns={} if columns is None else columns)


class ItemsOnly:
    """A mapping-like object that offers nothing but items()."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return list(self._items)


class Unreadable:
    def __getattribute__(self, name):
        raise AssertionError(f"catalogue read: {name}")


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "src/pellquist/quist"]


def spy(calls, target):
    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return target(*args, **kwargs)
    return record


# ---- refusals ---------------------------------------------------------------

NON_SELECT = [
    "INSERT INTO t VALUES (1)", "UPDATE t SET a = 1", "DELETE FROM t",
    "CREATE TABLE t (a INT)", "DROP TABLE t", "TRUNCATE TABLE t", "COMMIT",
    "SELECT 1 UNION SELECT 2", "VALUES (1)", "(SELECT 1)",
]
BLOCKED = [
    ("WITH x AS (DELETE FROM t RETURNING *) SELECT * FROM x", "postgres"),
    ("WITH x AS (INSERT INTO t VALUES (1) RETURNING *) SELECT * FROM x", "postgres"),
    ("WITH x AS (UPDATE t SET a = 1 RETURNING *) SELECT * FROM x", "postgres"),
    ("SELECT * INTO t FROM orders", None),
    ("WITH evil AS (SELECT 1) SELECT * INTO evil FROM orders", None),
]
BROKEN_DB = [Unreadable, lambda: types.SimpleNamespace(tables=None)]


@pytest.mark.parametrize("db", BROKEN_DB, ids=["unreadable", "tables-None"])
@pytest.mark.parametrize("sql, dialect, message",
                         [(s, None, ONLY_SELECT) for s in NON_SELECT]
                         + [(s, d, DML_DDL) for s, d in BLOCKED])
def test_refusal_comes_before_the_catalogue(db, sql, dialect, message):
    with pytest.raises(Exception) as info:
        q.Session(db(), None).generateNativeSQL(sql, dialect)
    assert type(info.value) is Exception
    assert info.value.args == (message, sql)


# ---- module names looked up at each use --------------------------------------

@pytest.mark.parametrize("dialect", [None, "", 0, False, "postgres", "mysql"])
def test_parse_one_calls(monkeypatch, dialect):
    """The statement, the row filter and the native SQL are all parsed by the
    module's parse_one, each in the call's dialect (a false one: the default)."""
    calls = []
    monkeypatch.setattr(q, "parse_one", spy(calls, sqlglot.parse_one))
    native = session(ORDERS).generateNativeSQL("SELECT id FROM sales.orders", dialect)
    in_dialect = {"dialect": dialect} if dialect else {}
    assert calls[0] == (("SELECT id FROM sales.orders",), in_dialect)
    assert (("tenant = 7",), {"read": dialect}) in calls
    # The native SQL is read back before it is returned.
    assert calls[-1] == ((native,), in_dialect)
    for _, kwargs in calls:
        assert kwargs.get("dialect", kwargs.get("read")) is dialect if kwargs else not dialect


OUTSIDE_QUOTES = ("The SQL holds text that would be written outside quotes: "
                  "'1 FROM ord_t; DROP TABLE users; SELECT 1'")
NO_READ_BACK = "The native SQL does not read back as the same statement"


@pytest.mark.parametrize("dialect, sql, message", [
    # Strings used as names are rendered unquoted by sqlglot: the native SQL
    # would read back as more statements, or not at all. They are refused
    # before anything is rendered.
    (None, "SELECT o.'1 FROM ord_t; DROP TABLE users; SELECT 1'(1) FROM sales.orders AS o",
     OUTSIDE_QUOTES),
    (None, 'SELECT CAST(id AS "1 FROM ord_t; DROP TABLE users; SELECT 1") FROM sales.orders',
     OUTSIDE_QUOTES),
    # MySQL has no FULL JOIN: it is rendered as a UNION, another statement.
    ("mysql", "SELECT * FROM sales.orders AS a FULL OUTER JOIN sales.orders AS b ON a.id = b.id",
     NO_READ_BACK),
])
def test_native_sql_must_read_back_as_the_same_statement(dialect, sql, message):
    with pytest.raises(Exception) as info:
        session(ORDERS).generateNativeSQL(sql, dialect)
    assert type(info.value) is Exception
    assert info.value.args == (message, sql)


@pytest.mark.parametrize("dialect", [None, "", "mysql"])
def test_rendering_always_gets_the_dialect(monkeypatch, dialect):
    calls = []
    original = exp.Expression.sql

    def render(self, *args, **kwargs):
        calls.append((args, kwargs))
        return original(self, *args, **kwargs)

    monkeypatch.setattr(exp.Expression, "sql", render)
    out = session(ORDERS).generateNativeSQL("SELECT id FROM sales.orders", dialect)
    assert calls[0] == ((), {"dialect": dialect, "identify": True})
    assert calls[0][1]["dialect"] is dialect
    # MySQL's OFFSET needs a LIMIT: the fence takes the largest it allows.
    mysql = WORKED.replace('"', "`").replace(" OFFSET 0", " LIMIT 18446744073709551615 OFFSET 0")
    assert out == (mysql if dialect == "mysql" else WORKED)


def test_parse_one_is_read_at_each_call(monkeypatch):
    s = session(ORDERS)
    assert s.generateNativeSQL("SELECT id FROM sales.orders") == WORKED
    monkeypatch.setattr(q, "parse_one", lambda *a, **k: sqlglot.parse_one("DELETE FROM t"))
    with pytest.raises(Exception) as info:
        s.generateNativeSQL("SELECT id FROM sales.orders")
    assert info.value.args == (ONLY_SELECT, "SELECT id FROM sales.orders")


@pytest.mark.parametrize("name, sql", [
    ("parse_one", "SELECT 1"),
    ("exp", "SELECT 1"),
    ("TableNotFound", "SELECT * FROM nowhere"),
])
def test_missing_module_name(monkeypatch, name, sql):
    monkeypatch.delattr(q, name)
    monkeypatch.delattr(builtins, name, raising=False)
    with pytest.raises(NameError) as info:
        session(ORDERS).generateNativeSQL(sql)
    assert str(info.value) == f"name '{name}' is not defined"


@pytest.mark.parametrize("name, value", [("parse_one", sqlglot.parse_one), ("exp", exp)])
def test_module_name_found_in_builtins(monkeypatch, name, value):
    monkeypatch.delattr(q, name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    assert session(ORDERS).generateNativeSQL("SELECT id FROM sales.orders") == WORKED


@pytest.mark.parametrize("in_builtins", [False, True])
def test_table_not_found_replacement_is_raised(monkeypatch, in_builtins):
    class Missing(Exception):
        pass

    if in_builtins:
        monkeypatch.delattr(q, "TableNotFound")
        monkeypatch.setattr(builtins, "TableNotFound", Missing, raising=False)
    else:
        monkeypatch.setattr(q, "TableNotFound", Missing)
    with pytest.raises(Missing) as info:
        session(ORDERS).generateNativeSQL("SELECT * FROM nowhere")
    assert type(info.value) is Missing
    assert info.value.args == ("nowhere", "No such table found.")


# ---- the rewrite --------------------------------------------------------------

@pytest.mark.parametrize("sql, expected", [
    ("SELECT id FROM sales.orders", WORKED),
    ("SELECT id FROM Sales.Orders", WORKED),
    ("SELECT id FROM SALES.orders", WORKED),
    ("SELECT id FROM sales.orders AS o", f'SELECT "id" FROM ({SUB}) AS "o"'),
    ("SELECT * FROM sales.orders, SALES.ORDERS",
     f'SELECT * FROM ({SUB}) AS "Sales_Orders", ({SUB}) AS "Sales_Orders"'),
])
def test_rewrite(sql, expected):
    assert session(ORDERS).generateNativeSQL(sql) == expected


@pytest.mark.parametrize("tables, sql, key", [
    ((ORDERS,), "SELECT * FROM orders", "orders"),
    ((ORDERS,), "SELECT * FROM main.sales.orders", "main.sales.orders"),
    ((ORDERS,), "SELECT * FROM Main.Sales.Orders AS o", "main.sales.orders"),
    ((ORDERS,), "SELECT * FROM sales.orders JOIN Nope AS n ON TRUE", "nope"),
    ((), "SELECT * FROM sales.orders", "sales.orders"),
    # A qualified name never means a CTE.
    ((ORDERS,), "WITH ord_t AS (SELECT 1) SELECT * FROM public.ord_t", "public.ord_t"),
])
def test_table_not_found(tables, sql, key):
    with pytest.raises(TableNotFound) as info:
        session(*tables).generateNativeSQL(sql)
    assert type(info.value) is TableNotFound
    assert info.value.args == (key, "No such table found.")


def test_names_that_differ_only_in_case():
    first = Table("Sales.Orders", "old_t", {"a": Column("a")})
    second = Table("SALES.ORDERS", "new_t", {"a": Column("a")})
    # A models Catalogue refuses them: one would hide the other in every lookup.
    with pytest.raises(ValueError, match="'SALES.ORDERS' and 'Sales.Orders' are the same public"):
        session(first, second)
    # Any other catalogue object is read as it is: the later table wins.
    s = raw_session({0: fake_table("Sales.Orders", "old_t", {"a": Column("a")}),
                     1: fake_table("SALES.ORDERS", "new_t", {"a": Column("a")})})
    assert s.generateNativeSQL("SELECT * FROM sales.orders") == (
        'SELECT * FROM (SELECT "a" AS "a" FROM "new_t") AS "SALES_ORDERS"')


@pytest.mark.parametrize("columns, projection", [
    ({}, ""),
    ({"b": Column("y"), "a": Column("x")}, ' "b" AS "y", "a" AS "x"'),
    (ItemsOnly([("b", Column("y")), ("a", Column("x"))]), ' "b" AS "y", "a" AS "x"'),
])
@pytest.mark.parametrize("wrap_tables", [dict, lambda d: ItemsOnly(d.items())])
def test_projections_follow_the_mapping(columns, projection, wrap_tables):
    s = raw_session(wrap_tables({"k": fake_table(columns=columns)}))
    assert s.generateNativeSQL("SELECT * FROM t") == (
        f'SELECT * FROM (SELECT{projection} FROM "t_int") AS "t"')


BAD_ITEMS = [
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (("a",), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (None, TypeError, "'NoneType' object is not iterable"),
]


@pytest.mark.parametrize("item, error, message", BAD_ITEMS)
@pytest.mark.parametrize("where", ["tables", "columns"])
def test_bad_mapping_items(where, item, error, message):
    if where == "tables":
        s = raw_session(ItemsOnly([item]))
    else:
        s = raw_session({"k": fake_table(columns=ItemsOnly([("a", Column("a")), item]))})
    with pytest.raises(error) as info:
        s.generateNativeSQL("SELECT * FROM t")
    assert str(info.value) == message


def test_missing_mappings():
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        raw_session(None).generateNativeSQL("SELECT 1")
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        table = types.SimpleNamespace(pub_name="t", name="t_int", columns=None, filters=None)
        raw_session({"k": table}).generateNativeSQL("SELECT * FROM t")


@pytest.mark.parametrize("where", ["tables", "columns"])
def test_dict_changing_size_during_walk(where):
    grown = {}

    class Growing:
        @property
        def pub_name(self):
            grown[len(grown)] = self
            return "t"

    grown["k"] = Growing()
    s = raw_session(grown if where == "tables" else {"k": fake_table(columns=grown)})
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        s.generateNativeSQL("SELECT * FROM t")


# ---- row filters --------------------------------------------------------------

# The filter's bare columns are the internal table's; a catalogue that is not
# the models' has no fence unless it asks for one.
@pytest.mark.parametrize("filters, params, where", [
    ("  WHERE tenant = {tenant} ", {"tenant": 7}, ' WHERE "_internal"."tenant" = 7'),
    ("Where x = 1", {}, ' WHERE "_internal"."x" = 1'),
    ("x = 1", {}, ' WHERE "_internal"."x" = 1'),
    # "where" goes only as a whole word.
    ("whereabouts = 1", {}, ' WHERE "_internal"."whereabouts" = 1'),
    ("where_x = 1", {}, ' WHERE "_internal"."where_x" = 1'),
    ("WHERE tenant = 7", {}, ' WHERE "_internal"."tenant" = 7'),
    ("WHERE(x = 1)", {}, ' WHERE ("_internal"."x" = 1)'),
    ("where(x = 1)", {}, ' WHERE ("_internal"."x" = 1)'),
    # Params are SQL text: EU is a column here, and a column of the table.
    ("region = {r}", {"r": "EU"}, ' WHERE "_internal"."region" = "_internal"."EU"'),
    ("a = '{{x}}'", {}, " WHERE \"_internal\".\"a\" = '{x}'"),
    ("x = {v}", types.MappingProxyType({"v": 3}), ' WHERE "_internal"."x" = 3'),
    (None, None, ""),
    ("", None, ""),
])
def test_filter_forms(filters, params, where):
    s = raw_session({"k": fake_table(columns={"o_id": Column("id")}, filters=filters)}, params)
    # A filtered table is read under an alias the statement does not use.
    source = '"t_int" AS "_internal"' if where else '"t_int"'
    assert s.generateNativeSQL("SELECT id FROM t") == (
        f'SELECT "id" FROM (SELECT "o_id" AS "id" FROM {source}{where}) AS "t"')


@pytest.mark.parametrize("filters, params, error, message", [
    ("   ", {}, ParseError, None),
    ("where", {}, ParseError, None),
    ("{missing} = 1", {}, KeyError, "'missing'"),
    ("{0} = 1", {}, IndexError, None),
    ("x = 1", None, TypeError, "argument after ** must be a mapping, not NoneType"),
])
def test_filter_errors(filters, params, error, message):
    s = raw_session({"k": fake_table(filters=filters)}, params)
    with pytest.raises(error) as info:
        s.generateNativeSQL("SELECT * FROM t")
    if message is not None:
        assert str(info.value) == message


def test_params_are_read_at_each_use_and_never_changed():
    params = {"tenant": 7}
    s = session(ORDERS, params=params)
    assert s.generateNativeSQL("SELECT id FROM sales.orders") == WORKED
    params["tenant"] = 8
    assert '"tenant" = 8' in s.generateNativeSQL("SELECT id FROM sales.orders")
    s.params = {"tenant": 9}
    assert '"tenant" = 9' in s.generateNativeSQL("SELECT id FROM sales.orders")
    assert params == {"tenant": 8}


@pytest.mark.parametrize("value", [
    "7; DROP TABLE users",
    "7 UNION SELECT secret FROM creds",
    "7 EXCEPT SELECT 1",
    "7; SELECT 1",
])
def test_filter_must_be_one_condition(value):
    table = Table("Sales.Orders", "ord_t", {"o_id": Column("id")}, "tenant = {tenant}")
    with pytest.raises(ValueError) as info:
        session(table, params={"tenant": value}).generateNativeSQL("SELECT id FROM sales.orders")
    assert "'Sales.Orders'" in str(info.value)


# ---- references that must never reach an internal table unfiltered --------------

def test_cte_named_like_the_internal_table_is_refused():
    # A qualified name never means a CTE, so public.ord_t is rewritten; but
    # the FROM "ord_t" of its subquery would then read the CTE instead of the
    # internal table.
    table = Table("public.ord_t", "ord_t", {"o_id": Column("id")}, "tenant = {tenant}")
    sql = "WITH ord_t AS (SELECT 1) SELECT * FROM public.ord_t"
    with pytest.raises(Exception) as info:
        session(table).generateNativeSQL(sql)
    assert type(info.value) is Exception
    assert info.value.args == (NO_READ_BACK, sql)


@pytest.mark.parametrize("table, sql, expected", [
    (ORDERS, "WITH ord_t AS (SELECT 1) SELECT * FROM ord_t",
     'WITH "ord_t" AS (SELECT 1) SELECT * FROM "ord_t"'),
    (PLAIN, "WITH orders AS (SELECT * FROM orders) SELECT * FROM orders",
     f'WITH "orders" AS (SELECT * FROM {PLAIN_SUB}) SELECT * FROM "orders"'),
    (PLAIN, "WITH a AS (SELECT * FROM orders), orders AS (SELECT 1) SELECT * FROM a",
     f'WITH "a" AS (SELECT * FROM {PLAIN_SUB}), "orders" AS (SELECT 1) SELECT * FROM "a"'),
    (PLAIN, "WITH a AS (SELECT * FROM (SELECT * FROM orders) AS x), orders AS (SELECT 1) "
            "SELECT * FROM a",
     f'WITH "a" AS (SELECT * FROM (SELECT * FROM {PLAIN_SUB}) AS "x"), '
     '"orders" AS (SELECT 1) SELECT * FROM "a"'),
    (PLAIN, "WITH RECURSIVE orders AS (SELECT 1 AS n UNION ALL SELECT n + 1 FROM orders "
            "WHERE n < 3) SELECT * FROM orders",
     'WITH RECURSIVE "orders" AS (SELECT 1 AS "n" UNION ALL SELECT "n" + 1 FROM "orders" '
     'WHERE "n" < 3) SELECT * FROM "orders"'),
    (PLAIN, "WITH orders AS (SELECT 1 AS n), b AS (SELECT * FROM orders) SELECT * FROM b",
     'WITH "orders" AS (SELECT 1 AS "n"), "b" AS (SELECT * FROM "orders") SELECT * FROM "b"'),
    # Under RECURSIVE a CTE is itself only in its recursive term, the right
    # operand of the UNION that is its body; elsewhere engines read the table.
    (PLAIN, "WITH RECURSIVE orders AS (SELECT * FROM orders) SELECT * FROM orders",
     f'WITH RECURSIVE "orders" AS (SELECT * FROM {PLAIN_SUB}) SELECT * FROM "orders"'),
    (PLAIN, "WITH RECURSIVE orders AS (SELECT * FROM orders UNION ALL SELECT * FROM orders) "
            "SELECT 1",
     f'WITH RECURSIVE "orders" AS (SELECT * FROM {PLAIN_SUB} UNION ALL SELECT * FROM "orders")'
     ' SELECT 1'),
    (PLAIN, "WITH RECURSIVE orders AS (SELECT 1 AS n INTERSECT SELECT * FROM orders) SELECT 1",
     f'WITH RECURSIVE "orders" AS (SELECT 1 AS "n" INTERSECT SELECT * FROM {PLAIN_SUB}) '
     'SELECT 1'),
    (PLAIN, "WITH RECURSIVE orders AS (SELECT 1 AS n UNION ALL SELECT * FROM orders "
            "UNION ALL SELECT 2) SELECT 1",
     f'WITH RECURSIVE "orders" AS (SELECT 1 AS "n" UNION ALL SELECT * FROM {PLAIN_SUB} '
     'UNION ALL SELECT 2) SELECT 1'),
])
def test_cte_references(table, sql, expected):
    assert session(table).generateNativeSQL(sql) == expected


@pytest.mark.parametrize("sql", ["SELECT * FROM TABLE('ord_t')", "SELECT * FROM TABLE(ord_t)"])
def test_table_read_by_name_is_refused(sql):
    with pytest.raises(Exception) as info:
        session(ORDERS).generateNativeSQL(sql, "snowflake")
    assert type(info.value) is Exception
    # Snowflake folds the unquoted name to upper case.
    source = sql.split("FROM ")[1].replace("ord_t)", "ORD_T)")
    assert info.value.args == (
        f"The SQL reads rows from {source}, which the rewrite cannot check", sql)


# ---- traceback entries --------------------------------------------------------

@pytest.mark.parametrize("make, sql, dialect, error, expected", [
    (lambda: session(ORDERS), "SELECT * FROM nowhere", None, TableNotFound,
     [(GEN, 86), (TRANS, 56)]),
    (lambda: session(ORDERS), "DELETE FROM t", None, Exception, [(GEN, 20)]),
    (lambda: session(ORDERS), "SELECT * INTO t FROM x", None, Exception, [(GEN, 24)]),
    (lambda: session(ORDERS), "SELECT (", None, ParseError, [(GEN, 18)]),
    (lambda: session(ORDERS), "SELECT (", "postgres", ParseError, [(GEN, 16)]),
    (lambda: raw_session({"k": fake_table(filters="{nope}")}, {}), "SELECT * FROM t", None,
     KeyError, [(GEN, 86), (TRANS, 71)]),
    (lambda: raw_session({"k": fake_table(filters=" where ")}, {}), "SELECT * FROM t", None,
     ParseError, [(GEN, 86), (TRANS, 76)]),
    (lambda: raw_session(None), "SELECT 1", None, AttributeError, [(GEN, 35)]),
    (lambda: raw_session({"k": object()}), "SELECT 1", None, AttributeError, [(GEN, 36)]),
])
def test_traceback_entries(make, sql, dialect, error, expected):
    with pytest.raises(error) as info:
        make().generateNativeSQL(sql, dialect)
    assert entries(info.value) == expected


# ---- the transformer function object -------------------------------------------

@pytest.fixture
def transformer(monkeypatch):
    seen = []
    original = exp.Expression.transform

    def transform(self, fun, *args, **kwargs):
        seen.append(fun)
        return original(self, fun, *args, **kwargs)

    monkeypatch.setattr(exp.Expression, "transform", transform)
    session(ORDERS).generateNativeSQL("SELECT id FROM sales.orders")
    monkeypatch.undo()
    assert len(seen) == 1
    return seen[0]


def test_transformer_names(transformer):
    assert transformer.__name__ == "transformer"
    assert transformer.__qualname__ == "Session.generateNativeSQL.<locals>.transformer"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "transformer() takes exactly 1 positional argument (0 given)"),
    ((1, 2), {}, "transformer() takes exactly 1 positional argument (2 given)"),
    ((), {"x": 1}, "transformer() got an unexpected keyword argument 'x'"),
    ((1,), {"node": 1}, "transformer() got multiple values for keyword argument 'node'"),
])
def test_transformer_binding(transformer, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        transformer(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("node", [exp.column("a"), exp.Literal.number(1),
                                  sqlglot.parse_one("SELECT 1"), "text", None])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_transformer_returns_other_nodes_unchanged(transformer, node, by_keyword):
    assert (transformer(node=node) if by_keyword else transformer(node)) is node


def test_transformer_rewrites_a_table_node(transformer):
    result = transformer(exp.to_table("sales.orders"))
    assert type(result) is exp.Subquery
    assert result.sql(identify=True) == f'({SUB}) AS "Sales_Orders"'


# An unquoted name is folded as the engine folds it before the rewrite quotes
# it; a quoted one keeps its case.
@pytest.mark.parametrize("dialect, sql, selected", [
    ("postgres", "SELECT ID, Amount FROM sales.orders", '"id", "amount"'),
    ("postgres", 'SELECT "ID" FROM sales.orders', '"ID"'),
    ("snowflake", "SELECT id FROM sales.orders", '"ID"'),
    ("clickhouse", "SELECT Id FROM sales.orders", '"Id"'),
    ("duckdb", 'SELECT "ID" FROM sales.orders', '"id"'),
])
def test_unquoted_names_are_folded_as_the_engine_folds_them(dialect, sql, selected):
    out = session(ORDERS).generateNativeSQL(sql, dialect)
    assert out.startswith(f"SELECT {selected} FROM ("), out


# A param's text that puts a data-changing statement deep inside the filled
# filter is no condition, wherever in the filter it stands.
@pytest.mark.parametrize("dialect", ["postgres", None])
@pytest.mark.parametrize("param", [
    "7 AND o_id IN (WITH d AS (DELETE FROM users RETURNING id) SELECT id FROM d)",
    "7 AND EXISTS (WITH d AS (UPDATE users SET a = 1 RETURNING id) SELECT 1 FROM d)",
])
def test_a_filter_with_a_blocked_part_below_its_root_is_refused(dialect, param):
    with pytest.raises(ValueError, match="does not parse as a single condition"):
        session(ORDERS, params={"tenant": param}).generateNativeSQL(
            "SELECT id FROM sales.orders", dialect)
