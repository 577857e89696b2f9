"""How the wall reads the names a column is qualified by, whole rows, columns
a table does not publish, names of the session and the parts of a table
reference: the exact native SQL of what it accepts and the message of what
it refuses, judged on the rewrite's answer alone (no engine runs here).
"""

import pytest

from pellquist.models import Catalogue, Table
from pellquist.quist import Session

TABLES = [
    Table("bi.customers", "app_cust", {"id": "id", "name": "name"}),
    Table("other.customers", "app_c2", {"id": "id"}),
    Table("c.s.t", "app_t", {"id": "id"}),
    Table("orders", "app_order", {"id": "id", "note": "note"}),
    Table("reps", "app_rep", {"id": "id", "r": "r", "user": "user"}),
]


def rewrite(sql, dialect, tables=TABLES):
    return Session(Catalogue(tables, fence=False), {"tenant": 1}).generateNativeSQL(sql, dialect)


def refusal(sql, dialect, tables=TABLES):
    """The message of the wall's refusal of ``sql``."""
    with pytest.raises(Exception) as info:
        rewrite(sql, dialect, tables)
    assert type(info.value) is Exception and info.value.args[1] == sql, info.value
    return info.value.args[0]


CUST = '(SELECT "id" AS "id", "name" AS "name" FROM "app_cust") AS "bi_customers"'
OTHER = '(SELECT "id" AS "id" FROM "app_c2") AS "other_customers"'
ORDERS = '(SELECT "id" AS "id", "note" AS "note" FROM "app_order") AS "{}"'
REPS = '(SELECT "id" AS "id", "r" AS "r", "user" AS "user" FROM "app_rep") AS "{}"'
CH_ORDERS = ('(SELECT "app_order"."id" AS "id", "app_order"."note" AS "note" FROM "app_order") '
             'AS "{}"')


# ---- a column qualified by the last part of a table's name ----------------------------

@pytest.mark.parametrize("dialect", [None, "postgres", "duckdb", "sqlite"])
@pytest.mark.parametrize("sql, native", [
    # The engines bind customers.name to bi.customers written without an
    # alias; a bare column before it changes nothing.
    ("SELECT id, customers.name FROM bi.customers",
     f'SELECT "id", "bi_customers"."name" FROM {CUST}'),
    # Catalog and schema both follow the table.
    ("SELECT t.id FROM c.s.t",
     'SELECT "c_s_t"."id" FROM (SELECT "id" AS "id" FROM "app_t") AS "c_s_t"'),
    # The nearest scope that has the name wins.
    ("SELECT (SELECT customers.id FROM other.customers) FROM bi.customers",
     f'SELECT (SELECT "other_customers"."id" FROM {OTHER}) FROM {CUST}'),
    # Written with its schema, a column names its table already.
    ("SELECT other.customers.id FROM bi.customers, other.customers",
     f'SELECT "other_customers"."id" FROM {CUST}, {OTHER}'),
    # A CTE, a derived table's alias of that name is the source meant; a
    # table with an alias of its own no longer answers to its name.
    ("WITH customers AS (SELECT 1 AS name) SELECT customers.name FROM customers, bi.customers",
     'WITH "customers" AS (SELECT 1 AS "name") SELECT "customers"."name" FROM "customers", '
     + CUST),
    ("SELECT customers.name FROM bi.customers, (SELECT 'x' AS name) AS customers",
     f"""SELECT "customers"."name" FROM {CUST}, (SELECT 'x' AS "name") AS "customers\""""),
    ("SELECT customers.name, t.id FROM bi.customers AS c, c.s.t",
     'SELECT "customers"."name", "c_s_t"."id" FROM (SELECT "id" AS "id", "name" AS "name" FROM '
     '"app_cust") AS "c", (SELECT "id" AS "id" FROM "app_t") AS "c_s_t"'),
])
def test_a_column_qualified_by_a_dotted_tables_last_name_follows_that_table(dialect, sql, native):
    if dialect == "sqlite":
        native = native.replace(", (", " CROSS JOIN (")  # SQLite's writer spells the comma out
    assert rewrite(sql, dialect) == native


def test_a_lateral_view_of_that_name_is_the_source_meant():
    # Spark's LATERAL VIEW gives a source of its own, nearer than the table.
    sql = "SELECT customers.c FROM bi.customers LATERAL VIEW explode(array(1)) customers AS c"
    assert rewrite(sql, "spark") == (
        "SELECT `customers`.`c` FROM (SELECT `id` AS `id`, `name` AS `name` FROM `app_cust`) AS "
        "`bi_customers` LATERAL VIEW EXPLODE(ARRAY(1)) customers AS `c`")


