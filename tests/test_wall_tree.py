"""The wall's tree helpers in C: the node list and the node-for-node comparison.

The comparison lets the read-back skip rendering the parse again, so it must
never call two trees the same when their renders could differ."""

import pytest
import sqlglot
from sqlglot import exp

from pellquist.wall.tree import same, walk

QUERIES = [
    "SELECT a, b FROM t WHERE a IN (1, 2, 3) ORDER BY b DESC NULLS FIRST",
    "WITH c AS (SELECT 1 AS x) SELECT x /* note */ FROM c JOIN d USING (x)",
    "SELECT CAST(x AS DECIMAL(10, 2)), EXTRACT(YEAR FROM d), SUBSTRING(s, 1, 2) FROM t",
    "SELECT COUNT(DISTINCT a) FILTER (WHERE b > 0) OVER (PARTITION BY c) FROM t",
]


@pytest.mark.parametrize("sql", QUERIES)
def test_nodes_come_in_the_order_of_walk(sql):
    tree = sqlglot.parse_one(sql)
    assert [id(n) for n in walk(tree)] == [id(n) for n in tree.walk()]


@pytest.mark.parametrize("dialect", [None, "postgres", "duckdb", "clickhouse"])
@pytest.mark.parametrize("sql", QUERIES)
def test_a_tree_is_the_same_as_its_render_read_back(sql, dialect):
    tree = sqlglot.parse_one(sql, dialect=dialect)
    back = sqlglot.parse_one(tree.sql(dialect=dialect, identify=True), dialect=dialect)
    assert same(tree, back)


def _pair(sql, change):
    tree = sqlglot.parse_one(sql)
    back = sqlglot.parse_one(tree.sql(identify=True))
    change(back)
    return tree, back


def _set_first(kind, key, value):
    return lambda back: back.find(kind).set(key, value)


@pytest.mark.parametrize("sql, change", [
    # another literal, another name
    ("SELECT 1 FROM t", _set_first(exp.Literal, "this", "2")),
    ("SELECT 'x' FROM t", _set_first(exp.Literal, "is_string", False)),
    ("SELECT a FROM t", _set_first(exp.Column, "table", exp.to_identifier("u"))),
    ("SELECT a FROM t", _set_first(exp.Identifier, "this", "b")),
    # an argument set on one side only
    ("SELECT a FROM t", _set_first(exp.Select, "distinct", exp.Distinct())),
    ("SELECT a FROM t ORDER BY a", _set_first(exp.Ordered, "desc", True)),
    # a node of another class, a list of another length
    ("SELECT a FROM t", lambda b: b.find(exp.Column).replace(exp.Star())),
    ("SELECT a, b FROM t", lambda b: b.set("expressions", b.expressions[:1])),
    # a comment moved or changed
    ("SELECT a /* x */ FROM t", lambda b: b.find(exp.Column).set("comments", [" y "])),
    ("SELECT a FROM t", lambda b: b.find(exp.Table).add_comments([" z "])),
    # meta the renderer may read; a type
    ("SELECT a FROM t", lambda b: b.find(exp.Column).meta.update(name="A")),
    ("SELECT a FROM t", lambda b: setattr(b.find(exp.Column), "type", "int")),
])
def test_any_difference_makes_trees_differ(sql, change):
    tree, back = _pair(sql, change)
    assert not same(tree, back)


def test_quotes_count_only_where_the_renderer_adds_them():
    # A bare identifier is quoted on render, except as a function's own argument.
    assert same(sqlglot.parse_one("SELECT a FROM t"), sqlglot.parse_one('SELECT "a" FROM "t"'))
    written = exp.Anonymous(this="f", expressions=[exp.to_identifier("a")])
    read = exp.Anonymous(this="f", expressions=[exp.to_identifier("a", quoted=True)])
    assert not same(written, read)
    # Only a plain name: other marks render differently with quotes (T-SQL's ##).
    assert not same(exp.Identifier(this="t", global_=True),
                    exp.Identifier(this="t", quoted=True, global_=True))
    # What was written with quotes must be read with them.
    assert not same(sqlglot.parse_one('SELECT "a" FROM t'), sqlglot.parse_one("SELECT a FROM t"))


def test_other_values_compare_by_identity_only():
    value = object()
    assert same(exp.Var(this=value), exp.Var(this=value))
    assert not same(exp.Var(this=frozenset({1})), exp.Var(this=frozenset({1})))
