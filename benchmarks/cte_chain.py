"""A chain of N CTEs, each reading the one before, over a published table.

    python benchmarks/cte_chain.py [--sizes 100,200,400,800] [--rounds 5]

Each CTE reference is judged for its scope; the cost per CTE should stay
flat as the chain grows.  Prints the best time of one rewrite per size and
per CTE.
"""

from __future__ import annotations

import argparse
import time

from pellquist.quist import Session
from workloads import PARAMS, tpch_catalogue


def chain(n: int) -> str:
    ctes = ["c0 AS (SELECT o_orderkey AS k FROM orders)"]
    ctes += [f"c{i} AS (SELECT k FROM c{i - 1})" for i in range(1, n)]
    return f"WITH {', '.join(ctes)} SELECT k FROM c{n - 1}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,200,400,800")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    session = Session(tpch_catalogue(), PARAMS)
    print("| CTEs | best rewrite ms | µs per CTE |\n|---:|---:|---:|")
    for n in (int(s) for s in args.sizes.split(",")):
        sql = chain(n)
        best = float("inf")
        for _ in range(args.rounds):
            start = time.perf_counter()
            session.generateNativeSQL(sql)
            best = min(best, time.perf_counter() - start)
        print(f"| {n} | {best * 1e3:.1f} | {best / n * 1e6:.0f} |")


if __name__ == "__main__":
    main()
