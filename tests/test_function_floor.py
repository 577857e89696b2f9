"""The function floor against the engines' own function lists.

The floor refuses, for every catalogue and dialect, the functions that read
tables or files by name, reach other databases or the network, read or change
settings and session state, take locks, inspect raw storage or sleep.  These
tests hold it to the engines: the named dangers of each engine, every
function PostgreSQL and DuckDB list that takes a catalogue object or belongs
to a dangerous family, every table function and dangerous family of
ClickHouse's, and Spark's dangerous families (so that a new server version or
extension that adds one fails here), and a sample of everyday functions that
must stay allowed.
"""

from __future__ import annotations

import contextlib
import logging
import re
import tomllib
import types
from pathlib import Path

import pytest
from sqlglot import exp, parse_one

from conftest import require_chdb, require_module
from pellquist.models import Catalogue, Table
from pellquist.quist import Session
from pellquist.wall import functions
from pellquist.wall.functions import on_floor

DIALECTS = ("postgres", "duckdb", "sqlite", "clickhouse", "spark")

# ---- the named dangers of each engine ------------------------------------------

# The named dangers of each engine, and the everyday functions that must stay
# allowed, by dialect.
CASES = tomllib.loads((Path(__file__).parent / "data" / "function-floor.toml").read_text())
DANGEROUS = CASES["dangerous"]


def _written_calls(name: str, dialect: str) -> list[exp.Func]:
    """The function nodes sqlglot makes of ``name`` called as the dialect
    reads it, with one argument or none; empty when neither form parses."""
    for sql in (f"SELECT {name}('a')", f"SELECT {name}()"):
        try:
            tree = parse_one(sql, read=dialect)
        except Exception:  # the other form, or a name sqlglot parses as something else
            continue
        calls = list(tree.find_all(exp.Func))
        if calls:
            return calls
    return []


@pytest.mark.parametrize("dialect, name", [
    pytest.param(dialect, name, id=f"{dialect}-{name}")
    for dialect, names in DANGEROUS.items() for name in names])
def test_each_engine_s_dangerous_functions_are_on_the_floor(dialect, name):
    assert on_floor(name.lower())
    # A call as written in the engine's own SQL is refused, whichever class
    # sqlglot reads it into.
    for call in _written_calls(name, dialect):
        assert functions.refusal(call, None) is not None, (name, type(call).__name__)


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("sql", [
    "SELECT version() FROM orders", "SELECT current_role() FROM orders",
    "SELECT stats(id) FROM orders", "SELECT changes() FROM orders",
    "SELECT regclassin('secrets') FROM orders", "SELECT getvariable('x') FROM orders",
])
def test_a_floored_call_is_refused_for_every_catalogue(dialect, sql):
    orders = Table("orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")
    for catalogue in (Catalogue([orders]), types.SimpleNamespace(tables={"o": orders})):
        with pytest.raises(Exception, match="can read data outside the published tables"):
            Session(catalogue, {"tenant": 1}).generateNativeSQL(sql, dialect)


# ---- sqlglot's function classes --------------------------------------------------

def _func_classes() -> list[type]:
    seen: set[type] = set()
    stack = [exp.Func]
    while stack:
        for sub in stack.pop().__subclasses__():
            if sub not in seen:
                seen.add(sub)
                stack.append(sub)
    anonymous = (exp.Anonymous, exp.AnonymousAggFunc, exp.CombinedAggFunc)
    return sorted((c for c in seen if c not in anonymous), key=lambda c: c.__name__)


def _sample_call(cls: type) -> exp.Func | None:
    args = {}
    last = list(cls.arg_types)[-1] if cls.arg_types else None
    for key in cls.arg_types:
        literal = exp.Literal.string("a")
        args[key] = [literal] if key == "expressions" or (cls.is_var_len_args and key == last) \
            else literal
    try:
        return cls(**args)
    except Exception:  # a class whose arguments are not plain values
        return None


# A call as written, its name quoted or not ("error"(...) in a macro).
_CALLED = re.compile(r'"?([A-Za-z_][A-Za-z_0-9]*)"?\s*\(')


