"""Time Session.generateNativeSQL against the plain-Python baseline.

    python benchmarks/run.py [--quick] [--scale F] [--only tpch,refs,catalogue,filters]

Prints, as Markdown tables, the figures of one run: for every workload the
minimum and the median over repeated rounds, for pellquist and for the
baseline of benchmarks/baseline.py (the same rewrite written in Python on
the same sqlglot), and each figure as the ratio pellquist / baseline (below
1 means pellquist is faster).

Workloads:
  tpch       the 22 TPC-H queries over a catalogue with a tenant filter, in
             the default dialect and in postgres, with the floor (parse,
             render and read-back parse of the query) as a second reference;
  refs       one query naming k = 1, 4, 16, 64 catalogue tables;
  catalogue  a trivial query over catalogues of N = 10, 1,000, 100,000
             tables, which shows the per-call walk over the catalogue;
  filters    the TPC-H queries with the row filters on and off.

A round takes one sample of every call of a workload (pellquist and
baseline, and for the scaling figures every size), in an order that turns
from round to round, so that drift in the machine's speed falls on all of
them alike.  The collector runs between samples, not inside them, and what
the workload keeps alive (catalogues, sessions) is frozen out of it.  Before
any timing, each workload's output is checked to be the same text from both.

The load average is printed at the start and the end: timings taken while
other work runs on the machine are slower and noisier, the medians most.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.machinery
import importlib.metadata
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import sqlglot  # noqa: E402

from baseline import BaselineSession  # noqa: E402
from pellquist.quist import Session  # noqa: E402
from workloads import (  # noqa: E402
    PARAMS, ROW_FILTER, TRIVIAL_QUERY, references_query, synthetic_catalogue, tpch_catalogue,
    tpch_queries,
)

IMPLS = ("pellquist", "baseline")
SECTIONS = ("tpch", "refs", "catalogue", "filters")
REFS = (1, 4, 16, 64)
SIZES = (10, 1_000, 100_000)


# ---- the machine ------------------------------------------------------------

def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.lower().startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def sqlglot_compiled() -> bool:
    """Whether sqlglot's parser is loaded from a compiled extension module."""
    import sqlglot.parser
    return any(sqlglot.parser.__file__.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES)


def describe_sqlglot() -> str:
    text = f"sqlglot {sqlglot.__version__}, "
    if sqlglot_compiled():
        try:
            text += f"compiled (sqlglotc {importlib.metadata.version('sqlglotc')})"
        except importlib.metadata.PackageNotFoundError:
            text += "compiled"
    else:
        text += "pure Python (not compiled)"
    return text


def machine_lines() -> list[str]:
    import pellquist.quist
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        f"- CPU: {cpu_model()}, {cores} cores available",
        f"- Python: {platform.python_implementation()} {platform.python_version()} "
        f"({platform.python_compiler()})",
        f"- {describe_sqlglot()}",
        f"- pellquist {importlib.metadata.version('pellquist')} "
        f"from {Path(pellquist.quist.__file__).parent}",
    ]


def load_average() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg()) + " (1, 5, 15 min)"
    except OSError:
        return "unknown"


# ---- timing -----------------------------------------------------------------

class Samples(dict):
    """call key -> list of seconds per call, one entry per round."""

    def low(self, key) -> float:
        return min(self[key])

    def mid(self, key) -> float:
        return statistics.median(self[key])


def measure(calls: dict, rounds: int, inner: int = 1) -> Samples:
    """Times every call once per round, in an order that turns each round.

    Every call runs ``inner`` times in a row for one sample; the collector
    runs before each sample and is off during it.
    """
    samples = Samples({key: [] for key in calls})
    keys = list(calls)
    clock = time.perf_counter_ns
    # What lives now (catalogues, sessions) lives for the whole measurement:
    # frozen, it is left out of the collections between samples, which then
    # stay small and do not flush the caches before each sample.
    gc.collect()
    gc.freeze()
    try:
        _rounds(samples, calls, keys, rounds, inner, clock)
    finally:
        gc.unfreeze()
    return samples


def _rounds(samples: Samples, calls: dict, keys: list, rounds: int, inner: int, clock) -> None:
    for r in range(rounds):
        shift = r % len(keys)
        order = keys[shift:] + keys[:shift]
        for key in (order if r % 2 == 0 else order[::-1]):
            fn = calls[key]
            gc.collect()
            gc.disable()
            try:
                t0 = clock()
                for _ in range(inner):
                    fn()
                elapsed = clock() - t0
            finally:
                gc.enable()
            samples[key].append(elapsed / inner / 1e9)


def same_output(label: str, calls: Mapping[str, Callable[[], object]]) -> None:
    """Runs every call once (a warm-up too) and checks that all agree."""
    outputs = {name: fn() for name, fn in calls.items()}
    first = outputs[IMPLS[0]]
    for name, out in outputs.items():
        if out != first:
            raise AssertionError(f"{label}: {name} differs from {IMPLS[0]}:\n{out}\n---\n{first}")