@pytest.mark.parametrize("dialect, sql, column, qualifier", [
    (None, "SELECT customers.name FROM bi.customers, other.customers", "name", "customers"),
    ("clickhouse", "SELECT orders.id FROM orders AS o, orders AS p", "id", "orders"),
])
def test_a_qualifier_that_ends_two_tables_names_is_refused(dialect, sql, column, qualifier):
    assert refusal(sql, dialect) == (
        f"The SQL qualifies the column {column!r} by {qualifier!r}, which ends the names of more "
        "than one table there: give each an alias")


@pytest.mark.parametrize("sql, native", [
    ("SELECT orders.id FROM orders AS o", f'SELECT "o"."id" FROM {CH_ORDERS.format("o")}'),
    # In any case of the name, the alias as it is written.
    ("SELECT ORDERS.id FROM orders AS O", f'SELECT "O"."id" FROM {CH_ORDERS.format("O")}'),
    ("SELECT orders.id, (SELECT orders.id FROM orders AS i) FROM orders AS o",
     f'SELECT "o"."id", (SELECT "i"."id" FROM {CH_ORDERS.format("i")}) FROM '
     + CH_ORDERS.format("o")),
])
def test_clickhouse_reads_a_tables_own_name_past_its_alias(sql, native):
    assert rewrite(sql, "clickhouse") == native


# ---- PostgreSQL's whole rows ----------------------------------------------------------

@pytest.mark.parametrize("sql", [
    "SELECT o FROM orders o",
    "SELECT id, o FROM orders o",
    # Met after a column that is no output of a select.
    "SELECT id > 0 AS b, (SELECT o) FROM orders o",
    # r is a column of reps: only o is a row.
    "SELECT r, o FROM reps r, orders o",
    "SELECT o FROM orders o JOIN reps r ON true",
    "SELECT O FROM orders AS o",
    # The nearest select has neither a column nor a row of that name.
    "SELECT (SELECT o FROM reps x) FROM orders o",
])
def test_postgres_refuses_a_published_tables_whole_row(sql):
    assert refusal(sql, "postgres") == (
        "The SQL reads the whole row of 'orders' as o, which the rewrite would give as a "
        "record of another type; name the columns you need")


def test_a_whole_row_under_an_alias_two_tables_share_is_refused_without_naming_one():
    sql = "SELECT o FROM orders o WHERE EXISTS (SELECT 1 FROM reps o)"
    assert refusal(sql, "postgres") == (
        "The SQL reads the whole row of a published table as o, which the rewrite would give "
        "as a record of another type; name the columns you need")


@pytest.mark.parametrize("sql, native", [
    # reps publishes a column r.
    ("SELECT r FROM reps r", f'SELECT "r" FROM {REPS.format("r")}'),
    ("SELECT (SELECT r FROM reps x) AS y FROM orders r",
     f'SELECT (SELECT "r" FROM {REPS.format("x")}) AS "y" FROM {ORDERS.format("r")}'),
    # An output name of the select.
    ("SELECT 1 AS o, o FROM orders o", f'SELECT 1 AS "o", "o" FROM {ORDERS.format("o")}'),
    ("SELECT (SELECT 1 AS o, o) AS x FROM orders o",
     f'SELECT (SELECT 1 AS "o", "o") AS "x" FROM {ORDERS.format("o")}'),
    # Sources whose columns the rewrite does not know may have an o.
    ("SELECT o FROM orders o, (SELECT 1 AS z) AS d",
     f'SELECT "o" FROM {ORDERS.format("o")}, (SELECT 1 AS "z") AS "d"'),
    ("SELECT o FROM orders o, LATERAL (SELECT 1 AS z) AS d",
     f'SELECT "o" FROM {ORDERS.format("o")}, LATERAL (SELECT 1 AS "z") AS "d"'),
    ("WITH w AS (SELECT 1 AS o) SELECT o FROM w, orders o",
     f'WITH "w" AS (SELECT 1 AS "o") SELECT "o" FROM "w", {ORDERS.format("o")}'),
    ("SELECT (SELECT o FROM (SELECT 1 AS o) AS d) FROM orders o",
     f'SELECT (SELECT "o" FROM (SELECT 1 AS "o") AS "d") FROM {ORDERS.format("o")}'),
    ("SELECT (SELECT o FROM unnest(ARRAY[1]) AS o) FROM orders o",
     f'SELECT (SELECT "o" FROM UNNEST(ARRAY[1]) AS "o") FROM {ORDERS.format("o")}'),
    # A CTE read as o in the nearer select gives its own row.
    ("WITH w AS (SELECT 1 AS z) SELECT (SELECT o FROM w AS o) FROM orders o",
     f'WITH "w" AS (SELECT 1 AS "z") SELECT (SELECT "o" FROM "w" AS "o") FROM '
     + ORDERS.format("o")),
    # o is the alias of a table in another subquery only: the engine binds it.
    ("SELECT (SELECT id FROM orders o) AS a, o FROM reps r",
     f'SELECT (SELECT "id" FROM {ORDERS.format("o")}) AS "a", "o" FROM {REPS.format("r")}'),
    # A qualified column is no row, whatever its name.
    ("SELECT (SELECT x.note FROM reps note) FROM orders x",
     f'SELECT (SELECT "x"."note" FROM {REPS.format("note")}) FROM {ORDERS.format("x")}'),
])
def test_postgres_takes_a_name_that_may_be_a_column_for_one(sql, native):
    assert rewrite(sql, "postgres") == native