def test_no_function_class_renders_as_a_floored_name():
    """A class sqlglot knows passes the strict policy, so a class that a
    dialect writes as a floored function must be refused by its own names."""
    logging.getLogger("sqlglot").disabled = True
    try:
        escapes = []
        for cls in _func_classes():
            if any(on_floor(n) for n in functions._class_names(cls)):
                continue
            node = _sample_call(cls)
            if node is None:
                continue
            for dialect in (None,) + DIALECTS:
                try:
                    sql = node.sql(dialect=dialect)
                except Exception:  # not writable in this dialect
                    continue
                floored = sorted({n.lower() for n in _CALLED.findall(sql) if on_floor(n.lower())})
                if floored:
                    escapes.append((cls.__name__, dialect, floored))
    finally:
        logging.getLogger("sqlglot").disabled = False
    assert escapes == []


# ---- PostgreSQL's catalogue ------------------------------------------------------

# Families that read outside the published tables; a function of one of these
# names, present or added by a later server or module, must be refused.
PG_FAMILIES = re.compile(
    r"^(pg_|lo_|dblink|has_|to_reg|binary_upgrade_|brin_|gin_|gist_|heap_|pgstat|postgres_fdw"
    r"|ssl_|autoprewarm_|crosstab|_pg_|acl|oid"
    r"|reg(class|collation|config|dictionary|namespace|oper|proc|role|type))"
    r"|sleep|advisory|notify|setting|set_config|nextval|setval|currval|lastval|_to_xml"
    r"|to_xmlschema|file_|_file|page_|_page|current_snapshot|txid_(current|status)|backend"
    r"|replication|tablespace|rowlocks|xslt|xpath_table|_validator|connectby|current_query"
    r"|inet_(client|server)")

PG_DATABASE = "pellquist_function_floor"


@pytest.fixture(scope="module")
def pg_functions(postgres_dsn):
    """(name, argument types, schema) of every function of the catalogue and
    of every extension the server offers, installed in a database of its own."""
    psycopg = require_module("psycopg")
    with psycopg.connect(**postgres_dsn, autocommit=True) as admin:
        admin.execute(f"DROP DATABASE IF EXISTS {PG_DATABASE}")
        admin.execute(f"CREATE DATABASE {PG_DATABASE}")
    try:
        with psycopg.connect(**{**postgres_dsn, "dbname": PG_DATABASE}, autocommit=True) as conn:
            for (name,) in conn.execute("SELECT name FROM pg_available_extensions").fetchall():
                try:
                    conn.execute(f'CREATE EXTENSION IF NOT EXISTS "{name}" CASCADE')
                except psycopg.Error:
                    pass  # one that needs a library this server lacks
            rows = conn.execute("""
                SELECT p.proname, ARRAY(SELECT format_type(t, NULL)
                                        FROM unnest(p.proargtypes::oid[]) AS t),
                       n.nspname
                FROM pg_proc AS p JOIN pg_namespace AS n ON n.oid = p.pronamespace
                WHERE p.prokind IN ('f', 'a', 'w')
                  AND (n.nspname IN ('pg_catalog', 'information_schema')
                       OR EXISTS (SELECT 1 FROM pg_depend AS d
                                  WHERE d.classid = 'pg_proc'::regclass AND d.objid = p.oid
                                    AND d.deptype = 'e'))""").fetchall()
    finally:
        with psycopg.connect(**postgres_dsn, autocommit=True) as admin:
            admin.execute(f"DROP DATABASE IF EXISTS {PG_DATABASE}")
    return rows


def _callable_overloads(rows):
    """Each name's overloads that SQL can call: one taking ``internal`` is
    only for the server's own use, no SQL value has that type."""
    by_name: dict[str, list[list[str]]] = {}
    for name, args, _schema in rows:
        if "internal" not in args:
            by_name.setdefault(name.lower(), []).append(args)
    return by_name


def test_postgres_functions_of_catalogue_objects_are_on_the_floor(pg_functions):
    # A text literal becomes a regclass without a cast, so any overload
    # taking one reads a table by name; a name whose every overload takes an
    # oid is called with an integer literal.  An overload of an everyday
    # function (max, int8) taking an oid needs an oid value, which only a
    # refused cast can make.
    missing = sorted(
        name for name, overloads in _callable_overloads(pg_functions).items()
        if (any("regclass" in args for args in overloads)
            or all({"oid", "regclass"} & set(args) for args in overloads))
        and not on_floor(name))
    assert missing == []