def pair(sessions: dict[str, Any], sql: str, dialect: str | None) -> dict[str, Callable[[], str]]:
    def call(session: Any) -> Callable[[], str]:
        return lambda: session.generateNativeSQL(sql, dialect)
    return {name: call(s) for name, s in sessions.items()}


def sessions_over(catalogue) -> dict[str, Any]:
    return {"pellquist": Session(catalogue, PARAMS), "baseline": BaselineSession(catalogue, PARAMS)}


# ---- printing ---------------------------------------------------------------

def fmt(value: float, unit: float) -> str:
    v = value / unit
    if v >= 100:
        return f"{v:,.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def ratio(a: float, b: float) -> str:
    # A difference of two figures can come out negative on a noisy machine;
    # a ratio of such figures means nothing.
    return f"{a / b:.3f}" if a > 0 and b > 0 else "n/a"


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        padded = (str(c).ljust(w) if i == 0 else str(c).rjust(w)
                  for i, (c, w) in enumerate(zip(cells, widths)))
        return "| " + " | ".join(padded) + " |"

    print(line(headers))
    print("|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|")
    for row in rows:
        print(line(row))
    print()


def figure_cells(lo_p: float, mid_p: float, lo_b: float, mid_b: float, unit: float) -> list[str]:
    return [fmt(lo_p, unit), fmt(mid_p, unit), fmt(lo_b, unit), fmt(mid_b, unit),
            ratio(lo_p, lo_b), ratio(mid_p, mid_b)]


def cells(s: Samples, unit: float, tag=None) -> list[str]:
    """The six figures of one workload; ``tag`` picks keys ``(impl, tag)``."""
    key = (lambda impl: impl) if tag is None else (lambda impl: (impl, tag))
    return figure_cells(s.low(key("pellquist")), s.mid(key("pellquist")),
                        s.low(key("baseline")), s.mid(key("baseline")), unit)


def headers(first: str, unit: str) -> list[str]:
    return [first, f"pellquist min {unit}", f"pellquist median {unit}", f"baseline min {unit}",
            f"baseline median {unit}", "ratio min", "ratio median"]


# ---- the workloads ----------------------------------------------------------

def floor_call(sql: str, native: str, dialect: str | None) -> Callable[[], str]:
    """What any rewrite of this design spends on sqlglot for one query:
    parsing it, rendering the rewritten tree (here the parse of the native
    SQL, which renders to the same text) and parsing the native SQL back."""
    tree = sqlglot.parse_one(native, dialect=dialect)

    def call() -> str:
        sqlglot.parse_one(sql, dialect=dialect)
        text = tree.sql(dialect=dialect, identify=True)
        sqlglot.parse_one(text, dialect=dialect)
        return text
    return call


def bench_tpch(rounds: int) -> None:
    queries = tpch_queries()
    sessions = sessions_over(tpch_catalogue())
    for dialect in (None, "postgres"):
        label = dialect or "default"
        rows, total = [], {k: 0.0 for k in ("lp", "mp", "lb", "mb", "lf")}
        for name, sql in queries.items():
            calls: dict[str, Callable[[], str]] = pair(sessions, sql, dialect)
            calls["floor"] = floor_call(sql, calls["pellquist"](), dialect)
            same_output(f"TPC-H {name} ({label})", calls)
            s = measure(calls, rounds)
            rows.append([name, *cells(s, 1e-6), fmt(s.low("floor"), 1e-6),
                         ratio(s.low("pellquist"), s.low("floor"))])
            total["lp"] += s.low("pellquist")
            total["mp"] += s.mid("pellquist")
            total["lb"] += s.low("baseline")
            total["mb"] += s.mid("baseline")
            total["lf"] += s.low("floor")
        rows.append(["all 22", *figure_cells(total["lp"], total["mp"], total["lb"], total["mb"],
                                               1e-6),
                     fmt(total["lf"], 1e-6), ratio(total["lp"], total["lf"])])
        print(f"### (a) TPC-H, 22 queries, tenant filter, dialect {label}: µs per call\n")
        print(f"{rounds} rounds per query; the last row adds up the 22 queries.  The floor "
              "is parse + render + read-back parse of the same query on the same sqlglot, "
              "which no rewrite of this design can go below.\n")
        print_table([*headers("query", "µs"), "floor min µs", "pellquist / floor min"], rows)


def bench_refs(rounds: int) -> None:
    sessions = sessions_over(synthetic_catalogue(max(REFS)))
    rows = []
    for k in REFS:
        calls = pair(sessions, references_query(k), None)
        same_output(f"{k} references", calls)
        s = measure(calls, rounds)
        rows.append([str(k), *cells(s, 1e-6),
                     fmt(s.low("pellquist") / k, 1e-6), fmt(s.low("baseline") / k, 1e-6)])
    print("### (b) One query naming k catalogue tables (4 columns each, tenant filter): "
          "µs per call\n")
    print(f"{rounds} rounds; catalogue of {max(REFS)} tables; the last two columns are the "
          f"minimum per reference.\n")
    print_table([*headers("k", "µs"), "pellquist µs/ref", "baseline µs/ref"], rows)


