"""Nothing reaches beyond this machine: the suite runs where only loopback
exists, and a function that would open a connection is refused before any
engine could run it."""

from __future__ import annotations

import socket
import sys
import types

import pytest

from conftest import network_guard, require_chdb, unavailable
from pellquist.models import Catalogue, Table
from pellquist.quist import Session


@pytest.mark.parametrize("address, allowed", [
    (("127.0.0.1", 5432), True),
    (("127.8.9.1", 80), True),
    (("::1", 80, 0, 0), True),
    (("localhost", 80), True),
    (("192.0.2.1", 80), False),
    (("10.0.0.1", 80), False),
    (("2001:db8::1", 80, 0, 0), False),
    (("example.org", 80), False),
    ((b"192.0.2.1", 80), False),
])
def test_the_guard_lets_only_loopback_through(address, allowed):
    sock = types.SimpleNamespace(family=socket.AF_INET)
    for event in ("socket.connect", "socket.sendto"):
        if allowed:
            network_guard(event, (sock, address))
        else:
            with pytest.raises(PermissionError, match="nothing beyond loopback"):
                network_guard(event, (sock, address))


def test_the_guard_is_installed():
    # sys.audit runs the hooks without any socket: nothing is sent.
    with pytest.raises(PermissionError):
        sys.audit("socket.connect", types.SimpleNamespace(family=socket.AF_INET),
                  ("192.0.2.1", 80))


def test_the_suite_runs_where_only_loopback_exists():
    interfaces = sorted(name for _index, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        unavailable(f"the suite runs with network interfaces {interfaces} (make test runs it "
                    "in a namespace holding only loopback)", "make test")


# ---- functions that open connections --------------------------------------------

# Row makers and calls that reach another server, an object store or a URL,
# by the engine whose SQL names them; every target is this machine's.
NETWORK_CALLS = {
    "clickhouse": [
        "url('http://127.0.0.1:9/x.csv', 'CSV', 'a String')",
        "urlCluster('default', 'http://127.0.0.1:9/x.csv', 'CSV', 'a String')",
        "remote('127.0.0.1:9', 'db', 't', 'u', 'p')",
        "remoteSecure('127.0.0.1:9', 'db', 't', 'u', 'p')",
        "cluster('default', 'db', 't')",
        "mysql('127.0.0.1:9', 'db', 't', 'u', 'p')",
        "postgresql('127.0.0.1:9', 'db', 't', 'u', 'p')",
        "mongodb('127.0.0.1:9', 'db', 'c', 'u', 'p', 'a String')",
        "redis('127.0.0.1:9', 'k', 'k String, v String')",
        "jdbc('jdbc:mysql://127.0.0.1:9/db', 'db', 't')",
        "odbc('DSN=x', 'db', 't')",
        "s3('http://127.0.0.1:9/bucket/x.csv', 'CSV', 'a String')",
        "s3Cluster('default', 'http://127.0.0.1:9/bucket/x.csv')",
        "gcs('http://127.0.0.1:9/bucket/x.csv', 'CSV', 'a String')",
        "hdfs('hdfs://127.0.0.1:9/x.csv', 'CSV', 'a String')",
        "azureBlobStorage('http://127.0.0.1:9/a', 'c', 'x.csv', 'CSV', 'a String')",
        "icebergS3('http://127.0.0.1:9/bucket/t')",
        "deltaLake('http://127.0.0.1:9/bucket/t')",
        "hudi('http://127.0.0.1:9/bucket/t')",
        "elasticsearch('http://127.0.0.1:9', 'index')",
        "ytsaurus('http://127.0.0.1:9', '//t', 'token')",
        "prometheusQuery('http://127.0.0.1:9', 'up', 0)",
    ],
    "duckdb": [
        "read_csv('http://127.0.0.1:9/x.csv')",
        "read_parquet('s3://bucket/x.parquet')",
        "read_json('https://127.0.0.1:9/x.json')",
        "postgres_scan('host=127.0.0.1 port=9', 'public', 't')",
        "postgres_query('host=127.0.0.1 port=9', 'SELECT 1')",
        "mysql_query('host=127.0.0.1 port=9', 'SELECT 1')",
        "iceberg_scan('s3://bucket/t')",
        "delta_scan('s3://bucket/t')",
    ],
    "postgres": [
        "dblink('host=127.0.0.1 port=9', 'SELECT 1')",
        "dblink_connect('host=127.0.0.1 port=9')",
        "dblink_exec('host=127.0.0.1 port=9', 'SELECT 1')",
    ],
    "spark": [
        "read_files('http://127.0.0.1:9/x.csv')",
        "reflect('java.net.URL', 'openStream')",
        "java_method('java.net.InetAddress', 'getByName', '127.0.0.1')",
    ],
}

ORDERS = Table("orders", "app_order", {"id": "id"}, "tenant_id = {tenant}")
CATALOGUES = {
    "strict": Catalogue([ORDERS]),
    "plain": types.SimpleNamespace(tables={"orders": ORDERS}),
}


@pytest.mark.parametrize("catalogue", CATALOGUES)
@pytest.mark.parametrize("dialect, call", [
    pytest.param(dialect, call, id=f"{dialect}-{call.split('(')[0]}")
    for dialect, calls in NETWORK_CALLS.items() for call in calls])
def test_a_network_call_is_refused_wherever_it_stands(catalogue, dialect, call):
    session = Session(CATALOGUES[catalogue], {"tenant": 1})
    for sql in (f"SELECT * FROM {call}",
                f"SELECT o.id FROM orders AS o JOIN {call} AS x ON TRUE",
                f"SELECT {call} FROM orders",
                f"SELECT id FROM orders WHERE id IN (SELECT 1 FROM {call})"):
        with pytest.raises(Exception) as refused:
            session.generateNativeSQL(sql, dialect)
        assert "reads rows from" in str(refused.value) \
            or "can read data outside the published tables" in str(refused.value), sql


@pytest.mark.parametrize("call", [
    "remote('127.0.0.1:9', 'db', 't', 'u', 'p')",
    "postgresql('127.0.0.1:9', 'db', 't', 'u', 'p')",
])
def test_clickhouse_runs_a_network_row_maker_it_is_given(call):
    """The engine itself opens the connection (refused on loopback here):
    only the rewrite stands between a query and another server."""
    chdb = require_chdb()
    with pytest.raises(Exception, match="(?i)connection refused"):
        chdb.query(f"SELECT * FROM {call} SETTINGS connect_timeout = 1")