def test_postgres_dangerous_families_are_on_the_floor(pg_functions):
    names = {name.lower() for name, _args, _schema in pg_functions}
    assert len(names) > 1000  # the catalogue was read
    missing = sorted(n for n in names if PG_FAMILIES.search(n) and not on_floor(n))
    assert missing == []


# ---- DuckDB's catalogue ----------------------------------------------------------

DUCKDB_FAMILIES = re.compile(
    r"^(duckdb_|pragma_|read_|parquet_|sqlite_|postgres_|mysql_|iceberg_|ducklake_)"
    r"|sleep|setting|getenv|variable|current_(setting|schema|database|catalog|role|user"
    r"|query|connection|transaction)|checkpoint|secret|extension|profiling|logging|write_log"
    r"|_logs|glob|scan|query|serializ|search_path|block_size|external_resource|grammar"
    r"|^__|vector|(next|set|curr|last)val$|^index_|^(python|pandas|arrow)_|^(enable|disable)_"
    r"|make_type")


@pytest.fixture(scope="module")
def duckdb_functions():
    duckdb = require_module("duckdb")
    conn = duckdb.connect()
    try:
        return conn.sql("SELECT function_name, function_type, macro_definition "
                        "FROM duckdb_functions()").fetchall()
    finally:
        conn.close()


def test_duckdb_table_functions_are_floored_or_generators(duckdb_functions):
    """A table function reads rows the rewrite does not filter unless it makes
    them from its arguments.  A name that is also a scalar or aggregate
    function stays allowed as such; in a FROM clause the rewrite refuses it."""
    kinds: dict[str, set[str]] = {}
    for name, kind, _definition in duckdb_functions:
        kinds.setdefault(name.lower(), set()).add(kind)
    tables = {n for n, k in kinds.items() if k & {"table", "table_macro"}}
    assert {"read_csv", "range", "unnest"} <= tables
    loose = sorted(n for n in tables if not on_floor(n) and n not in functions.GENERATORS)
    dual = [n for n in loose if kinds[n] - {"table", "table_macro"}]
    assert [n for n in loose if n not in dual] == []
    orders = Table("orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")
    for name in dual:
        with pytest.raises(Exception, match="reads rows from"):
            Session(Catalogue([orders]), {"tenant": 1}).generateNativeSQL(
                f"SELECT * FROM {name}('orders', 1)", "duckdb")


# Macros that call a floored function only to raise a fixed message: the
# message tells nothing of a row.
FIXED_MESSAGE_MACROS = frozenset({"json_group_object"})


def test_duckdb_macros_over_floored_functions_are_on_the_floor(duckdb_functions):
    missing = []
    for name, kind, definition in duckdb_functions:
        if kind != "macro" or not definition or name in FIXED_MESSAGE_MACROS:
            continue
        if any(on_floor(n.lower()) for n in _CALLED.findall(definition)) \
                and not on_floor(name.lower()):
            missing.append(name)
    assert missing == []


def test_duckdb_dangerous_families_are_on_the_floor(duckdb_functions):
    # Pragmas are statements, not calls a query can make.
    names = {n.lower() for n, kind, _d in duckdb_functions if kind != "pragma"}
    missing = sorted(n for n in names if DUCKDB_FAMILIES.search(n) and not on_floor(n))
    assert missing == []


# ---- SQLite's catalogue ----------------------------------------------------------

SQLITE_FAMILIES = re.compile(
    r"^(sqlite_|rtree|fts5|pragma_)|load_extension|changes|last_insert_rowid|readfile"
    r"|writefile|fts3_tokenizer|dbstat|dbpage|_query$")


def test_sqlite_dangerous_families_are_on_the_floor():
    sqlite3 = require_module("sqlite3")
    conn = sqlite3.connect(":memory:")
    try:
        names = {row[0].lower() for row in conn.execute("PRAGMA function_list")}
        modules = {row[0].lower() for row in conn.execute("PRAGMA module_list")}
    finally:
        conn.close()
    assert "changes" in names
    missing = sorted(n for n in names if SQLITE_FAMILIES.search(n) and not on_floor(n))
    # A table-valued module is called like a function; only the JSON walkers
    # make rows from their arguments alone.
    missing += sorted(m for m in modules - {"json_each", "json_tree"}
                      if not m.startswith(("fts", "rtree")) and not on_floor(m))
    assert missing == []


