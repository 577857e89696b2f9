"""Catalogue objects, catalogue files and SqlString, checked through the rewrite."""

import json
import re

import pytest
import sqlglot
from sqlglot import exp
from sqlglot.dialects import Dialect
from sqlglot.errors import SqlglotError

from pellquist.models import (Catalogue, CatalogueError, Column, SqlString, Table, TableNotFound,
                              catalogue_from_data, load_catalogue)
from pellquist.quist import Session


@pytest.mark.parametrize("make, error, field", [
    (lambda: Column(3), TypeError, "Column.pub_name"),
    (lambda: Column(""), ValueError, "Column.pub_name"),
    (lambda: Table(3, "t"), TypeError, "Table.pub_name"),
    (lambda: Table("", "t"), ValueError, "Table.pub_name"),
    (lambda: Table("p", 3), TypeError, "Table.name"),
    (lambda: Table("p", ""), ValueError, "Table.name"),
    (lambda: Table("p", "t", ["a"]), TypeError, "Table.columns"),
    (lambda: Table("p", "t", {"a": 3}), TypeError, "Table.columns['a']"),
    (lambda: Table("p", "t", {"": "a"}), TypeError, "Table.columns"),
    (lambda: Table("p", "t", {}, 3), TypeError, "Table.filters"),
    (lambda: Catalogue(3), TypeError, "Catalogue.tables"),
    (lambda: Catalogue({"k": "t"}), TypeError, "Catalogue.tables['k']"),
    (lambda: Catalogue({}, dialect=""), TypeError, "Catalogue.dialect"),
    (lambda: Catalogue({}, dialect="postgress"), ValueError, "Catalogue.dialect: Unknown dialect"),
])
def test_type_checks_name_the_field(make, error, field):
    with pytest.raises(error, match=re.escape(field)):
        make()


def test_columns_and_table_lists_are_normalised():
    table = Table("Sales.Orders", "ord_t", {"o_id": "id", "o_amt": Column("amount")})
    assert table.columns == {"o_id": Column("id"), "o_amt": Column("amount")}
    assert Catalogue([table]).tables == {"Sales.Orders": table}


def test_table_not_found():
    error = TableNotFound("sales.nope", "No such table found.")
    assert error.args == ("sales.nope", "No such table found.") and error.key == "sales.nope"
    assert isinstance(error, LookupError)
    assert str(error) == "No such table found: 'sales.nope'"
    cat = Catalogue([Table("t", "t_int", {"a": "a"})])
    with pytest.raises(TableNotFound) as raised:
        Session(cat, {}).generateNativeSQL("SELECT a FROM Sales.Nope", None)
    assert raised.value.args == ("sales.nope", "No such table found.")


@pytest.mark.parametrize("filters, names", [
    (None, set()),
    ("", set()),
    ("tenant_id = {tenant}", {"tenant"}),
    ("a = {a.b} AND b = {b[0]} AND c = '{{literal}}' AND d IN ({d!s}, {a})", {"a", "b", "d"}),
])
def test_placeholders(filters, names):
    assert Table("p", "t", {"a": "a"}, filters).placeholders() == names


def test_catalogue_placeholders_are_the_union():
    cat = Catalogue([Table("a", "a", {"x": "x"}, "t = {tenant}"),
                     Table("b", "b", {"x": "x"}, "t = {tenant} AND r = {region}"),
                     Table("c", "c", {"x": "x"})])
    assert cat.placeholders() == {"tenant", "region"}
    assert Catalogue().placeholders() == set()


# ---- catalogue files ---------------------------------------------------------------

SHOP_TOML = """
[[tables]]
public = "sales.products"
internal = "prod_t"
[tables.columns]
p_id = "id"

[[tables]]
public = "sales.orders"
internal = "app.ord_t"
filter = "tenant_id = {tenant} AND region = {region}"
[tables.columns]
o_id = "id"
o_amount = "amount"
"""
PRODUCTS = {"public": "sales.products", "internal": "prod_t", "columns": {"p_id": "id"}}
ORDERS = {"public": "sales.orders", "internal": "app.ord_t",
          "columns": {"o_id": "id", "o_amount": "amount"},
          "filter": "tenant_id = {tenant} AND region = {region}"}
DROP = object()


def orders(**changes):
    entry = {**ORDERS, **changes}
    return {k: v for k, v in entry.items() if v is not DROP}


