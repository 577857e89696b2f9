"""Minimal reproduction: compiled sqlglot leaks memory per dialect Generator.

    python benchmarks/sqlglot_generator_leak.py [--calls 100000]

Renders one small parsed statement N times with ``.sql(dialect=...)``, for
the default dialect and for postgres, and prints per 100,000 calls the
growth of the process's resident memory and of the blocks the interpreter
has allocated (``sys.getallocatedblocks``), after a collection.  With
sqlglot's compiled build (the ``sqlglot[c]`` extra, sqlglotc) the postgres
line grows by one block per call, never freed: an object made each time a
Generator is built for a named dialect and kept by a reference that is
never released.  The default dialect's line stays flat, and with pure
sqlglot neither grows.  With ``--where``, tracemalloc shows the kept
blocks (about 56 bytes each) allocated under ``Dialect.generator()``, at
``self.generator_class(**args)``.  Nothing of pellquist is imported.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import os
import sys

import sqlglot


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def growth(dialect: str | None, calls: int) -> tuple[float, float]:
    tree = sqlglot.parse_one("SELECT a, b FROM t WHERE c = 1")
    for _ in range(1000):  # warm caches
        tree.sql(dialect=dialect)
    gc.collect()
    blocks, before = sys.getallocatedblocks(), rss_kib()
    for _ in range(calls):
        tree.sql(dialect=dialect)
    gc.collect()
    scale = 100_000 / calls
    return (rss_kib() - before) * scale, (sys.getallocatedblocks() - blocks) * scale


def where(calls: int = 5_000) -> None:
    """Where the kept blocks were allocated, as tracemalloc sees it."""
    import tracemalloc

    tree = sqlglot.parse_one("SELECT a, b FROM t WHERE c = 1")
    tree.sql(dialect="postgres")
    tracemalloc.start(4)
    first = tracemalloc.take_snapshot()
    for _ in range(calls):
        tree.sql(dialect="postgres")
    gc.collect()
    grown = tracemalloc.take_snapshot().compare_to(first, "traceback")
    tracemalloc.stop()
    for stat in grown[:2]:
        print(f"\n{stat.count_diff:,} blocks kept over {calls:,} calls "
              f"({stat.size_diff // max(stat.count_diff, 1)} B each), allocated at:")
        print("\n".join(stat.traceback.format()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--where", action="store_true",
                        help="also show where tracemalloc sees the kept blocks allocated")
    args = parser.parse_args()
    try:
        compiled = importlib.metadata.version("sqlglotc")
    except importlib.metadata.PackageNotFoundError:
        compiled = None
    print(f"sqlglot {sqlglot.__version__}, "
          f"{'compiled (sqlglotc ' + compiled + ')' if compiled else 'pure Python'}")
    print("| dialect | RSS growth KiB / 100k calls | blocks kept / 100k calls |")
    print("|---|---:|---:|")
    for dialect in (None, "postgres"):
        rss, heap = growth(dialect, args.calls)
        print(f"| {dialect or 'default'} | {rss:,.0f} | {heap:,.0f} |")
    if args.where:
        where()


if __name__ == "__main__":
    main()