# ---- columns a table does not publish -------------------------------------------------

@pytest.mark.parametrize("sql, message", [
    ("SELECT o.nope FROM orders o",
     "The SQL names the column 'nope' of 'orders' (o), which the table does not publish; did "
     "you mean 'note'?"),
    ("SELECT O.Ide FROM orders o",
     "The SQL names the column 'ide' of 'orders' (o), which the table does not publish; did "
     "you mean 'id'?"),
    ("SELECT o.pg_typeof FROM orders o",
     "The SQL names the column 'pg_typeof' of 'orders' (o), which the table does not publish"),
    ("SELECT (o).pg_typeof FROM orders o",
     "The SQL names the column 'pg_typeof' of 'orders' (o), which the table does not publish"),
    # Every column is judged, not only the first.
    ("SELECT o.id, o.nope FROM orders o",
     "The SQL names the column 'nope' of 'orders' (o), which the table does not publish; did "
     "you mean 'note'?"),
    # The table by its whole public name.
    ("SELECT c.nam FROM bi.customers c",
     "The SQL names the column 'nam' of 'bi.customers' (c), which the table does not "
     "publish; did you mean 'name'?"),
    # A table that publishes no column has none to name.
    ("SELECT e.a FROM empty e",
     "The SQL names the column 'a' of 'empty' (e), which the table does not publish"),
    # At most three names.
    ("SELECT n.note FROM notes n",
     "The SQL names the column 'note' of 'notes' (n), which the table does not publish; did "
     "you mean 'note4' or 'note3' or 'note2'?"),
    # With more parts it is no column of o: a function of a row all the same.
    ("SELECT s.o.pg_x FROM orders o",
     "The SQL names the field 'pg_x' of a row, which PostgreSQL reads as a call of that "
     "function on the row"),
])
def test_a_column_the_table_does_not_publish_is_refused(sql, message):
    notes = Table("notes", "app_note", {c: c for c in ("note1", "note2", "note3", "note4")})
    empty = Table("empty", "app_empty", {})
    assert refusal(sql, "postgres", [*TABLES, notes, empty]) == message


@pytest.mark.parametrize("sql, native", [
    # Unqualified, or qualified by more than the alias: the engine binds it.
    ("SELECT pg_note FROM orders o", f'SELECT "pg_note" FROM {ORDERS.format("o")}'),
    ("SELECT s.o.nope FROM orders o", f'SELECT "s"."o"."nope" FROM {ORDERS.format("o")}'),
])
def test_a_column_not_qualified_by_the_alias_alone_is_left_to_the_engine(sql, native):
    assert rewrite(sql, "postgres") == native


def test_the_internal_tables_own_name_does_not_hide_an_unpublished_column():
    # The subquery reads its internal table as "_internal": the public name
    # still means one source of the statement.
    same = [Table("orders", "orders", {"id": "id"}, "tenant_id = {tenant}")]
    assert refusal("SELECT orders.idd FROM orders", "postgres", same) == (
        "The SQL names the column 'idd' of 'orders' (orders), which the table does not publish; "
        "did you mean 'id'?")


# ---- names of the session -------------------------------------------------------------

SESSION = ("The SQL names {!r}, which this engine reads as a function of the session unless a "
           "table in reach has that column; qualify it by a published table that has it")


