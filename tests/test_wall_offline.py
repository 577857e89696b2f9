"""The wall's rules for ClickHouse and the Hive family (Spark, Databricks,
Hive), judged on the rewrite's answer alone.

test_wall.py proves these rules on the engines themselves; a run that leaves
ClickHouse and Spark out (``PELLQUIST_SKIP_HEAVY_ENGINES=1``, as ``make
sanitize`` and ``make test-3.13`` do) still holds each of them here: what is
refused, and the exact native SQL of what is accepted.
"""

import tomllib
import types
from pathlib import Path

import pytest
from sqlglot.dialects.dialect import Dialect, _Dialect

from pellquist.models import Catalogue, Column, Table, TableNotFound
from pellquist.quist import Session

ORDERS = Table("orders", "app_order", {"id": "id", "note": "note"}, "tenant_id = {tenant}")
DOTTED = Table("Sales.Orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")


def rewrite(sql, dialect):
    return Session(Catalogue([ORDERS, DOTTED]), {"tenant": 1}).generateNativeSQL(sql, dialect)


def refusal(sql, dialect):
    """The message of the wall's refusal of ``sql``."""
    with pytest.raises(Exception) as info:
        rewrite(sql, dialect)
    assert type(info.value) is Exception and info.value.args[1] == sql, info.value
    return info.value.args[0]


# ---- the Hive family's hidden columns ------------------------------------------------

# The columns Spark and Hive resolve through the subquery that replaces a
# table, down to the files behind the internal table: they tell of the rows
# the filter removed.  Written out here, so that a name the wall stops
# refusing fails.
HIDDEN = [
    "_metadata", "_file", "_pos", "_spec_id", "_partition", "_deleted", "_row_id",
    "_last_updated_sequence_number", "_change_type", "_commit_version", "_commit_timestamp",
    "input__file__name", "block__offset__inside__file", "row__offset__inside__block",
    "raw__data__size", "row__id",
]


@pytest.mark.parametrize("dialect", ["spark", "spark2", "databricks", "hive"])
@pytest.mark.parametrize("name", HIDDEN)
def test_hidden_columns_of_the_files_behind_a_table_are_refused(dialect, name):
    # Bare, qualified in another case (the engines ignore it), and as a
    # struct quoted in a condition.
    for sql in (f"SELECT {name} FROM orders", f"SELECT o.{name.upper()} FROM orders AS o",
                f"SELECT id FROM orders WHERE `{name}`.file_path IS NOT NULL"):
        assert refusal(sql, dialect) == (f"The SQL names {name!r}, a hidden column of the files "
                                         "behind a table, which the rewrite cannot filter")



@pytest.mark.parametrize("dialect", ["spark", "hive"])
def test_text_that_spells_a_hidden_column_is_only_text(dialect):
    for name in HIDDEN:
        assert f"'{name}'" in rewrite(f"SELECT id FROM orders WHERE note = '{name}'", dialect)

# ---- the fences ------------------------------------------------------------------------

# Each column is taken out of ClickHouse's shared LowCardinality dictionaries,
# read through the internal table's alias: the user's projection named "id"
# must not be what toTypeName reads.
UNSHARED = ('accurateCast("_internal"."{0}", replaceRegexpAll(toTypeName("_internal"."{0}"), '
            r"'(^|[(, ])LowCardinality\\((.*?)\\)', '\\1\\2')) AS " '"{0}"')


SPARK_FENCED = ("SELECT `note` AS `id` FROM (SELECT `id` AS `id`, `note` AS `note` FROM "
                "`app_order` AS `_internal` WHERE `_internal`.`tenant_id` = 1 AND "
                "SPARK_PARTITION_ID() >= 0) AS `o`{}")


