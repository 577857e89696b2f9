"""A one-table query on catalogues of 10 and 10**6 tables.

    python benchmarks/catalogue_size.py [--sizes 10,1000000] [--rounds 200]

A ``pellquist.models.Catalogue`` cannot change after construction, so it
builds its lower-cased lookup map once and every rewrite uses it: the call
should cost the same whatever the catalogue's size.  Prints, per size, the
time to build the catalogue and the best time of one rewrite.
"""

from __future__ import annotations

import argparse
import time

from pellquist.quist import Session
from workloads import synthetic_catalogue

QUERY = "SELECT col0 FROM tab1"


def best_call(session: Session, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        session.generateNativeSQL(QUERY)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,1000000")
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print("| tables | build s | best rewrite µs |\n|---:|---:|---:|")
    for n in sizes:
        start = time.perf_counter()
        catalogue = synthetic_catalogue(n)
        built = time.perf_counter() - start
        session = Session(catalogue, {"tenant": 1})
        print(f"| {n:,} | {built:.2f} | {best_call(session, args.rounds) * 1e6:.0f} |")


if __name__ == "__main__":
    main()
