"""Count instructions with callgrind: how much of a call is the module's own code.

    python benchmarks/callgrind.py [--passes M] [--calls C] [--keep DIR]

Runs a driver under ``valgrind --tool=callgrind`` and reads back, for each
measured phase, the instructions (Ir) executed in all, and the self cost of
the functions whose object file is the compiled module (quist*.so): code in
the module itself, not in the interpreter or sqlglot it calls.

The driver marks the borders of its phases by calling ``os.getppid()``, and
callgrind is told to dump its counters whenever the C library's getppid is
entered (``--dump-before=getppid``), so every phase lands in a profile part
of its own and the start-up, the imports, the building of catalogues and the
warm-up are left out.  Each measured phase runs with the collector off, after
a collection, as in run.py.  Phases:

* TPC-H: M passes over the 22 queries, default dialect and postgres, for
  pellquist and for the baseline;
* catalogue walk: C calls of the trivial query over catalogues of 10 and of
  100,000 tables; (Ir per call at 100,000 - Ir per call at 10) / 99,990 is
  the walk's cost per table.

Instruction counts repeat from run to run (the hash seed is fixed), so
unlike timings they can be compared across runs on a busy machine.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
WALK_SIZES = (10, 100_000)


# ---- the driver (runs under callgrind) ----------------------------------------

def driver(manifest: Path, passes: int, calls: int) -> None:
    sys.path.insert(0, str(HERE))
    from baseline import BaselineSession
    from pellquist.quist import Session
    from workloads import PARAMS, TRIVIAL_QUERY, synthetic_catalogue, tpch_catalogue, tpch_queries

    labels: list[str | None] = []  # the label of each profile part, in order

    def mark(label: str | None) -> None:
        labels.append(label)
        os.getppid()

    def phase(label: str, fn, reps: int) -> None:
        gc.collect()
        gc.disable()
        mark(None)
        for _ in range(reps):
            fn()
        mark(label)
        gc.enable()

    impls: dict[str, Any] = {"pellquist": Session, "baseline": BaselineSession}
    queries = list(tpch_queries().values())
    catalogue = tpch_catalogue()
    sessions = {name: cls(catalogue, PARAMS) for name, cls in impls.items()}
    for dialect in (None, "postgres"):
        outputs = {name: [s.generateNativeSQL(q, dialect) for q in queries]
                   for name, s in sessions.items()}
        assert outputs["pellquist"] == outputs["baseline"], dialect
    gc.collect()
    gc.freeze()
    for dialect in (None, "postgres"):
        for name, s in sessions.items():
            phase(f"tpch/{dialect or 'default'}/{name}",
                  lambda s=s, d=dialect: [s.generateNativeSQL(q, d) for q in queries], passes)

    for n in WALK_SIZES:
        small = synthetic_catalogue(n)
        walkers = {name: cls(small, PARAMS) for name, cls in impls.items()}
        assert len({s.generateNativeSQL(TRIVIAL_QUERY) for s in walkers.values()}) == 1
        gc.collect()
        gc.freeze()
        for name, s in walkers.items():
            phase(f"walk/{n}/{name}", lambda s=s: s.generateNativeSQL(TRIVIAL_QUERY), calls)
        del small, walkers
        gc.unfreeze()
        gc.collect()

    labels.append(None)  # the part from the last mark to the exit
    manifest.write_text(json.dumps(labels))


# ---- reading callgrind's output -----------------------------------------------

_COMPRESSED = re.compile(r"\((\d+)\)(?:\s+(.*))?")


class Part:
    """One profile part: its number, the total Ir and the self Ir per object file."""

    def __init__(self, path: Path) -> None:
        self.number = 0
        self.total = 0
        self.by_object: dict[str, int] = defaultdict(int)
        objects: dict[str, str] = {}

        def resolve(text: str) -> str:
            m = _COMPRESSED.fullmatch(text.strip())
            if not m:
                return text.strip()
            if m.group(2) is not None:
                objects[m.group(1)] = m.group(2)
            return objects.get(m.group(1), "???")

        positions = 1
        current = "???"
        after_call = False
        with open(path) as f:
            for line in f:
                head = line[:1]
                if head.isdigit() or head in "+-*":
                    if after_call:  # the inclusive cost of a call, not self cost
                        after_call = False
                        continue
                    fields = line.split()
                    if len(fields) > positions:
                        self.by_object[current] += int(fields[positions])
                elif line.startswith("ob="):
                    current = resolve(line[3:])
                elif line.startswith("cob="):
                    resolve(line[4:])
                elif line.startswith("calls="):
                    after_call = True
                elif line.startswith("part:"):
                    self.number = int(line.split(":", 1)[1])
                elif line.startswith("positions:"):
                    positions = len(line.split(":", 1)[1].split())
                elif line.startswith("summary:") or line.startswith("totals:"):
                    self.total = int(line.split(":", 1)[1].split()[0])
        counted = sum(self.by_object.values())
        if self.total and counted != self.total:
            raise ValueError(f"{path}: self costs add up to {counted}, totals say {self.total}")
        self.total = self.total or counted

    def module_self(self) -> int:
        return sum(v for k, v in self.by_object.items() if is_module(k))


def is_module(object_path: str) -> bool:
    name = Path(object_path).name
    return name.startswith("quist") and ".so" in name


# ---- the parent ---------------------------------------------------------------

def run_callgrind(workdir: Path, passes: int, calls: int) -> dict[str, Part]:
    manifest = workdir / "parts.json"
    out = workdir / "callgrind.out"
    cmd = [
        "valgrind", "--tool=callgrind", "--dump-before=getppid",
        f"--callgrind-out-file={out}", sys.executable, str(Path(__file__).resolve()),
        "--driver", str(manifest), "--passes", str(passes), "--calls", str(calls),
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    print(f"running: {' '.join(cmd)}", file=sys.stderr)
    result = subprocess.run(cmd, env=env, cwd=workdir, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"callgrind run failed with exit code {result.returncode}")
    labels = json.loads(manifest.read_text())
    parts = {}
    for path in workdir.glob("callgrind.out*"):
        part = Part(path)
        label = labels[part.number - 1] if 0 < part.number <= len(labels) else None
        if label:
            parts[label] = part
    missing = {label for label in labels if label} - set(parts)
    if missing:
        raise SystemExit(f"no profile part for: {', '.join(sorted(missing))}")
    return parts


def print_table(headers, rows) -> None:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    fmt = lambda cells: "| " + " | ".join(  # noqa: E731
        c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))) + " |"
    print(fmt(headers))
    print("|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|")
    for row in rows:
        print(fmt(row))
    print()


def report(parts: dict[str, Part], passes: int, calls: int) -> None:
    import platform

    import sqlglot
    sys.path.insert(0, str(HERE))
    from run import describe_sqlglot

    print("## Instructions under callgrind (PYTHONHASHSEED=0)\n")
    print(f"- Python {platform.python_version()}, {describe_sqlglot()}")
    print(f"- sqlglot from {Path(sqlglot.__file__).parent}\n")

    rows = []
    tpch_total = tpch_module = 0
    for dialect in ("default", "postgres"):
        p, b = parts[f"tpch/{dialect}/pellquist"], parts[f"tpch/{dialect}/baseline"]
        own = p.module_self()
        tpch_total += p.total
        tpch_module += own
        rows.append([f"TPC-H 22 queries, {dialect}", str(passes), f"{p.total:,}",
                     f"{own:,}", f"{100 * own / p.total:.3f} %", f"{b.total:,}",
                     f"{p.total / b.total:.4f}"])
    rows.append(["TPC-H, both dialects", str(2 * passes), f"{tpch_total:,}", f"{tpch_module:,}",
                 f"{100 * tpch_module / tpch_total:.3f} %", "", ""])
    print(f"### TPC-H: {passes} passes of the 22 queries per dialect\n")
    print_table(["workload", "passes", "pellquist Ir", "Ir in quist.so (self)", "share",
                 "baseline Ir", "Ir ratio pellquist/baseline"], rows)

    p = parts["tpch/default/pellquist"]
    print("Where the instructions of the default-dialect phase go, by object file (self Ir):\n")
    top = sorted(p.by_object.items(), key=lambda kv: -kv[1])[:6]
    print_table(["object", "Ir", "share"],
                [[Path(k).name, f"{v:,}", f"{100 * v / p.total:.3f} %"] for k, v in top])

    small, big = WALK_SIZES
    rows = []
    for impl in ("pellquist", "baseline"):
        lo, hi = parts[f"walk/{small}/{impl}"], parts[f"walk/{big}/{impl}"]
        per_table = (hi.total - lo.total) / calls / (big - small)
        own_per_table = (hi.module_self() - lo.module_self()) / calls / (big - small)
        rows.append([impl, f"{lo.total / calls:,.0f}", f"{hi.total / calls:,.0f}",
                     f"{per_table:.1f}", f"{own_per_table:.1f}" if impl == "pellquist" else ""])
    print(f"### Catalogue walk: trivial query, {calls} calls per catalogue size\n")
    print(f"Ir per table = (Ir per call at {big:,} - Ir per call at {small}) / {big - small:,}.\n")
    print_table(["implementation", f"Ir per call, N={small}", f"Ir per call, N={big:,}",
                 "Ir per table", "of which quist.so self"], rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=2, help="TPC-H passes per phase")
    parser.add_argument("--calls", type=int, default=3, help="calls per catalogue-walk phase")
    parser.add_argument("--keep", type=Path, help="keep callgrind's files in this folder")
    parser.add_argument("--driver", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.driver:
        driver(args.driver, args.passes, args.calls)
        return
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed (apt-get install valgrind)")
    start = time.perf_counter()
    if args.keep:
        args.keep.mkdir(parents=True, exist_ok=True)
        parts = run_callgrind(args.keep, args.passes, args.calls)
    else:
        with tempfile.TemporaryDirectory(prefix="pellquist-callgrind-") as tmp:
            parts = run_callgrind(Path(tmp), args.passes, args.calls)
    report(parts, args.passes, args.calls)
    print(f"Total run time: {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