@pytest.mark.parametrize("dialect, sql, native", [
    ("clickhouse", "SELECT note AS id FROM orders AS o",
     f'SELECT "note" AS "id" FROM (SELECT {UNSHARED.format("id")}, {UNSHARED.format("note")} '
     'FROM "app_order" AS "_internal" WHERE "_internal"."tenant_id" = 1 '
     'LIMIT 18446744073709551615 OFFSET 0 SETTINGS "use_query_condition_cache" = 0) AS "o"'),
    # Spark's planner is proven under the analysis: only what can fail
    # before the filter (a division) gets the fence there.
    ("spark", "SELECT note AS id FROM orders AS o",
     "SELECT `note` AS `id` FROM (SELECT `id` AS `id`, `note` AS `note` FROM `app_order` AS "
     "`_internal` WHERE `_internal`.`tenant_id` = 1) AS `o`"),
    ("spark", "SELECT note AS id FROM orders AS o WHERE 1 / id > 0",
     SPARK_FENCED.format(" WHERE 1 / `id` > 0")),
    *((spark, "SELECT note AS id FROM orders AS o", SPARK_FENCED.format(""))
      for spark in ("spark2", "databricks")),
])
def test_the_fence_of_engines_that_drop_offset_0(dialect, sql, native):
    # The default fences ClickHouse's filtered tables always, and those of
    # dialects built on Spark's, a plain read included: the analysis that
    # leaves a fence out is proven on other planners only.
    assert rewrite(sql, dialect) == native


def test_clickhouse_projections_read_through_the_table_unfenced_too():
    # Unfenced (fence=False, or a table without a filter) each projection
    # still names its table: ClickHouse's aliases shadow its columns.
    unfiltered = Table("everyone", "app_order", {"id": "note", "note": "id"})
    session = Session(Catalogue([ORDERS, unfiltered], fence=False), {"tenant": 1})
    native = session.generateNativeSQL("SELECT o.id, e.id FROM orders AS o, everyone AS e",
                                       "clickhouse")
    assert native == (
        'SELECT "o"."id", "e"."id" FROM (SELECT "_internal"."id" AS "id", "_internal"."note" AS '
        '"note" FROM "app_order" AS "_internal" WHERE "_internal"."tenant_id" = 1) AS "o" CROSS '
        'JOIN (SELECT "app_order"."id" AS "note", "app_order"."note" AS "id" FROM "app_order") '
        'AS "e"')


LATERAL = "SELECT o.id, x.n FROM orders AS o, LATERAL (SELECT COUNT(*) AS n FROM orders AS i " \
          "WHERE i.id = o.id{}) AS x"


@pytest.mark.parametrize("condition, fence, refused", [
    ("", "auto", False),
    (" AND 1 / i.id > 0", "auto", True),  # a division reaches the rows: fenced
    ("", True, True),
])
def test_spark_reads_a_lateral_table_only_without_its_fence(condition, fence, refused):
    # Spark runs no condition that is not deterministic, the fence, in a
    # LATERAL subquery against another source's rows.
    sql = LATERAL.format(condition)
    typed = Table("orders", "app_order", {"id": Column("id", "INTEGER"),
                                          "note": Column("note", "TEXT")}, "tenant_id = {tenant}")
    session = Session(Catalogue([typed], fence=fence), {"tenant": 1})
    if refused:
        with pytest.raises(Exception, match="reads the table orders AS i in a LATERAL subquery, "
                                            "which Spark refuses to run with the row filter's "
                                            "fence"):
            session.generateNativeSQL(sql, "spark")
    else:
        assert session.generateNativeSQL(sql, "spark") == (
            "SELECT `o`.`id`, `x`.`n` FROM (SELECT `id` AS `id`, `note` AS `note` FROM "
            "`app_order` AS `_internal` WHERE `_internal`.`tenant_id` = 1) AS `o` CROSS JOIN "
            "LATERAL (SELECT COUNT(*) AS `n` FROM (SELECT `id` AS `id`, `note` AS `note` FROM "
            "`app_order` AS `_internal` WHERE `_internal`.`tenant_id` = 1) AS `i` WHERE `i`.`id` "
            "= `o`.`id`) AS `x`")


def test_an_unknown_table_in_a_spark_lateral_subquery_is_reported_as_unknown():
    session = Session(Catalogue([ORDERS], fence=True), {"tenant": 1})
    with pytest.raises(TableNotFound, match="No such table found: 'nope'"):
        session.generateNativeSQL("SELECT 1 FROM orders o, LATERAL (SELECT 1 FROM nope) x",
                                  "spark")