# ---- ClickHouse's catalogue ------------------------------------------------------

# Families of functions that read outside the published tables: files,
# tables and dictionaries by name, settings, the server, its host and the
# session, introspection, models and model services, errors and sleeps.
# Current date and time functions share a prefix with the session's and are
# no danger.
CLICKHOUSE_FAMILIES = re.compile(
    r"^(dict|joinget|get(setting|serversetting|mergetreesetting|macro|serverport"
    r"|clienthttpheader|oskernelversion|maxtablenamelength)|hascolumnintable|globalvariable"
    r"|current(?!_?(date|time|timestamp))|enabled(profiles|roles)|default(profiles|roles)"
    r"|initial_?query|connection_?id|query_?id$|auth(enticated)?_?user|session_user|user$"
    r"|host_?name|fullhostname|fqdn|displayname|serveruuid|uptime|version$|revision|buildid"
    r"|tcpport|shard(num|count)|zookeeper|filesystem|showcertificate|transaction|address"
    r"|demangle|logtrace|tid$|catboost|naivebayesclassifier|ai[a-z]+$|sleep|[a-z0-9_]*throw|__|pg"
    r"|database$|schema$|hasthreadfuzzer|(global)?(not)?(null)?in(ignoreset)?$"
    r"|region(to|in$|hierarchy)|server|flamegraph|generateserialid|elasticsearch"
    r"|significantsubdomaincustom|traceview|obfuscate$|block|rownumberin|running(difference|accumulate)|neighbor"
    r"|dumpcolumnstructure)")

# Table functions that make rows from their arguments alone. In a FROM, a
# table function that is no generator is refused whatever it reads; these
# may stay off the floor, every other one must be on it.
CLICKHOUSE_ROW_MAKERS = frozenset({
    "values", "sqlstandardvalues", "null", "zeros", "zeros_mt", "numbers_mt", "primes",
    "generaterandom", "generateseries", "format",
})


@pytest.fixture(scope="module")
def clickhouse_functions():
    """(name, alias of) of every function, and the names of every table
    function, of the in-process ClickHouse."""
    chdb = require_chdb()
    conn = chdb.connect(":memory:")
    try:
        cur = conn.cursor()
        cur.execute("SELECT name, alias_to FROM system.functions")
        functions_ = cur.fetchall()
        cur.execute("SELECT name FROM system.table_functions")
        tables = [name for (name,) in cur.fetchall()]
    finally:
        conn.close()
    return functions_, tables


def test_clickhouse_table_functions_are_floored_or_make_rows(clickhouse_functions):
    _functions, tables = clickhouse_functions
    names = {n.lower() for n in tables}
    assert {"file", "numbers", "remote"} <= names  # the list was read
    loose = sorted(n for n in names if not on_floor(n) and n not in functions.GENERATORS
                   and n not in CLICKHOUSE_ROW_MAKERS)
    assert loose == []
    # A row maker is still no generator the rewrite knows: in a FROM it is
    # refused like any other table function (values(...) sqlglot reads as a
    # VALUES list).
    orders = Table("orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")
    for name in sorted((CLICKHOUSE_ROW_MAKERS - {"values"}) & names):
        with pytest.raises(Exception, match="reads rows from"):
            Session(Catalogue([orders]), {"tenant": 1}).generateNativeSQL(
                f"SELECT * FROM {name}('x UInt8', 1)", "clickhouse")


def test_clickhouse_dangerous_families_are_on_the_floor(clickhouse_functions):
    function_list, _tables = clickhouse_functions
    names = {n.lower() for n, _alias in function_list}
    assert len(names) > 1000  # the list was read
    # sqlglot reads in(...) as the IN operator or a name, never as a call.
    missing = sorted(n for n in names - {"in"} if CLICKHOUSE_FAMILIES.search(n)
                     and not on_floor(n))
    # An alias of a floored function is the same function.
    missing += sorted(n.lower() for n, alias in function_list
                      if alias and on_floor(alias.lower()) and not on_floor(n.lower()))
    assert missing == []


