"""Two tenants on SQLite, DuckDB, PostgreSQL, ClickHouse and Spark, for the
attack suite in test_wall.py.

Every engine holds three databases:

* ``internal``: the tables the catalogue maps to, with the rows of both
  tenants, the unpublished table ``secrets``, and ``app_note``, a table the
  catalogue publishes with a row filter on a column it does not have;
* ``control``: the same tables with tenant 1's rows only and nothing in
  ``secrets``, which is everything a query for tenant 1 may depend on. A
  statement that fails on ``internal`` but runs on ``control`` fails because
  of rows tenant 1 must not see, and the failure itself tells that they exist;
* ``public``: tenant 1's rows under the published names, in the published
  column order: what a query that must work is compared with.

``members`` maps users to tenants: ``team_orders`` publishes ``app_order``
through a membership filter that reads it, for user 5 (a member of tenant 1
only).

Every text value of tenant 2 holds ``LEAK-T2``, every value of ``secrets``
holds ``LEAK-SECRET``, and tenant 2's amounts (999001 ... 999004) occur
nowhere else, so a leaked value shows in the rows, or in an error message,
as plain text.

Tenant 1's notes are years ('2024', ...), which read as integers, JSON and
``%Y`` dates, and its customers' names are month names: a cast or a parse
that a query applies to every row it reads succeeds on tenant 1's rows and
fails only on tenant 2's.
"""

from __future__ import annotations

import os
import re
import sqlite3
import tempfile
from contextlib import closing
from pathlib import Path

MARKERS = ("LEAK-T2", "LEAK-SECRET")
# Values only tenant 2 holds; they show in rows and messages as digits.
TENANT2_NUMBERS = ("999001", "999002", "999003", "999004")

TENANT = 1
USER = 5
PARAMS = {"tenant": TENANT, "user": USER}

# (tenant_id, id, customer_id, note, amount, day)
ORDERS = [
    (1, 101, 11, "2024", 120, "2024-01-05"),
    (1, 102, 12, "2023", 250, "2024-02-10"),
    (1, 103, 11, "2022", 380, "2024-03-15"),
    (2, 201, 21, "LEAK-T2-order", 999001, "2031-07-01"),
    (2, 202, 22, 'LEAK-T2-{"a":1}', 999002, "2032-08-02"),
    (2, 203, 21, "LEAK-T2-2024-01-01", 999003, "2033-09-03"),
    (2, 204, 22, "LEAK-T2-42", 999004, "2034-10-04"),
]
# (tenant_id, id, name)
CUSTOMERS = [
    (1, 11, "March"),
    (1, 12, "May"),
    (2, 21, "LEAK-T2-customer"),
    (2, 22, "LEAK-T2-999004"),
]
# (id, body)
SECRETS = [
    (1, "LEAK-SECRET-one"),
    (2, 'LEAK-SECRET-{"k":2}'),
]
# (owner, body): the owner plays the tenant here.
NOTES = [
    (1, "mine"),
    (2, "LEAK-T2-note"),
]
# (tenant_id, user_id): user 5 belongs to tenant 1, user 6 to tenant 2.
MEMBERS = [
    (1, USER),
    (2, 6),
]

ORDER_COLUMNS = ("id", "customer_id", "note", "amount", "day")
CUSTOMER_COLUMNS = ("id", "name")
NOTE_COLUMNS = ("owner", "body")


# Everyday ClickHouse functions that sqlglot does not know, which a
# deployment on ClickHouse would allow: the attacks that raise errors need
# them, and the strict policy refuses them otherwise.
ALLOWED_FUNCTIONS = frozenset({"toInt32", "toDate", "accurateCast", "intDiv", "countIf",
                               "uniqExact", "replaceRegexpAll", "base64Decode", "base58Decode"})


# The internal columns' types on the engines the default fence judges (the
# fence reads them; SQLite keeps days as text).
COLUMN_TYPES = {"id": "INTEGER", "customer_id": "INTEGER", "note": "TEXT", "amount": "INTEGER",
                "day": "DATE", "name": "TEXT", "owner": "INTEGER", "body": "TEXT"}