def test_spark_reads_a_cte_in_a_lateral_subquery_whatever_the_fence():
    # A CTE of a published table's name is no table of the catalogue.
    sql = ("WITH orders AS (SELECT 1 AS id) SELECT x.id FROM reps AS r, "
           "LATERAL (SELECT id FROM orders) AS x")
    reps = Table("reps", "app_rep", {"id": "id"}, "tenant_id = {tenant}")
    session = Session(Catalogue([ORDERS, reps], fence=True), {"tenant": 1})
    assert session.generateNativeSQL(sql, "spark") == (
        "WITH `orders` AS (SELECT 1 AS `id`) SELECT `x`.`id` FROM (SELECT `id` AS `id` FROM "
        "`app_rep` AS `_internal` WHERE `_internal`.`tenant_id` = 1 AND SPARK_PARTITION_ID() >= 0)"
        " AS `r` CROSS JOIN LATERAL (SELECT `id` FROM `orders`) AS `x`")


# ---- ClickHouse's readings --------------------------------------------------------------

@pytest.mark.parametrize("dialect", ["clickhouse", None])
@pytest.mark.parametrize("depth", [1, 2, 3, 4])
@pytest.mark.parametrize("name", ["app_order", "sales.orders"])
def test_a_membership_list_of_one_name_is_refused_in_any_parentheses(dialect, depth, name):
    # ClickHouse reads x IN (((name))) as membership in the table of that
    # name; the default dialect's SQL may run on ClickHouse.
    sql = f"SELECT id FROM orders WHERE id IN {'(' * depth}{name}{')' * depth}"
    assert refusal(sql, dialect) == (f"The SQL tests membership in ({name}), which ClickHouse "
                                     "reads as the rows of a table of that name; write the "
                                     "comparison with =")


@pytest.mark.parametrize("sql", ["SELECT a FROM orders AS o(a, b)",
                                 "SELECT * FROM sales.orders AS s(x)"])
def test_clickhouse_refuses_a_column_alias_list_on_a_table(sql):
    # ClickHouse ignores the list on a table and applies it on the subquery
    # that replaces it: the query would read other columns than it names.
    table = sql.split(" FROM ")[1]
    assert refusal(sql, "clickhouse") == (
        f"The table reference {table} has a column alias list, which ClickHouse ignores on a "
        "table and applies on the subquery that replaces it")


def unfenced(sql, dialect="clickhouse"):
    return Session(Catalogue([ORDERS], fence=False), {"tenant": 1}).generateNativeSQL(sql, dialect)


# What sqlglot would write back as ClickHouse does not read it, written in a
# form it reads the same way; test_wall.py runs each on ClickHouse.
ORDERS_SUBQUERY = ('(SELECT "_internal"."id" AS "id", "_internal"."note" AS "note" FROM '
                   '"app_order" AS "_internal" WHERE "_internal"."tenant_id" = 1) AS "orders"')


@pytest.mark.parametrize("sql, native", [
    ("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) AS v(x, y)",
     """SELECT * FROM (SELECT 1 AS "x", 'a' AS "y" UNION ALL SELECT 2, 'b') AS "v\""""),
    ("SELECT c1 FROM (VALUES ((1, 2)), (3)) AS v",
     """SELECT "c1" FROM (SELECT (1, 2) AS "c1" UNION ALL SELECT 3) AS "v\""""),
    ("WITH t(x) AS (VALUES (1), (2)) SELECT x FROM t",
     'WITH "t"("x") AS (SELECT * FROM (SELECT 1 AS "c1" UNION ALL SELECT 2) AS "_values") '
     'SELECT "x" FROM "t"'),
    ("SELECT (VALUES (7))", 'SELECT (SELECT 7 AS "c1")'),
    ("SELECT c1 FROM (VALUES (1), (2))", 'SELECT "c1" FROM (SELECT 1 AS "c1" UNION ALL SELECT 2)'),
    ("SELECT id FROM orders WHERE note IN (VALUES ('a'), ('b'))",
     f"""SELECT "id" FROM {ORDERS_SUBQUERY} WHERE "note" IN (SELECT 'a' AS "c1" UNION ALL """
     "SELECT 'b')"),
    ("SELECT id FROM orders WHERE id = ANY (SELECT 1) AND (SELECT 2) <> ANY (SELECT id)",
     f'SELECT "id" FROM {ORDERS_SUBQUERY} WHERE "id" IN (SELECT 1) AND NOT ((SELECT 2) IN '
     '(SELECT "id"))'),
    ("SELECT id FROM orders WHERE ANY (SELECT 1) = id",
     f'SELECT "id" FROM {ORDERS_SUBQUERY} WHERE "id" IN (SELECT 1)'),
    ("SELECT id FROM orders WHERE id > ANY (SELECT 1) AND id = ALL (SELECT 1)",
     f'SELECT "id" FROM {ORDERS_SUBQUERY} WHERE "id" > ANY(SELECT 1) AND "id" = ALL (SELECT 1)'),
    ("SELECT id FROM orders PREWHERE id > 1 WHERE note = 'a' OR note = 'b'",
     f"""SELECT "id" FROM {ORDERS_SUBQUERY} WHERE ("id" > 1) AND ("note" = 'a' OR "note" = 'b')"""),
    ("SELECT id FROM orders PREWHERE id > 1",
     f'SELECT "id" FROM {ORDERS_SUBQUERY} WHERE ("id" > 1)'),
])
def test_clickhouse_forms_sqlglot_cannot_write_are_rewritten(sql, native):
    assert unfenced(sql) == native


