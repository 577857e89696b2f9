"""Figures for pellquist serve in front of PostgreSQL.

    python benchmarks/gateway.py [--queries 2000] [--seconds 5] [--clients 8]
                                 [--rows 10000000]

Starts a throw-away PostgreSQL server (as the tests do), a database with a
small tenant table and a published view of ``--rows`` generated rows, and a
gateway in a process of its own, then prints a markdown table of:

* overhead: the median time of a small query sent straight to PostgreSQL
  (its rewrite, as the gateway would send it) and through the gateway with
  the rewrite cache warm, each reached over TCP on 127.0.0.1; the difference
  is what the gateway adds apart from the rewrite.  The gateway reaches
  PostgreSQL on its unix socket, and the direct query over that socket is
  shown too.  The same query through a relay that copies bytes between the
  client and PostgreSQL's socket and reads none of them shows what any
  proxy in Python costs on the machine.  The same query through a gateway
  without a cache, and the rewrite's own median time, are shown beside it;
* the cache hit itself (the key made from the tenant's params and the text,
  and the lookup), and the gateway process's CPU time per cached query;
* cached queries per second served by one gateway process, from
  ``--clients`` connections (asyncpg, its statement cache off, so every query
  is parsed again and found in the rewrite cache), with that process's CPU
  use;
* the gateway process's resident memory while one slow client streams the
  whole published view (psycopg's row-by-row ``stream``).
"""

from __future__ import annotations

import argparse
import asyncio
import multiprocessing
import os
import signal
import socket
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import psycopg  # noqa: E402

from conftest import _postgres_bin, postgres_server  # noqa: E402
from pellquist import rewrite  # noqa: E402
from pellquist.models import Catalogue, Column, Table  # noqa: E402

SMALL = "SELECT id, name FROM bench.customers WHERE id <= 2 ORDER BY id"
BIG = "SELECT id, label FROM bench.big"
PARAMS = {"tenant": 1}


def catalogue() -> Catalogue:
    return Catalogue([
        Table("bench.customers", "app_customer",
              {"cust_id": Column("id", "integer"), "cust_name": Column("name", "text")},
              "tenant_id = {tenant}"),
        Table("bench.big", "app_big",
              {"big_id": Column("id", "bigint"), "big_label": Column("label", "text")},
              "tenant_id = {tenant}"),
    ], dialect="postgres")


def prepare(dsn: dict[str, str], rows: int) -> str:
    with psycopg.connect(**dsn, autocommit=True) as admin:
        admin.execute("CREATE DATABASE bench")
    with psycopg.connect(**{**dsn, "dbname": "bench"}, autocommit=True) as db:
        db.execute("CREATE TABLE app_customer (tenant_id integer, cust_id integer, "
                   "cust_name text)")
        db.execute("INSERT INTO app_customer SELECT t, c, 'customer ' || c "
                   "FROM generate_series(1, 2) t, generate_series(1, 3) c")
        db.execute(f"CREATE VIEW app_big AS SELECT g AS big_id, 1 AS tenant_id, "
                   f"'row number ' || g AS big_label FROM generate_series(1, {int(rows)}) g")
    return f"postgresql:///bench?host={dsn['host']}&port={dsn['port']}&user={dsn['user']}"


def serve(url: str, cache_size: int, port_out: Any) -> None:
    """The gateway process: one worker, as ``pellquist serve`` runs it."""
    from pellquist.gateway.backends import open_backend
    from pellquist.gateway.server import Gateway, Settings
    from pellquist.gateway.users import User, make_verifier

    async def main() -> None:
        with ThreadPoolExecutor(16) as executor:
            backend = open_backend(url, executor, pool_size=10)
            users = {"alice": User("alice", make_verifier("alice"), PARAMS)}
            settings = Settings(host="127.0.0.1", port=0, rewrite_cache_size=cache_size,
                                max_connections_per_tenant=100)
            gateway = Gateway(catalogue(), users, backend, settings)
            await gateway.start()
            port_out.send(gateway.port)
            stop = asyncio.Event()
            asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
            await stop.wait()
            await gateway.close()

    asyncio.run(main())