# ---- Spark's catalogue ------------------------------------------------------------

# Calls into the JVM, the files behind a table, files and URLs a conversion
# reads its schema from, the session, and errors raised on purpose.  The
# current date and time are no danger.
SPARK_FAMILIES = re.compile(
    r"^(reflect|java_method|try_reflect|input_file|read_|secret"
    r"|current_(?!(date|time|timestamp|timezone)$)|user$|session_user$|version$"
    r"|assert_true$|raise_error$|(from|to|schema_of)_(protobuf|avro)$"
    r"|is_(account_group_)?member$|[a-z_]*_logs$|spark_partition_id$"
    r"|monotonically_increasing_id$)")

# Spark's table functions that make rows from their arguments alone, or from a
# fixed list of the engine's, but are no generator the rewrite knows: in a
# FROM they are refused like any other table function.
SPARK_ROW_MAKERS = frozenset({
    "stack", "json_tuple", "variant_explode", "variant_explode_outer", "sql_keywords",
    "collations",
})


def test_spark_dangerous_families_are_on_the_floor(spark):
    names = {row[0].lower() for row in spark.session.sql("SHOW FUNCTIONS").collect()}
    assert {"reflect", "explode", "count"} <= names  # the list was read
    missing = sorted(n for n in names if SPARK_FAMILIES.search(n) and not on_floor(n))
    assert missing == []


def test_spark_table_functions_are_floored_or_make_rows(spark):
    registry = spark.session._jsparkSession.sessionState().tableFunctionRegistry()
    listed = registry.listFunction()  # a Scala Seq of FunctionIdentifier
    names = {str(listed.apply(i).funcName()).lower() for i in range(listed.size())}
    assert {"range", "explode"} <= names  # the registry was read
    loose = sorted(n for n in names if not on_floor(n) and n not in functions.GENERATORS
                   and n not in SPARK_ROW_MAKERS)
    assert loose == []
    orders = Table("orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")
    for name in sorted(SPARK_ROW_MAKERS & names):
        with pytest.raises(Exception, match="reads rows from"):
            Session(Catalogue([orders]), {"tenant": 1}).generateNativeSQL(
                f"SELECT * FROM {name}(2, 1)", "spark")


# ---- everyday functions stay allowed --------------------------------------------

HARMLESS = CASES["harmless"]


@pytest.mark.parametrize("dialect, name", [
    pytest.param(dialect, name, id=f"{dialect}-{name}")
    for dialect, names in HARMLESS.items() for name in names])
def test_everyday_functions_are_not_on_the_floor(dialect, name):
    assert not on_floor(name.lower())
    for call in _written_calls(name, dialect):
        assert functions.refusal(call, None) is None, (name, type(call).__name__)


# ---- the engines' everyday functions that every allow-list takes ---------------------

def _engine_function_names(dialect, request) -> set[str]:
    if dialect == "sqlite":
        sqlite3 = require_module("sqlite3")
        with contextlib.closing(sqlite3.connect(":memory:")) as conn:
            return {row[0].lower() for row in conn.execute("PRAGMA function_list")}
    if dialect == "duckdb":
        return {n.lower() for n, _kind, _d in request.getfixturevalue("duckdb_functions")}
    if dialect == "clickhouse":
        return {n.lower() for n, _alias in request.getfixturevalue("clickhouse_functions")[0]}
    return {row[0].lower() for row in request.getfixturevalue("pg_functions")}


@pytest.mark.parametrize("dialect", sorted(functions.EVERYDAY))
def test_the_everyday_functions_are_the_engine_s_own_and_off_the_floor(dialect, request):
    names = _engine_function_names(dialect, request)
    everyday = functions.EVERYDAY[dialect]
    # ClickHouse lists an aggregate, not its forms with combinators (sumIf).
    unknown = [n for n in everyday if not any(c in names for c in functions._called_names(n))]
    assert not unknown, sorted(unknown)
    assert not [n for n in everyday if any(on_floor(c) for c in functions._called_names(n))]