def catalogue(engine=None, allowed=ALLOWED_FUNCTIONS):
    """The published schema over the internal tables, with the column types
    of ``engine``'s tables where it is SQLite, DuckDB or PostgreSQL, and
    ``allowed`` as the functions the catalogue adds to the strict policy."""
    from pellquist.models import Catalogue, Column, Table

    types = dict(COLUMN_TYPES, day="TEXT" if engine == "sqlite" else "DATE") if engine in (
        "sqlite", "duckdb", "postgres") else {}

    def same(names):
        return {n: Column(n, types.get(n)) for n in names}

    return Catalogue([
        Table(pub_name="orders", name="app_order", columns=same(ORDER_COLUMNS),
              filters="tenant_id = {tenant}"),
        Table(pub_name="customers", name="app_customer", columns=same(CUSTOMER_COLUMNS),
              filters="tenant_id = {tenant}"),
        # A catalogue mistake: app_note has no tenant_id. Only a column of an
        # enclosing query could give the filter one.
        Table(pub_name="notes", name="app_note", columns=same(NOTE_COLUMNS),
              filters="tenant_id = {tenant}"),
        # The same internal table under a dotted public name.
        Table(pub_name="sales.orders", name="app_order", columns=same(ORDER_COLUMNS),
              filters="tenant_id = {tenant}"),
        # A membership filter: the tenants come from a table the filter reads
        # by its bare name.
        Table(pub_name="team_orders", name="app_order", columns=same(ORDER_COLUMNS),
              filters="tenant_id IN (SELECT members.tenant_id FROM members "
                      "WHERE members.user_id = {user})"),
    ], allowed_functions=allowed)


def plain(catalogue):
    """The same schema as plain objects, as an application's own classes
    would give it: the attributes the rewrite reads and nothing else (no
    allowed_functions: no function policy but the floor)."""
    from types import SimpleNamespace

    def table(t):
        columns = {k: SimpleNamespace(pub_name=c.pub_name, type=c.type)
                   for k, c in t.columns.items()}
        return SimpleNamespace(pub_name=t.pub_name, name=t.name, columns=columns,
                               filters=t.filters)

    return SimpleNamespace(tables={k: table(t) for k, t in catalogue.tables.items()},
                           fence=catalogue.fence)


# ---- contents of the three databases ---------------------------------------------

def _literal(value):
    if isinstance(value, int):
        return str(value)
    return "'" + value.replace("'", "''") + "'"


def _tables(day_type, text="TEXT", using="", public_text=None):
    """The CREATE statements and rows of each database, by database.

    ``text`` is the engine's text type (``public_text``, if given, the public
    database's), ``using`` what follows a CREATE TABLE's column list (Spark's
    storage format)."""
    public_text = public_text or text
    internal_ddl = [
        "CREATE TABLE app_order (tenant_id INTEGER, id INTEGER, customer_id INTEGER, "
        f"note {text}, amount INTEGER, day {day_type}){using}",
        f"CREATE TABLE app_customer (tenant_id INTEGER, id INTEGER, name {text}){using}",
        f"CREATE TABLE secrets (id INTEGER, body {text}){using}",
        f"CREATE TABLE app_note (owner INTEGER, body {text}){using}",
        f"CREATE TABLE members (tenant_id INTEGER, user_id INTEGER){using}",
    ]

    def mine(rows):
        return [r for r in rows if r[0] == TENANT]

    internal = {"app_order": ORDERS, "app_customer": CUSTOMERS, "secrets": SECRETS,
                "app_note": NOTES, "members": MEMBERS}
    control = {"app_order": mine(ORDERS), "app_customer": mine(CUSTOMERS), "secrets": [],
               "app_note": mine(NOTES), "members": mine(MEMBERS)}
    public_ddl = [
        f"CREATE TABLE orders (id INTEGER, customer_id INTEGER, note {public_text}, "
        f"amount INTEGER, day {day_type}){using}",
        f"CREATE TABLE customers (id INTEGER, name {public_text}){using}",
        f"CREATE TABLE notes (owner INTEGER, body {public_text}){using}",
    ]
    public = {"orders": [r[1:] for r in mine(ORDERS)],
              "customers": [r[1:] for r in mine(CUSTOMERS)],
              "notes": mine(NOTES)}
    return {"internal": (internal_ddl, internal), "control": (internal_ddl, control),
            "public": (public_ddl, public)}


