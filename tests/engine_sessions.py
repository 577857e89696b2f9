"""In-process ClickHouse (chdb) for the engine tests (a helper module, not a
test).

:class:`ClickHouseDatabase` is one database of the process's chdb server as
a DB-API connection: every statement on it runs in that database, the way a
deployment's connection runs the native SQL in the internal one. The engine
is big (a whole ClickHouse in a shared library), so it runs once per process
and every test module takes its databases from it, under names of its own.
"""

from __future__ import annotations

# Settings the wall must hold against, not ones that help it. ClickHouse
# merges a subquery's filter into the conditions of the query around it
# wherever nothing stops it, and with short-circuit evaluation off (a
# documented setting a server may well run with) a merged condition is
# evaluated on every row of the scan, every tenant's included; one read step
# for PREWHERE keeps its conditions in one expression.
CLICKHOUSE_SETTINGS = {
    "short_circuit_function_evaluation": "'disable'",
    "enable_multiple_prewhere_read_steps": "0",
    # Tables are created with plain CREATE TABLE (no ENGINE, no ORDER BY):
    # MergeTree, read in full, so that filters and PREWHERE are the engine's.
    "default_table_engine": "'MergeTree'",
    "create_table_empty_primary_key_by_default": "1",
    # CREATE INDEX without a type (the shared TPC-H loader's) is ignored.
    "allow_create_index_without_type": "1",
}


def clickhouse_errors(chdb) -> tuple[type, ...]:
    """What chdb raises for a statement the engine won't run: its connections
    raise a class of their own, not the package's ``chdb.ChdbError``."""
    import importlib

    found = {chdb.ChdbError}
    try:
        found.add(importlib.import_module("chdb._exceptions").ChdbError)
    except (ImportError, AttributeError):
        pass  # a chdb whose connections raise the package's class
    return tuple(found)


class ClickHouseDatabase:
    """A database of the process's chdb server, created on first use and
    dropped on :meth:`close`; a DB-API connection whose current database it is."""

    def __init__(self, chdb, name: str, settings=CLICKHOUSE_SETTINGS):
        # Every connection of a process reaches the same server; each keeps
        # its own current database and settings.
        self.name = name
        self.conn = chdb.connect(":memory:")
        self.execute(f"DROP DATABASE IF EXISTS `{name}`")
        self.execute(f"CREATE DATABASE `{name}`")
        self.execute(f"USE `{name}`")
        for key, value in settings.items():
            self.execute(f"SET {key} = {value}")

    def cursor(self):
        # A fresh cursor per statement: one that raised can hand the next
        # statement's fetch stale header rows.
        return self.conn.cursor()

    def execute(self, sql: str):
        cur = self.conn.cursor()
        try:
            cur.execute(sql)
            return cur.fetchall()
        finally:
            cur.close()

    def commit(self) -> None:
        """Statements apply at once; nothing to commit."""

    def close(self) -> None:
        try:
            self.execute(f"DROP DATABASE IF EXISTS `{self.name}`")
        finally:
            self.conn.close()


def clickhouse_csv_insert(cur, table: str, columns, rows) -> None:
    """A loader for ``tpch.populate``: one INSERT with the rows as inline CSV
    (strings quoted, numbers not, so that they read back exactly)."""
    import csv
    import io

    text = io.StringIO()
    csv.writer(text, quoting=csv.QUOTE_NONNUMERIC, lineterminator="\n").writerows(rows)
    cur.execute(f'INSERT INTO "{table}" FORMAT CSV\n{text.getvalue()}')
