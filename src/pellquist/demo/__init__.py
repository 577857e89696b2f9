"""The bundled demo: a shop catalogue and an in-memory SQLite database of two tenants."""

from __future__ import annotations

import sqlite3
from importlib import resources

from ..models import Catalogue, load_catalogue

CATALOGUE_FILE = "shop.toml"

# (public query, what it shows)
QUERIES: list[tuple[str, str]] = [
    ("SELECT id, name, city FROM sales.customers ORDER BY id",
     "a published table, read through its tenant filter"),
    ("SELECT c.name, COUNT(*) AS orders, SUM(o.amount) AS total\n"
     "FROM sales.orders AS o JOIN sales.customers AS c ON c.id = o.customer_id\n"
     "GROUP BY c.name ORDER BY total DESC",
     "a join: each side gets its own filtered subquery"),
    ("WITH big AS (SELECT * FROM sales.orders WHERE amount >= 100)\n"
     "SELECT COUNT(*) AS big_orders, MAX(amount) AS largest FROM big",
     "a CTE over a published table"),
    ("SELECT name FROM sales.products ORDER BY id",
     "a table without a filter: the same for every tenant"),
    ("DELETE FROM sales.orders",
     "refused: only plain reads are accepted"),
    ("SELECT name FROM sales.customers\nWHERE name NOT IN (SELECT cust_name FROM app_customer)",
     "refused: an attempt around the filter, reading the internal table itself"),
]

# Run on the database as it is, not through the rewrite: what the filters
# keep apart.
INTERNAL = ("SELECT tenant_id, cust_id, cust_name, cust_city FROM app_customer "
            "ORDER BY tenant_id, cust_id")

_CUSTOMERS = {
    1: [(1, "Ada Shop", "Leeds"), (2, "Brill & Co", "York"), (3, "Cobalt", "Hull")],
    2: [(1, "Zephyr Ltd", "Oslo"), (2, "Yew Works", "Bergen")],
}
_ORDERS = {
    1: [(10, 1, 120.0, "2026-01-04"), (11, 1, 35.5, "2026-01-09"), (12, 2, 99.0, "2026-02-01"),
        (13, 3, 410.0, "2026-02-11")],
    2: [(10, 1, 9000.0, "2026-01-05"), (11, 2, 15.0, "2026-03-02")],
}
_PRODUCTS = [(1, "Widget"), (2, "Gadget"), (3, "Sprocket")]


def catalogue() -> Catalogue:
    """The demo catalogue, loaded from the bundled shop.toml."""
    with resources.as_file(resources.files(__package__) / CATALOGUE_FILE) as path:
        return load_catalogue(path)


def database() -> sqlite3.Connection:
    """A new in-memory database with the internal tables and both tenants' rows."""
    db = sqlite3.connect(":memory:")
    db.executescript("""
        CREATE TABLE app_customer (tenant_id INTEGER, cust_id INTEGER, cust_name TEXT,
                                   cust_city TEXT);
        CREATE TABLE app_order (tenant_id INTEGER, ord_id INTEGER, ord_cust INTEGER,
                                ord_total REAL, ord_day TEXT);
        CREATE TABLE app_product (prod_id INTEGER, prod_label TEXT);
    """)
    for tenant, rows in _CUSTOMERS.items():
        db.executemany("INSERT INTO app_customer VALUES (?, ?, ?, ?)",
                       [(tenant, *r) for r in rows])
    for tenant, order_rows in _ORDERS.items():
        db.executemany("INSERT INTO app_order VALUES (?, ?, ?, ?, ?)",
                       [(tenant, *r) for r in order_rows])
    db.executemany("INSERT INTO app_product VALUES (?, ?)", _PRODUCTS)
    return db


TENANTS = sorted(_CUSTOMERS)