@pytest.mark.parametrize("suffix, text", [
    (".toml", SHOP_TOML), (".json", json.dumps({"tables": [PRODUCTS, ORDERS]}))])
def test_load_and_rewrite(tmp_path, suffix, text):
    path = tmp_path / f"shop{suffix}"
    path.write_text(text)
    cat = load_catalogue(path)
    assert cat.placeholders() == {"tenant", "region"}
    native = Session(cat, {"tenant": 7, "region": SqlString("EU")}).generateNativeSQL(
        "SELECT id, amount FROM Sales.Orders", "postgres")
    assert native == (
        'SELECT "id", "amount" FROM (SELECT "o_id" AS "id", "o_amount" AS "amount" '
        'FROM "app"."ord_t" AS "_internal" WHERE "_internal"."tenant_id" = 7 AND '
        '"_internal"."region" = \'EU\') AS "sales_orders"')


def second(**changes):
    return {"tables": [PRODUCTS, orders(**changes)]}


@pytest.mark.parametrize("data, message", [
    ([], "(top level): expected a table with a 'tables' array"),
    ({"tables": [], "extra": 1}, "extra: unknown key"),
    ({"tables": [], "dialect": 7}, "dialect: expected the name of the engine's SQL dialect"),
    ({"tables": [], "dialect": "sqlit"}, "dialect: Unknown dialect 'sqlit'"),
    ({"tables": {}}, "tables: expected an array of tables"),
    ({"tables": [PRODUCTS, "x"]}, "tables[1]: expected a table"),
    (second(internal=DROP), "tables[1].internal: missing"),
    (second(columns=DROP), "tables[1].columns: missing"),
    (second(colour="red"), "tables[1].colour: unknown key"),
    (second(public=3), "tables[1].public: expected a name"),
    (second(public="sales orders"), "tables[1].public: expected a name"),
    (second(internal="a;b"), "tables[1].internal: expected a name"),
    (second(internal="a.b.c.d"), "tables[1].internal: expected a name"),
    (second(columns=["id"]), "tables[1].columns: expected a table of strings"),
    (second(columns={}), "tables[1].columns: expected a table of strings"),
    (second(columns={"o_id": 1}), "tables[1].columns: expected a table of strings"),
    (second(filter=1), "tables[1].filter: expected a string"),
    # A filter is held to the rewrite's own rule, and reported with its words.
    (second(filter="a = 1; DROP TABLE x"), "tables[1].filter: not a single condition (The row "
     "filter of table 'sales.orders' does not parse as a single condition: 'a = 1; DROP TABLE x')"),
    (second(filter="SELECT 1"), "tables[1].filter: not a single condition (The row filter of "
     "table 'sales.orders' does not parse as a single condition: 'SELECT 1')"),
    (second(filter="a = {"), "tables[1].filter: bad placeholder syntax"),
    (second(filter="a = {}"), "tables[1].filter: placeholders must be plain {name} fields, got {}"),
    (second(filter="a = {r!r}"), "tables[1].filter: placeholders must be plain {name} fields"),
    (second(filter="a = {r.value}"), "tables[1].filter: placeholders must be plain {name} fields"),
    (second(filter="  "), "tables[1].filter: expected a condition, got blank text"),
    (second(filter="a = ("), "tables[1].filter: not a single condition ("),
    ({"tables": [PRODUCTS, ORDERS, orders(public="SALES.Orders")]},
     "tables[2].public: 'SALES.Orders' is published twice"),
])
def test_bad_catalogue_data(tmp_path, data, message):
    path = tmp_path / "cat.json"
    path.write_text(json.dumps(data))
    with pytest.raises(CatalogueError) as raised:
        load_catalogue(path)
    assert str(raised.value).startswith(f"{path}: {message}")
    assert isinstance(raised.value, ValueError) and "\n" not in str(raised.value)


@pytest.mark.parametrize("name, text, message", [
    ("c.toml", SHOP_TOML + '[[tables]]\npublic = "x"\ninternal = "x"\ncolumns = ["a"]\n',
     "tables[2].columns: expected a table of strings"),
    ("c.toml", "[[tables]\n", "not valid TOML"),
    ("c.toml", b"\xff", "not valid TOML"),
    ("c.json", '{"tables": [', "not valid JSON"),
    ("c.yaml", "tables: []", "expected a .toml or .json file"),
    ("missing.toml", None, "cannot read"),
])
def test_bad_catalogue_file(tmp_path, name, text, message):
    path = tmp_path / name
    if isinstance(text, bytes):
        path.write_bytes(text)
    elif text is not None:
        path.write_text(text)
    with pytest.raises(CatalogueError, match=re.escape(f"{path}: ") + ".*" + re.escape(message)):
        load_catalogue(path)