def _populate(execute, ddl, rows, one_insert=False):
    """Creates the tables and fills them, a row per INSERT, or each table in
    one (``one_insert``): ClickHouse and Spark keep a table's rows apart by
    INSERT (parts, files), and a scan that skips a part or a file by its
    statistics would never meet tenant 2's rows at all."""
    for statement in ddl:
        execute(statement)
    for table, values in rows.items():
        tuples = [f"({', '.join(map(_literal, row))})" for row in values]
        for batch in ([tuples] if one_insert else [[t] for t in tuples]):
            if batch:
                execute(f"INSERT INTO {table} VALUES {', '.join(batch)}")


# ---- the engines ---------------------------------------------------------------

class Engine:
    """One engine's three databases. ``name`` is also the sqlglot dialect;
    ``errors`` is what the engine raises for a statement it won't run."""

    # Whether the default dialect's fence (a bare OFFSET 0) holds here: the
    # engine keeps the filter below it, or refuses the text.
    default_dialect_fenced = True

    def __init__(self, name, errors):
        self.name, self.errors = name, errors
        self.conns = {}

    def error_kind(self, error):
        """What an error tells by its kind alone: the engine's code or class
        for it, never its text (which names the database it ran in).  Two
        errors of different kinds on the two databases are one bit about
        the rows that differ."""
        message = str(error)
        for pattern in (r"Code: (\d+)", r"\[([A-Z][A-Z0-9_.]+)\]"):
            found = re.search(pattern, message)
            if found:
                return found.group(1)
        sqlstate = getattr(error, "sqlstate", None)
        if sqlstate:
            return sqlstate
        # SQLite and DuckDB: the exception's class, and for SQLite, whose
        # class says little, the message up to its first detail.
        head = re.split(r"[:\n]", message, maxsplit=1)[0]
        return f"{type(error).__name__}: {head}" if self.name == "sqlite" else type(error).__name__

    def rows(self, db, sql):
        with closing(self.conns[db].cursor()) as cur:
            cur.execute(sql)
            return cur.fetchall()

    def session_state(self):
        """Settings a statement must not be able to change for the next one."""
        return None

    def restore(self):
        """Brings the connections back to their first state."""

    def close(self):
        for conn in self.conns.values():
            conn.close()


class SQLiteEngine(Engine):
    def __init__(self):
        super().__init__("sqlite", (sqlite3.Error,))
        for db, (ddl, rows) in _tables("TEXT").items():
            conn = sqlite3.connect(":memory:", isolation_level=None)
            _populate(conn.execute, ddl, rows)
            self.conns[db] = conn


class DuckDBEngine(Engine):
    def __init__(self, duckdb):
        super().__init__("duckdb", (duckdb.Error,))
        for db, (ddl, rows) in _tables("DATE").items():
            conn = duckdb.connect()
            # No downloads in the middle of a test: an extension that is not
            # already here fails at once, the same on every database.
            conn.execute("SET autoinstall_known_extensions = false")
            conn.execute("SET autoload_known_extensions = false")
            _populate(conn.execute, ddl, rows)
            self.conns[db] = conn


class PostgresEngine(Engine):
    DATABASES = {"internal": "wall_internal", "control": "wall_control", "public": "wall_public"}
    CHECKED = ("search_path", "default_transaction_read_only", "statement_timeout", "role",
               "session_authorization", "transaction_read_only")

    def __init__(self, dsn):
        import psycopg

        super().__init__("postgres", (psycopg.Error,))
        self.dsn = dsn
        with psycopg.connect(**dsn, autocommit=True) as admin:
            for database in self.DATABASES.values():
                admin.execute(f'DROP DATABASE IF EXISTS "{database}"')
                admin.execute(f'CREATE DATABASE "{database}"')
        for db, (ddl, rows) in _tables("DATE").items():
            with psycopg.connect(**{**dsn, "dbname": self.DATABASES[db]}, autocommit=True) as c:
                _populate(c.execute, ddl, rows)
        self.restore()
        self.first_state = self.session_state()

    def _connect(self, db):
        import psycopg

        # Autocommit: a failed statement must not spoil the transaction of
        # the next one. Read-only: should a write ever get through, the
        # server refuses it rather than let it change later cases' data.
        conn = psycopg.connect(**{**self.dsn, "dbname": self.DATABASES[db]}, autocommit=True)
        conn.execute("SET statement_timeout = '10s'")
        conn.execute("SET default_transaction_read_only = on")
        return conn

    def restore(self):
        for conn in self.conns.values():
            conn.close()
        self.conns = {db: self._connect(db) for db in self.DATABASES}

    def session_state(self):
        return {db: {name: self.rows(db, f"SHOW {name}")[0][0] for name in self.CHECKED}
                | {"current_user": self.rows(db, "SELECT current_user")[0][0]}
                for db in self.conns}