def bench_catalogue(rounds: int) -> None:
    # All sizes are timed in the same rounds, so that the differences
    # between sizes (the walk) are not skewed by drift in the machine.
    calls = {}
    for n in SIZES:
        sessions = sessions_over(synthetic_catalogue(n))
        pairs = pair(sessions, TRIVIAL_QUERY, None)
        same_output(f"catalogue of {n}", pairs)
        calls.update({(impl, n): fn for impl, fn in pairs.items()})
    # Several calls per sample keep the clock's resolution out of the short
    # figures, and the same count for every size keeps the samples alike.
    s = measure(calls, rounds, inner=3)
    print(f"### (c) Trivial query `{TRIVIAL_QUERY}` over catalogues of N tables "
          f"(4 columns each, tenant filter): µs per call\n")
    print(f"{rounds} rounds of 3 calls.\n")
    print_table(headers("N tables", "µs"), [[f"{n:,}", *cells(s, 1e-6, n)] for n in SIZES])

    small = SIZES[0]
    walk_rows = []
    for n in SIZES[1:]:
        def d(stat: str, impl: str, n: int = n) -> float:
            get = getattr(s, stat)
            return (get((impl, n)) - get((impl, small))) / (n - small)
        walk_rows.append([f"{n:,}", *figure_cells(d("low", "pellquist"), d("mid", "pellquist"),
                                                    d("low", "baseline"), d("mid", "baseline"),
                                                    1e-9)])
    print(f"Catalogue walk, ns per table: (time(N) - time({small})) / (N - {small}).\n")
    print_table(headers("N tables", "ns/table"), walk_rows)
    del calls, s
    gc.collect()


def bench_filters(rounds: int) -> None:
    # Query by query, like (a): short samples keep the minimum clear of
    # interruptions; the four calls of a query share their rounds.
    queries = tpch_queries()
    sessions = {label: sessions_over(tpch_catalogue(filters))
                for label, filters in (("on", ROW_FILTER), ("off", None))}
    total: dict[tuple[str, str, str], float] = {}
    for name, sql in queries.items():
        calls = {}
        for label, by_impl in sessions.items():
            pairs = pair(by_impl, sql, None)
            same_output(f"TPC-H {name}, filters {label}", pairs)
            calls.update({(impl, label): fn for impl, fn in pairs.items()})
        s = measure(calls, rounds)
        for key in calls:
            total[("low", *key)] = total.get(("low", *key), 0.0) + s.low(key)
            total[("mid", *key)] = total.get(("mid", *key), 0.0) + s.mid(key)

    def figures(pick) -> list[str]:
        return figure_cells(pick("low", "pellquist"), pick("mid", "pellquist"),
                            pick("low", "baseline"), pick("mid", "baseline"), 1e-3)

    rows = [[label, *figures(lambda stat, impl, label=label: total[(stat, impl, label)])]
            for label in ("on", "off")]
    rows.append(["on - off", *figures(
        lambda stat, impl: total[(stat, impl, "on")] - total[(stat, impl, "off")])])
    print("### (d) Row filters on and off: the 22 TPC-H queries, default dialect, "
          "ms for all 22\n")
    print(f"{rounds} rounds per query; each figure adds up the 22 queries; the last row is "
          f"what the filters cost.\n")
    print_table(headers("filters", "ms"), rows)


# ---- main -------------------------------------------------------------------

# Rounds per workload in a full run, sized so that the whole run stays well
# inside five minutes on two cores.
ROUNDS = {"tpch": 40, "refs": 30, "catalogue": 40, "filters": 30}
QUICK = {"tpch": 3, "refs": 3, "catalogue": 3, "filters": 3}


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few rounds only, for a smoke run")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every round count")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated subset of {','.join(SECTIONS)}")
    args = parser.parse_args(argv)
    only = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = set(only) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    base = QUICK if args.quick else ROUNDS
    rounds = {k: max(2, round(v * args.scale)) for k, v in base.items()}

    start = time.perf_counter()
    now = datetime.datetime.now(datetime.timezone.utc)
    print(f"## pellquist benchmarks, {now:%Y-%m-%d %H:%M} UTC\n")
    print("\n".join(machine_lines()))
    print(f"- load average at start: {load_average()}")
    print("\nFigures are min and median over rounds; ratio = pellquist / baseline "
          "(below 1: pellquist faster).\n")
    sys.stdout.flush()

    bench = {"tpch": bench_tpch, "refs": bench_refs, "catalogue": bench_catalogue,
             "filters": bench_filters}
    for section in SECTIONS:
        if section in only:
            bench[section](rounds[section])
            sys.stdout.flush()
    print(f"Load average at the end: {load_average()}")
    print(f"Total run time: {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
