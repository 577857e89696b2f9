"""Instructions per TPC-H query under callgrind: the rewrite against its floor.

    python benchmarks/instructions.py [--python PY ...] [--passes M]

For each interpreter (default: this one; pass another venv's python to
compare a build of another commit, or the other sqlglot build), runs the
22 TPC-H queries in the default and postgres dialects under
``valgrind --tool=callgrind`` and prints the instructions (Ir) per query of:

* ``floor``: what any rewrite of this design must spend on the same
  sqlglot: parsing the query, rendering the rewritten tree, and parsing
  the native SQL back;
* ``pellquist``: ``Session(...).generateNativeSQL(query, dialect)``, whose
  share over the floor is the rewrite's own work: building the subqueries,
  parsing the filters, and the wall's checks;
* ``baseline``: the same rewrite with the same checks written in Python
  (``baseline.py``).

Instruction counts repeat from run to run (the hash seed is fixed), so they
can be compared across runs and machines of one kind, busy or not.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
DIALECTS = (None, "postgres")


def driver(manifest: Path, passes: int) -> None:
    sys.path.insert(0, str(HERE))
    import sqlglot
    from baseline import BaselineSession
    from pellquist.quist import Session
    from workloads import PARAMS, tpch_catalogue, tpch_queries

    labels: list[str | None] = []

    def phase(label: str, fn) -> None:
        gc.collect()
        gc.disable()
        labels.append(None)
        os.getppid()
        for _ in range(passes):
            fn()
        labels.append(label)
        os.getppid()
        gc.enable()

    queries = list(tpch_queries().values())
    session = Session(tpch_catalogue(), PARAMS)
    baseline = BaselineSession(tpch_catalogue(), PARAMS)
    for dialect in DIALECTS:
        natives = [session.generateNativeSQL(q, dialect) for q in queries]
        assert natives == [baseline.generateNativeSQL(q, dialect) for q in queries]
        trees = [sqlglot.parse_one(n, dialect=dialect) for n in natives]

        def floor(d=dialect, natives=natives, trees=trees) -> None:
            for q, native, tree in zip(queries, natives, trees):
                sqlglot.parse_one(q, dialect=d)
                tree.sql(dialect=d, identify=True)
                sqlglot.parse_one(native, dialect=d)

        def rewrite(d=dialect) -> None:
            for q in queries:
                session.generateNativeSQL(q, d)

        def plain(d=dialect) -> None:
            for q in queries:
                baseline.generateNativeSQL(q, d)

        floor()
        rewrite()
        plain()
        gc.freeze()
        name = dialect or "default"
        phase(f"{name}/floor", floor)
        phase(f"{name}/pellquist", rewrite)
        phase(f"{name}/baseline", plain)
    labels.append(None)
    manifest.write_text(json.dumps({"labels": labels, "queries": len(queries),
                                    "sqlglot": sqlglot.__version__,
                                    "compiled": _compiled()}))


def _compiled() -> bool:
    import sqlglot.parser
    return not str(sqlglot.parser.__file__).endswith(".py")


def measure(python: str, passes: int) -> tuple[dict, dict[str, float]]:
    sys.path.insert(0, str(HERE))
    from callgrind import Part

    with tempfile.TemporaryDirectory(prefix="pellquist-ir-") as tmp:
        work = Path(tmp)
        manifest = work / "parts.json"
        cmd = ["valgrind", "--tool=callgrind", "--dump-before=getppid",
               f"--callgrind-out-file={work / 'callgrind.out'}", python, str(Path(__file__)),
               "--driver", str(manifest), "--passes", str(passes)]
        result = subprocess.run(cmd, env=dict(os.environ, PYTHONHASHSEED="0"), cwd=work,
                                capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stderr[-4000:])
            raise SystemExit(f"callgrind run under {python} failed")
        info = json.loads(manifest.read_text())
        per_query: dict[str, float] = {}
        for path in work.glob("callgrind.out*"):
            part = Part(path)
            labels = info["labels"]
            label = labels[part.number - 1] if 0 < part.number <= len(labels) else None
            if label:
                per_query[label] = part.total / (passes * info["queries"])
    return info, per_query


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter to measure (repeatable)")
    parser.add_argument("--passes", type=int, default=2)
    parser.add_argument("--driver", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.driver:
        driver(args.driver, args.passes)
        return
    print("| interpreter | sqlglot | dialect | floor M Ir | pellquist M Ir | over floor "
          "| baseline M Ir |")
    print("|---|---|---|---:|---:|---:|---:|")
    for python in args.python or [sys.executable]:
        info, ir = measure(python, args.passes)
        build = f"{info['sqlglot']} {'compiled' if info['compiled'] else 'pure'}"
        for dialect in DIALECTS:
            name = dialect or "default"
            floor, total = ir[f"{name}/floor"], ir[f"{name}/pellquist"]
            print(f"| {python} | {build} | {name} | {floor / 1e6:.1f} | {total / 1e6:.1f} | "
                  f"{(total - floor) / total:.0%} | {ir[f'{name}/baseline'] / 1e6:.1f} |")


if __name__ == "__main__":
    main()