class ClickHouseEngine(Engine):
    """Three databases of the process's chdb server, each reached through a
    connection of its own (see ``engine_sessions.ClickHouseDatabase``, whose
    settings turn off what would hide a missing fence)."""

    DATABASES = {"internal": "wall_internal", "control": "wall_control", "public": "wall_public"}
    default_dialect_fenced = False  # it drops an OFFSET 0

    def __init__(self, chdb):
        from engine_sessions import ClickHouseDatabase, clickhouse_errors

        super().__init__("clickhouse", clickhouse_errors(chdb))
        # Text in LowCardinality columns: one dictionary of values for all
        # tenants' rows, which a function evaluated per entry would meet.  The
        # fence gives the published columns their plain type, as the public
        # tables have it.
        for db, (ddl, rows) in _tables("DATE", text="LowCardinality(String)",
                                       public_text="String").items():
            conn = ClickHouseDatabase(chdb, self.DATABASES[db])
            self.conns[db] = conn
            _populate(conn.execute, ddl, rows, one_insert=True)


class SparkEngine(Engine):
    """Three databases of the run's one Spark, each with a session of its own
    (see ``engine_sessions.SparkDatabase``); the tables are Parquet files,
    one a table."""

    DATABASES = {"internal": "wall_internal", "control": "wall_control", "public": "wall_public"}
    default_dialect_fenced = False  # it drops an OFFSET 0

    def __init__(self, spark):
        from engine_sessions import SparkDatabase

        super().__init__("spark", spark.errors)
        for db, (ddl, rows) in _tables("DATE", text="STRING", using=" USING parquet").items():
            conn = SparkDatabase(spark, self.DATABASES[db])
            self.conns[db] = conn
            # The days are written as text, which an INSERT casts to DATE only
            # under the legacy store rules.
            conn.session.conf.set("spark.sql.storeAssignmentPolicy", "LEGACY")
            _populate(conn.execute, ddl, rows, one_insert=True)
            conn.session.conf.unset("spark.sql.storeAssignmentPolicy")

    def rows(self, db, sql):
        return self.conns[db].rows(sql)


# ---- files some attacks read ---------------------------------------------------

class Files:
    """A folder the database servers may read, with tenant-2 text in a file's
    contents and in a file's name, and an SQLite copy of the internal tables."""

    ENV_NAME = "PELLQUIST_WALL_PROBE"
    ENV_VALUE = "LEAK-SECRET-environment"
    # A system property of Spark's JVM (see engine_sessions.SPARK_CONFIG).
    PROPERTY_NAME = "pellquist.wall.probe"

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="pellquist-wall-"))
        # The PostgreSQL server runs as its own user; let it in.
        os.chmod(self.dir, 0o755)
        self.csv = self.dir / "rows.csv"
        self.csv.write_text("id,body\n1,LEAK-T2-in-a-file\n")
        named = self.dir / "LEAK-T2-name.txt"
        named.write_text("LEAK-T2-in-a-named-file\n")
        self.sqlite = self.dir / "internal.sqlite"
        conn = sqlite3.connect(self.sqlite, isolation_level=None)
        ddl, rows = _tables("TEXT")["internal"]
        _populate(conn.execute, ddl, rows)
        conn.close()
        for path in (self.csv, named, self.sqlite):
            os.chmod(path, 0o644)
        self._old_env = os.environ.get(self.ENV_NAME)
        os.environ[self.ENV_NAME] = self.ENV_VALUE

    def fill(self, sql):
        """``sql`` with {dir}, {csv} and {sqlite} replaced by the paths, {env}
        and {property} by the names."""
        return (sql.replace("{dir}", str(self.dir)).replace("{csv}", str(self.csv))
                .replace("{sqlite}", str(self.sqlite)).replace("{env}", self.ENV_NAME)
                .replace("{property}", self.PROPERTY_NAME))

    def close(self):
        if self._old_env is None:
            os.environ.pop(self.ENV_NAME, None)
        else:
            os.environ[self.ENV_NAME] = self._old_env
        for path in self.dir.iterdir():
            path.unlink()
        self.dir.rmdir()
