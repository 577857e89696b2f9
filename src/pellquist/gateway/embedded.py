"""The gateway with nothing configured: the bundled demo shop on an
in-memory DuckDB, two tenants, and a demo user for each."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import Any

from .. import demo
from ..models import Catalogue, Column, Table
from .backends import DuckDBBackend
from .users import User, make_verifier

# The demo's internal tables, with the column types DuckDB keeps them in.
_TABLES = {
    "app_customer": {"tenant_id": "INTEGER", "cust_id": "INTEGER", "cust_name": "VARCHAR",
                     "cust_city": "VARCHAR"},
    "app_order": {"tenant_id": "INTEGER", "ord_id": "INTEGER", "ord_cust": "INTEGER",
                  "ord_total": "DOUBLE", "ord_day": "DATE"},
    "app_product": {"prod_id": "INTEGER", "prod_label": "VARCHAR"},
}

# (user, password, tenant)
DEMO_USERS = [("alice", "alice", 1), ("bob", "bob", 2)]


def _database() -> Any:
    import duckdb

    source = demo.database()
    db = duckdb.connect(":memory:")
    for table, columns in _TABLES.items():
        db.execute(f"CREATE TABLE {table} ("
                   + ", ".join(f"{c} {t}" for c, t in columns.items()) + ")")
        rows = source.execute(f"SELECT {', '.join(columns)} FROM {table}").fetchall()
        marks = ", ".join("?" for _ in columns)
        db.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
    source.close()
    db.execute("SET enable_external_access = false")
    db.execute("SET lock_configuration = true")
    return db


def _catalogue() -> Catalogue:
    """The demo catalogue for DuckDB, each column typed as the table holds it."""
    base = demo.catalogue()
    tables = []
    for table in base.tables.values():
        internal = str(table.name.name) if not isinstance(table.name, str) else table.name
        types = _TABLES[internal]
        columns = {name: Column(c.pub_name, types[name]) for name, c in table.columns.items()}
        tables.append(Table(table.pub_name, table.name, columns, table.filters))
    return Catalogue(tables, base.allowed_functions, base.fence, "duckdb")


def embedded(executor: ThreadPoolExecutor) -> tuple[Catalogue, dict[str, User], DuckDBBackend]:
    users = {name: User(name, make_verifier(password), {"tenant": tenant})
             for name, password, tenant in DEMO_USERS}
    return _catalogue(), users, DuckDBBackend(executor, _database())
