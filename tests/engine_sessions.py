"""In-process ClickHouse (chdb) and local Spark for the engine tests (a helper
module, not a test).

* :class:`ClickHouseDatabase` is one database of the process's chdb server as
  a DB-API connection: every statement on it runs in that database, the way
  a deployment's connection runs the native SQL in the internal one.
* :func:`start_spark` starts the one Spark of a test run, lean for local
  mode; :class:`SparkDatabase` is one of its databases, with a session of its
  own whose current database it is.

Both engines are big (a JVM; a whole ClickHouse in a shared library), so
each runs once per process and every test module takes its databases from
it, under names of its own.
"""

from __future__ import annotations

import shutil
import tempfile
from pathlib import Path

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


# ---- Spark ---------------------------------------------------------------------

# Local mode, two cores, no UI, no Hive: the catalogue lives in memory and
# tables are Parquet files in a temporary warehouse. Two shuffle partitions
# instead of 200 keep each small query's stages short.
SPARK_CONFIG = {
    "spark.master": "local[2]",
    "spark.app.name": "pellquist-tests",
    "spark.ui.enabled": "false",
    "spark.ui.showConsoleProgress": "false",
    "spark.sql.shuffle.partitions": "2",
    "spark.default.parallelism": "2",
    "spark.driver.memory": "1g",
    "spark.sql.catalogImplementation": "in-memory",
    "spark.sql.sources.parallelPartitionDiscovery.parallelism": "1",
    # A system property holding a marker, which the attack suite's JVM calls
    # and ${system:...} substitutions try to read.
    "spark.driver.extraJavaOptions": "-Dlog4j2.level=error -XX:+UseSerialGC "
                                     "-Dpellquist.wall.probe=LEAK-SECRET-jvm-property",
}


def java_available() -> bool:
    return shutil.which("java") is not None


class Spark:
    """The run's one local Spark, with its warehouse folder."""

    def __init__(self):
        from py4j.protocol import Py4JError
        from pyspark.errors import PySparkException
        from pyspark.sql import SparkSession

        self.warehouse = Path(tempfile.mkdtemp(prefix="pellquist-spark-"))
        builder = SparkSession.builder
        for key, value in SPARK_CONFIG.items():
            builder = builder.config(key, value)
        builder = builder.config("spark.sql.warehouse.dir", str(self.warehouse))
        self.session = builder.getOrCreate()
        # Task failures (a query that raises) are the tests' business, not
        # the log's.
        self.session.sparkContext.setLogLevel("OFF")
        # What a statement Spark won't run raises: its own exceptions, and
        # a Java one that Spark did not translate.
        self.errors = (PySparkException, Py4JError)

    def stop(self) -> None:
        try:
            self.session.stop()
        finally:
            shutil.rmtree(self.warehouse, ignore_errors=True)


class SparkDatabase:
    """A database of the run's Spark, created on first use and dropped on
    :meth:`close`, with a session of its own whose current database it is
    (sessions share the catalogue and the data, not the current database or
    the settings)."""

    def __init__(self, spark: Spark, name: str):
        self.name = name
        self.session = spark.session.newSession()
        self.session.sql(f"DROP DATABASE IF EXISTS `{name}` CASCADE")
        self.session.sql(f"CREATE DATABASE `{name}`")
        self.session.catalog.setCurrentDatabase(name)
        # Rows of a VALUES list go to one task, and an INSERT of them to one
        # file: a scan that skipped a file by its statistics would never
        # meet another tenant's rows at all.
        self.session.conf.set("spark.sql.leafNodeDefaultParallelism", "1")

    def rows(self, sql: str) -> list[tuple]:
        return [tuple(row) for row in self.session.sql(sql).collect()]

    def execute(self, sql: str) -> None:
        self.session.sql(sql).collect()

    def load(self, table: str, schema: str, rows) -> None:
        """Creates ``table`` (a Parquet table; ``schema`` in Spark's DDL) holding ``rows``."""
        import csv

        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / f"{table}.csv"
            with path.open("w", newline="") as f:
                csv.writer(f, quoting=csv.QUOTE_NONNUMERIC).writerows(rows)
            frame = (self.session.read.schema(schema).option("quote", '"').option("escape", '"')
                     .option("mode", "FAILFAST").csv(str(path)))
            frame.write.format("parquet").saveAsTable(f"`{self.name}`.`{table}`")

    def close(self) -> None:
        self.session.sql(f"DROP DATABASE IF EXISTS `{self.name}` CASCADE")