@pytest.mark.parametrize("sql", [
    # One row in a table's place may be ClickHouse's VALUES table function,
    # whose first string is the columns' structure.
    "SELECT * FROM VALUES('x String', 'a')",
    "SELECT * FROM (VALUES ('x String', 'a')) AS v",
    "SELECT * FROM (VALUES (1, 2), (3, 4)) AS v(x)",
])
def test_clickhouse_values_it_cannot_tell_apart_are_refused(sql):
    assert refusal(sql, "clickhouse") == (
        "The SQL lists rows with VALUES in a form the rewrite cannot write as ClickHouse reads "
        "it; select them with SELECT ... UNION ALL")


# ---- calls that name another function, types given as text, table parts --------------

# One corpus a file: each case's exact refusal, or exact native SQL.
CASES = [dict(case, corpus=path.stem)
         for path in sorted((Path(__file__).parent / "data" / "offline").glob("*.toml"))
         for case in tomllib.loads(path.read_text())["case"]]


@pytest.mark.parametrize("case", CASES, ids=[f"{c['corpus']}-{c['shape']}" for c in CASES])
def test_the_offline_corpora(case):
    catalogues = [Catalogue([ORDERS], allowed_functions=case.get("allowed", ()),
                            fence=case.get("fence", "auto"))]
    if case.get("floor"):
        # A catalogue without an allow-list has the floor alone.
        catalogues.append(types.SimpleNamespace(tables={"o": ORDERS}))
    for catalogue in catalogues:
        session = Session(catalogue, {"tenant": 1})
        if "native" in case:
            assert session.generateNativeSQL(case["sql"], case.get("dialect")) == case["native"]
        else:
            with pytest.raises(Exception) as info:
                session.generateNativeSQL(case["sql"], case.get("dialect"))
            assert type(info.value) is Exception
            assert info.value.args == (case["refused"], case["sql"])


# ---- a dialect object that cannot be hashed ------------------------------------------

@pytest.fixture
def own_dialect(monkeypatch):
    """An instance of a subclass of the named dialect's class that defines
    __eq__, as a user's own dialect may: Python then leaves it unhashable,
    so the wall cannot key its per-dialect answers by it.  sqlglot registers
    each dialect class by name: the registry is put back afterwards."""
    monkeypatch.setattr(_Dialect, "_classes", dict(_Dialect._classes))

    def make(name):
        base = type(Dialect.get_or_raise(name))
        return type(f"Own{base.__name__}", (base,), {"__eq__": lambda a, b: a is b})()
    return make


# Each of these fences every filtered table, a subclass's too (the analysis
# that leaves a fence out holds for the named engines only).
@pytest.mark.parametrize("dialect", ["clickhouse", "spark2", "mysql"])
def test_a_dialect_object_that_cannot_be_hashed_is_read_as_its_class(own_dialect, dialect):
    own = own_dialect(dialect)
    with pytest.raises(TypeError):
        hash(own)
    sql = "SELECT note AS id FROM orders AS o"
    assert rewrite(sql, own) == rewrite(sql, dialect)
    # Unfenced, ClickHouse's projections still name their table.
    unfenced = Session(Catalogue([ORDERS], fence=False), {"tenant": 1})
    assert unfenced.generateNativeSQL(sql, own) == unfenced.generateNativeSQL(sql, dialect)
    for sql, refused_on in [("SELECT _metadata FROM orders", ("spark2",)),
                            ("SELECT a FROM orders AS o(a, b)", ("clickhouse",))]:
        if dialect in refused_on:
            assert refusal(sql, own) == refusal(sql, dialect)
        else:
            assert rewrite(sql, own) == rewrite(sql, dialect)
