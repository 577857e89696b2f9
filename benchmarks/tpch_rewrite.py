"""Time generateNativeSQL on the 22 TPC-H queries.

    python benchmarks/tpch_rewrite.py [--rounds N] [--dialect D]

Prints, per query, the minimum and median microseconds per call over the
rounds, and the totals.  The catalogue publishes the eight TPC-H tables under
their own names over renamed internal tables with a tenant filter.
"""

from __future__ import annotations

import argparse
import gzip
import re
import statistics
import time
from pathlib import Path

from pellquist.models import Catalogue, Column, Table
from pellquist.quist import Session

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "tpch"
TABLES = ("customer", "lineitem", "nation", "orders", "part", "partsupp", "region", "supplier")


def catalogue(data: Path = DATA, tenant_filter: bool = True) -> Catalogue:
    tables = {}
    for name in TABLES:
        with gzip.open(data / f"{name}.csv.gz", "rt") as f:
            header = f.readline().strip().split("|")
        tables[name] = Table(name, f"t_{name}", {f"c_{c}": Column(c) for c in header},
                             "tenant_id = {tenant}" if tenant_filter else None)
    return Catalogue(tables)


def queries(data: Path = DATA) -> dict[str, str]:
    text = (data / "queries.sql").read_text()
    parts = re.split(r"^-- (Q\d+)\s*$", text, flags=re.M)
    return {parts[i]: parts[i + 1].strip().rstrip(";") for i in range(1, len(parts), 2)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--dialect", default=None)
    args = parser.parse_args()
    session = Session(catalogue(), {"tenant": 1})
    rewrite = session.generateNativeSQL
    print(f"{'query':<6} {'min µs':>9} {'median µs':>10}")
    mins, medians = [], []
    for name, sql in queries().items():
        for _ in range(3):
            rewrite(sql, args.dialect)
        samples = []
        for _ in range(args.rounds):
            t0 = time.perf_counter()
            rewrite(sql, args.dialect)
            samples.append((time.perf_counter() - t0) * 1e6)
        mins.append(min(samples))
        medians.append(statistics.median(samples))
        print(f"{name:<6} {mins[-1]:>9.0f} {medians[-1]:>10.0f}")
    print(f"{'mean':<6} {statistics.mean(mins):>9.0f} {statistics.mean(medians):>10.0f}")


if __name__ == "__main__":
    main()