def relay(socket_path: str, port_out: Any) -> None:
    """The floor of any proxy on this machine: bytes copied both ways
    between a TCP client and PostgreSQL's unix socket, in one asyncio loop,
    with nothing read or checked."""

    async def pump(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        finally:
            writer.close()

    async def connected(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        server_reader, server_writer = await asyncio.open_unix_connection(socket_path)
        await asyncio.gather(pump(reader, server_writer), pump(server_reader, writer),
                             return_exceptions=True)

    async def main() -> None:
        server = await asyncio.start_server(connected, "127.0.0.1", 0)
        port_out.send(server.sockets[0].getsockname()[1])
        await asyncio.Event().wait()

    asyncio.run(main())


class Process:
    def __init__(self, url: str, cache_size: int, target: Any = None, args: tuple = ()) -> None:
        context = multiprocessing.get_context("fork")
        receive, send = context.Pipe(False)
        self.process = context.Process(target=target or serve,
                                       args=(*(args or (url, cache_size)), send), daemon=True)
        self.process.start()
        self.port: int = receive.recv()

    @property
    def pid(self) -> int:
        assert self.process.pid is not None
        return self.process.pid

    def cpu(self) -> float:
        """User and system CPU seconds of the gateway process so far."""
        fields = Path(f"/proc/{self.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mib(self) -> float:
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
        return 0.0

    def dsn(self) -> str:
        return f"host=127.0.0.1 port={self.port} user=alice password=alice"

    def stop(self) -> None:
        self.process.terminate()
        self.process.join(30)


def timed(conn: Any, sql: str, n: int) -> list[float]:
    out = []
    for _ in range(n):
        start = time.perf_counter()
        conn.execute(sql).fetchall()
        out.append(time.perf_counter() - start)
    return out


def median_us(samples: list[float]) -> float:
    return statistics.median(samples) * 1e6


def overhead(dsn: dict[str, str], warm: Process, cold: Process, pipe: Process,
             n: int) -> dict[str, float]:
    published = catalogue()
    native = rewrite(published, SMALL, PARAMS, dialect="postgres")
    rewrites = []
    for _ in range(max(200, n // 10)):
        start = time.perf_counter()
        rewrite(published, SMALL, PARAMS, dialect="postgres")
        rewrites.append(time.perf_counter() - start)
    # A client reaches the gateway over TCP, so the like-for-like direct
    # query goes over TCP too: loopback TCP costs more per message than the
    # unix socket the gateway itself uses to reach PostgreSQL.
    bench = {**dsn, "dbname": "bench"}
    with psycopg.connect(**{**bench, "host": "127.0.0.1"}, autocommit=True) as direct, \
            psycopg.connect(**bench, autocommit=True) as local, \
            psycopg.connect(**{**bench, "host": "127.0.0.1", "port": pipe.port},
                            autocommit=True) as relayed, \
            psycopg.connect(warm.dsn(), autocommit=True) as through, \
            psycopg.connect(cold.dsn(), autocommit=True) as uncached:
        for conn, sql in ((direct, native), (local, native), (relayed, native),
                          (through, SMALL), (uncached, SMALL)):
            # Every query parsed again, as a client that does not prepare
            # sends it: the gateway finds it in its cache (or rewrites it).
            conn.prepare_threshold = None
            timed(conn, sql, 50)  # warm-up: connections made, the cache filled
        cpu = warm.cpu()
        gateway = timed(through, SMALL, n)
        cpu_per_query = (warm.cpu() - cpu) / n
        straight = timed(direct, native, n)
        unix = timed(local, native, n)
        floor = timed(relayed, native, n)
        without_cache = timed(uncached, SMALL, max(200, n // 5))
    return {"direct": median_us(straight), "socket": median_us(unix), "relay": median_us(floor),
            "gateway": median_us(gateway),
            "uncached": median_us(without_cache), "rewrite": median_us(rewrites),
            "cpu": cpu_per_query * 1e6}


def cache_hit(n: int = 200_000) -> float:
    """Microseconds for what a cached statement costs the session: the key,
    built from the tenant's params and the text, and the lookup."""
    from pellquist.gateway.cache import RewriteCache, catalogue_digest, params_key
    from pellquist.gateway.statements import Plan

    cache = RewriteCache()
    version = catalogue_digest(catalogue())
    cache.put(cache.key(version, params_key(PARAMS), SMALL, "postgres", True), Plan("wall"),
              SMALL)
    start = time.perf_counter()
    for _ in range(n):
        key = cache.key(version, params_key(PARAMS), SMALL, "postgres", True)
        assert cache.get(key) is not None
    return (time.perf_counter() - start) / n * 1e6


def throughput(gateway: Process, clients: int, seconds: float) -> tuple[float, float]:
    import asyncpg

    async def client(end: float) -> int:
        conn = await asyncpg.connect(host="127.0.0.1", port=gateway.port, user="alice",
                                     password="alice", statement_cache_size=0)
        done = 0
        try:
            while time.monotonic() < end:
                await conn.fetch(SMALL)
                done += 1
        finally:
            await conn.close()
        return done

    async def run() -> tuple[int, float, float]:
        await asyncio.gather(*(client(time.monotonic() + 1) for _ in range(clients)))
        cpu, start = gateway.cpu(), time.monotonic()
        counts = await asyncio.gather(*(client(start + seconds) for _ in range(clients)))
        elapsed = time.monotonic() - start
        return sum(counts), elapsed, gateway.cpu() - cpu

    done, elapsed, cpu = asyncio.run(run())
    return done / elapsed, cpu / elapsed


def streaming(gateway: Process) -> dict[str, float]:
    samples: list[float] = []
    stop = threading.Event()

    def sample() -> None:
        while not stop.is_set():
            samples.append(gateway.rss_mib())
            time.sleep(0.2)

    before = gateway.rss_mib()
    sampler = threading.Thread(target=sample, daemon=True)
    rows = 0
    start = time.monotonic()
    with psycopg.connect(gateway.dsn(), autocommit=True) as conn:
        sampler.start()
        for _ in conn.cursor().stream(BIG):
            rows += 1
            if rows % 100_000 == 0:
                time.sleep(0.05)  # a slow client: the gateway must wait, not buffer
    elapsed = time.monotonic() - start
    stop.set()
    sampler.join()
    tenth = max(1, len(samples) // 10)
    return {"rows": rows, "seconds": elapsed, "before": before, "max": max(samples),
            "early": statistics.median(samples[:tenth]),
            "late": statistics.median(samples[-tenth:])}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--rows", type=int, default=10_000_000)
    args = parser.parse_args()
    bindir = _postgres_bin()
    if bindir is None:
        sys.exit("PostgreSQL server binaries not found: apt-get install postgresql")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with postgres_server(bindir, tcp_port=port) as dsn:
        url = prepare(dsn, args.rows)
        warm, cold = Process(url, 10_000), Process(url, 0)
        pipe = Process(url, 0, relay, (f"{dsn['host']}/.s.PGSQL.{dsn['port']}",))
        try:
            lat = overhead(dsn, warm, cold, pipe, args.queries)
            cold.stop()
            pipe.stop()
            hit = cache_hit()
            qps, cpu_share = throughput(warm, args.clients, args.seconds)
            mem = streaming(warm)
        finally:
            warm.stop()
            cold.stop()
            pipe.stop()
    print(f"\npellquist serve on PostgreSQL ({os.cpu_count()} cores); small query: "
          f"`{SMALL}`\n")
    print("| figure | value |")
    print("| --- | --- |")
    print(f"| direct to PostgreSQL over TCP (the rewrite's SQL), median | {lat['direct']:.0f} µs |")
    print(f"| direct to PostgreSQL over its unix socket, median | {lat['socket']:.0f} µs |")
    print(f"| through the gateway over TCP, cache warm, median | {lat['gateway']:.0f} µs |")
    print(f"| **gateway overhead apart from the rewrite** | "
          f"**{lat['gateway'] - lat['direct']:.0f} µs** |")
    print(f"| through a byte relay (asyncio, nothing read), median | {lat['relay']:.0f} µs: "
          f"any proxy's floor, {lat['relay'] - lat['direct']:.0f} µs |")
    print(f"| through the gateway, no cache, median | {lat['uncached']:.0f} µs |")
    print(f"| the rewrite alone, median | {lat['rewrite']:.0f} µs |")
    print(f"| **cache hit (key and lookup)** | **{hit:.2f} µs** |")
    print(f"| gateway CPU per cached query (protocol, backend calls) | {lat['cpu']:.0f} µs |")
    print(f"| **cached queries per second, one worker process** ({args.clients} clients) | "
          f"**{qps:,.0f}** (the process at {cpu_share:.0%} of a core) |")
    print(f"| streaming {mem['rows']:,} rows to a slow client | {mem['seconds']:.0f} s, "
          f"{mem['rows'] / mem['seconds']:,.0f} rows/s |")
    print(f"| **gateway RSS while streaming**: before, first tenth, last tenth, max | "
          f"{mem['before']:.0f} / {mem['early']:.0f} / {mem['late']:.0f} / "
          f"**{mem['max']:.0f} MiB** |")


if __name__ == "__main__":
    main()
