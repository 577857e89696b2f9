#!/usr/bin/env python
"""The fuzz properties of tests/test_fuzz.py, run for as long as asked.

Runs the three hypothesis properties of tests/sqlgen.py in turn, in batches
of --batch examples with a fresh random seed each, until --minutes have
passed: generated statements over generated catalogues and params, simple
reads under hostile filters and params, and the TPC-H queries mutated.
Checks the unmutated TPC-H corpus first.  Prints the statements tried, the
time, and how the statements ended; exits 1 if a property failed.

The input being tried is kept in --last-input, so that if the interpreter
crashes the file names the statement that did it.

    python scripts/fuzz_long.py --minutes 10
"""

from __future__ import annotations

import argparse
import faulthandler
import logging
import sys
import tempfile
import time
import traceback
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--batch", type=int, default=500,
                        help="examples per hypothesis run (default 500)")
    parser.add_argument("--only", choices=["generated", "hostile_params", "mutated_tpch"],
                        action="append", help="run only these properties")
    parser.add_argument("--last-input", default=str(Path(tempfile.gettempdir()) /
                                                    "pellquist-fuzz-last-input.txt"))
    args = parser.parse_args(argv)

    faulthandler.enable()
    logging.getLogger("sqlglot").setLevel(logging.CRITICAL)
    sys.path.insert(0, str(TESTS))
    import sqlgen

    sqlgen.USE_EXAMPLE_DATABASE = False
    names = args.only or list(sqlgen.PROPERTIES)
    last = sqlgen.LastInput(args.last_input)
    print(f"pellquist fuzz: {', '.join(names)} for {args.minutes:g} min; "
          f"input being tried kept in {args.last_input}", flush=True)

    start = time.monotonic()
    corpus = sqlgen.Tally()
    sqlgen.check_tpch_corpus(corpus)
    print(f"TPC-H corpus as written: {len(sqlgen.TPCH_QUERIES)} queries x "
          f"{len(sqlgen.TPCH_DIALECTS)} dialects, {corpus.kinds}", flush=True)

    deadline = start + args.minutes * 60
    tallies = {n: sqlgen.Tally() for n in names}
    seconds = dict.fromkeys(names, 0.0)
    runs = dict.fromkeys(names, 0)
    failures: list[tuple[str, str]] = []
    while time.monotonic() < deadline:
        for name in names:
            if time.monotonic() >= deadline:
                break
            t0 = time.monotonic()
            try:
                sqlgen.PROPERTIES[name](args.batch, tallies[name], last)
            except Exception:  # noqa: BLE001 - reported, and the run goes on
                failures.append((name, traceback.format_exc()))
                print(f"FAILED {name}:\n{failures[-1][1]}", flush=True)
            seconds[name] += time.monotonic() - t0
            runs[name] += 1
        total = sum(t.tried for t in tallies.values())
        print(f"  {time.monotonic() - start:7.0f} s: {total:,} statements", flush=True)

    elapsed = time.monotonic() - start
    total = sum(t.tried for t in tallies.values()) + corpus.tried
    print()
    print(f"{'property':<16}{'statements':>12}{'seconds':>10}{'per s':>8}{'runs':>6}")
    for name in names:
        t = tallies[name]
        print(f"{name:<16}{t.tried:>12,}{seconds[name]:>10.0f}"
              f"{t.tried / max(seconds[name], 1e-9):>8.0f}{runs[name]:>6}")
        for kind, count in sorted(t.kinds.items(), key=lambda kv: -kv[1]):
            print(f"    {kind:<48}{count:>10,}")
    print(f"{'all':<16}{total:>12,}{elapsed:>10.0f}   (with the corpus as written)")
    print(f"seed corpus: {len(sqlgen.TPCH_QUERIES)} TPC-H queries")
    if failures:
        print(f"{len(failures)} failures: {', '.join(n for n, _ in failures)}")
        return 1
    print("OK: every property held")
    return 0


if __name__ == "__main__":
    sys.exit(main())