# ---- SqlString -------------------------------------------------------------------

HOSTILE = ["it's", "''", "' OR '1'='1", "x' --", "';DROP TABLE t;--", "a\nb\r\nc\t",
           "héllo ☃ 日本 \u2028", "", "100% {x} }{ {{ %s", '"dq" `bt` $$ $t$ [b]',
           "/* c */ -- c"]
REGION = Catalogue([Table("t", "app.ord_t", {"a": "x", "region": "region"}, "region = {r}")])
# What a literal that stays a literal may parse back into in the other dialects.
INERT = (exp.EQ, exp.Column, exp.Identifier, exp.Literal, exp.DPipe, exp.Concat, exp.Add)


def filter_of(value, dialect):
    native = Session(REGION, {"r": SqlString(value)}).generateNativeSQL(
        "SELECT x FROM t", dialect or None)
    trees = sqlglot.parse(native, read=dialect or None)
    assert len(trees) == 1, native
    cond = trees[0].find(exp.Subquery).this.args["where"].this
    # Spark's fence is a conjunct of its own after the filter.
    fence = cond.expression if isinstance(cond, exp.And) else None
    if isinstance(fence, exp.GTE) and fence.this.sql().upper() == "SPARK_PARTITION_ID()":
        cond = cond.this
    return cond


@pytest.mark.parametrize("value", HOSTILE)
@pytest.mark.parametrize("dialect", sorted(SqlString.DIALECTS))
def test_sql_string_round_trip(dialect, value):
    cond = filter_of(value, dialect)
    assert isinstance(cond, exp.EQ) and isinstance(cond.this, exp.Column)
    assert cond.this.name == "region"
    literal = cond.expression
    assert isinstance(literal, exp.Literal) and literal.is_string and literal.this == value


@pytest.mark.parametrize("value", HOSTILE)
@pytest.mark.parametrize("dialect", sorted(set(Dialect.classes) - SqlString.DIALECTS))
def test_sql_string_stays_quoted_elsewhere(dialect, value):
    try:
        cond = filter_of(value, dialect)
    except (SqlglotError, ValueError):
        return  # refused or unreadable: nothing got through
    assert isinstance(cond, exp.EQ) and cond.this.name == "region"
    assert all(isinstance(node, INERT) for node in cond.walk()), cond.sql(dialect)


@pytest.mark.parametrize("value, error", [
    ("a\\b", ValueError), ("\\' OR 1=1 --", ValueError), ("a\x00b", ValueError),
    (b"EU", TypeError), (7, TypeError), (None, TypeError)])
def test_sql_string_refuses(value, error):
    with pytest.raises(error, match="SqlString"):
        SqlString(value)


def test_sql_string_formatting():
    assert "r = {r}".format(r=SqlString("it's")) == "r = 'it''s'"
    assert SqlString("a") == SqlString("a") and hash(SqlString("a")) == hash(SqlString("a"))
    with pytest.raises(ValueError, match="takes no format"):
        format(SqlString("x"), ">5")
    cat = Catalogue([Table("t", "t_int", {"a": "x"}, "region = {r:>5}")])
    with pytest.raises(ValueError, match="takes no format"):
        Session(cat, {"r": SqlString("x")}).generateNativeSQL("SELECT x FROM t", None)


@pytest.mark.parametrize("conversion", ["!s", "!r", "!a"])
def test_sql_string_conversion_cannot_unquote(conversion):
    # "{r!r}" skips __format__: the filter would get the repr, whose backslash escapes the quote.
    cat = Catalogue([Table("t", "t_int", {"a": "x"}, f"region = {{r{conversion}}}")])
    try:
        native = Session(cat, {"r": SqlString("a\"b') OR 1=1 --")}).generateNativeSQL(
            "SELECT x FROM t", "postgres")
    except ValueError:
        return  # refused
    assert sqlglot.parse_one(native, read="postgres").find(exp.Or) is None, native