@pytest.mark.parametrize("dialect, sql, name", [
    ("duckdb", "SELECT user FROM reps", "user"),
    ("duckdb", "SELECT current_schema FROM orders", "current_schema"),
    ("spark", "SELECT user FROM orders", "user"),
    # Qualified by no published table, or with its schema too.
    ("duckdb", "SELECT x.user FROM reps AS r", "user"),
    ("duckdb", "SELECT main.reps.user FROM reps", "user"),
    # The default dialect's SQL may run on DuckDB or Spark.
    (None, "SELECT current_role FROM orders", "current_role"),
    # A statement that writes every such name, in text too, is judged all the same.
    ("duckdb", "SELECT user FROM orders WHERE note IN ('current_user', 'session_user', "
     "'current_role', 'current_schema', 'current_catalog')", "user"),
])
def test_a_name_the_engine_binds_to_the_session_is_refused(dialect, sql, name):
    assert refusal(sql, dialect) == SESSION.format(name)


@pytest.mark.parametrize("dialect, sql, native", [
    ("duckdb", "SELECT r.user FROM reps AS r", f'SELECT "r"."user" FROM {REPS.format("r")}'),
    ("duckdb", "SELECT reps.user FROM reps", f'SELECT "reps"."user" FROM {REPS.format("reps")}'),
    # Names of tables and CTEs are no columns.
    ("duckdb", "SELECT id FROM reps AS current_role",
     f'SELECT "id" FROM {REPS.format("current_role")}'),
    ("duckdb", "WITH user AS (SELECT 1 AS x) SELECT x FROM user",
     'WITH "user" AS (SELECT 1 AS "x") SELECT "x" FROM "user"'),
    # Spark has no current_schema of the session; SQLite and MySQL none at all.
    ("spark", "SELECT current_schema FROM orders",
     "SELECT `current_schema` FROM (SELECT `id` AS `id`, `note` AS `note` FROM `app_order`) AS "
     "`orders`"),
    ("sqlite", "SELECT user FROM reps", f'SELECT "user" FROM {REPS.format("reps")}'),
    ("mysql", "SELECT user FROM reps",
     "SELECT `user` FROM (SELECT `id` AS `id`, `r` AS `r`, `user` AS `user` FROM `app_rep`) AS "
     "`reps`"),
])
def test_a_session_name_that_means_a_published_column_is_read(dialect, sql, native):
    assert rewrite(sql, dialect) == native


# ---- parts of a table reference -------------------------------------------------------

@pytest.mark.parametrize("dialect, sql, message", [
    ("postgres", "SELECT * FROM orders AS o TABLESAMPLE SYSTEM (10)",
     "The table reference orders AS o TABLESAMPLE SYSTEM (10 PERCENT) uses TABLESAMPLE, which "
     "the rewrite cannot carry over"),
    ("duckdb", "SELECT * FROM orders AT (VERSION => 1)",
     "The table reference orders AT (VERSION => 1) uses time travel (AT/BEFORE), which the "
     "rewrite cannot carry over"),
    ("duckdb", "SELECT * FROM generate_series(1, 3) AS g(x) PIVOT (sum(x) FOR x IN (1, 2))",
     "The SQL reads rows from GENERATE_SERIES(1, 3) AS g(x) PIVOT(SUM(x) FOR x IN (1, 2)) with "
     "pivots, which the rewrite cannot check"),
])
def test_a_table_part_the_rewrite_cannot_carry_is_named(dialect, sql, message):
    assert refusal(sql, dialect) == message


def test_each_table_of_a_parenthesized_join_is_replaced():
    sql = ("SELECT a.id FROM orders AS o JOIN (orders AS a JOIN reps AS b ON a.id = b.id) "
           "ON o.id = a.id")
    assert rewrite(sql, "postgres") == (
        f'SELECT "a"."id" FROM {ORDERS.format("o")} JOIN ({ORDERS.format("a")} JOIN '
        f'{REPS.format("b")} ON "a"."id" = "b"."id") ON "o"."id" = "a"."id"')


@pytest.mark.parametrize("sql, table", [
    # Parentheses round one table, an alias on them, or parentheses nested
    # deeper: no join the rewrite can carry.
    ("SELECT id FROM (orders)", "orders"),
    ("SELECT x.id FROM (orders AS x)", "orders AS x"),
    ("SELECT o.id FROM orders AS o JOIN (orders AS a JOIN reps AS b ON a.id = b.id) AS j ON true",
     "orders AS a JOIN reps AS b ON a.id = b.id"),
    ("SELECT o.id FROM orders AS o JOIN ((orders AS a JOIN reps AS b ON a.id = b.id)) ON true",
     "orders AS a JOIN reps AS b ON a.id = b.id"),
])
def test_parentheses_that_head_no_join_are_refused(sql, table):
    assert refusal(sql, "postgres") == (
        f"The SQL names the table {table} where the rewrite cannot replace it")
