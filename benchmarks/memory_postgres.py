"""Memory over many rewrites in the postgres dialect, on this sqlglot build.

    python benchmarks/memory_postgres.py [--calls 100000]

Rewrites the 22 TPC-H queries in turn, N calls in all, after a warm-up,
and prints per 100,000 calls the growth of resident memory and of the
blocks the interpreter has allocated (``sys.getallocatedblocks``), after a
collection.  Run it under each install (``pip install pellquist`` for pure
sqlglot, ``pellquist[fast]`` for the compiled build) to compare them; the
compiled build's own leak is shown apart by sqlglot_generator_leak.py.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import sys
import time

import sqlglot
from pellquist.quist import Session
from sqlglot_generator_leak import rss_kib
from workloads import PARAMS, tpch_catalogue, tpch_queries


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    args = parser.parse_args()
    try:
        build = f"compiled (sqlglotc {importlib.metadata.version('sqlglotc')})"
    except importlib.metadata.PackageNotFoundError:
        build = "pure Python"
    session = Session(tpch_catalogue(), PARAMS)
    queries = list(tpch_queries().values())
    for q in queries * 20:  # warm-up: caches filled, arenas grown
        session.generateNativeSQL(q, "postgres")
    gc.collect()
    blocks, rss, start = sys.getallocatedblocks(), rss_kib(), time.perf_counter()
    for i in range(args.calls):
        session.generateNativeSQL(queries[i % len(queries)], "postgres")
    seconds = time.perf_counter() - start
    gc.collect()
    scale = 100_000 / args.calls
    print(f"sqlglot {sqlglot.__version__}, {build}: {args.calls:,} postgres rewrites in "
          f"{seconds:.0f} s; per 100k calls: RSS {(rss_kib() - rss) * scale:+,.0f} KiB, "
          f"blocks {(sys.getallocatedblocks() - blocks) * scale:+,.0f}")


if __name__ == "__main__":
    main()
