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

It then tells what pellquist's own checks cost, by ablation: the read-back
parse of the native SQL, plus what the call saves when the statement walk
and the read-back judge are switched off (``unchecked``: the walk only
drops the parser's positions and gathers the CTE names, as the rewrite
needs, and the judge passes everything), as a share of the whole call.

Instruction counts repeat from run to run (the hash seed is fixed), so they
can be compared across runs and machines of one kind, busy or not.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import subprocess
import sys
import tempfile
from collections.abc import Iterator
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

        def read_back(d=dialect, natives=natives) -> None:
            for native in natives:
                sqlglot.parse_one(native, dialect=d)

        floor()
        rewrite()
        plain()
        gc.freeze()
        name = dialect or "default"
        phase(f"{name}/floor", floor)
        phase(f"{name}/pellquist", rewrite)
        phase(f"{name}/baseline", plain)
        phase(f"{name}/read-back", read_back)
        with _unchecked():
            assert natives == [session.generateNativeSQL(q, dialect) for q in queries]
            phase(f"{name}/unchecked", rewrite)
    labels.append(None)
    manifest.write_text(json.dumps({"labels": labels, "queries": len(queries),
                                    "sqlglot": sqlglot.__version__,
                                    "compiled": _compiled()}))


@contextlib.contextmanager
def _unchecked() -> Iterator[None]:
    """pellquist with its own checks switched off (see the module's doc)."""
    import pellquist.wall as wall
    from pellquist.wall import readback
    from sqlglot import exp

    cte = exp.CTE

    def check(call, tree):
        # As cheap as a walk can be: every meta goes, which on TPC-H holds
        # only the parser's positions (the driver checks that the native SQL
        # is the same), and no class but sqlglot's CTE is met.
        call.warnings_at = readback.warning_count()
        names = call.cte_names
        for node in wall.walk(tree):
            node._meta = None
            if type(node) is cte:
                names.add(node.alias)
        call.has_ctes = bool(names)
        return names

    saved = wall.Call.check, readback.refusal
    wall.Call.check, readback.refusal = check, lambda *args: None
    try:
        yield
    finally:
        wall.Call.check, readback.refusal = saved


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
    shares = []
    for python in args.python or [sys.executable]:
        info, ir = measure(python, args.passes)
        build = f"{info['sqlglot']} {'compiled' if info['compiled'] else 'pure'}"
        for dialect in DIALECTS:
            name = dialect or "default"
            floor, total = ir[f"{name}/floor"], ir[f"{name}/pellquist"]
            print(f"| {python} | {build} | {name} | {floor / 1e6:.1f} | {total / 1e6:.1f} | "
                  f"{(total - floor) / total:.0%} | {ir[f'{name}/baseline'] / 1e6:.1f} |")
        shares.append((python, build, ir))
    print()
    print("| interpreter | sqlglot | dialect | read-back parse M Ir | walk and judge M Ir "
          "| own checks / call |")
    print("|---|---|---|---:|---:|---:|")
    for python, build, ir in shares:
        for dialect in DIALECTS:
            name = dialect or "default"
            total, read_back = ir[f"{name}/pellquist"], ir[f"{name}/read-back"]
            walks = total - ir[f"{name}/unchecked"]
            print(f"| {python} | {build} | {name} | {read_back / 1e6:.2f} | {walks / 1e6:.2f} | "
                  f"{(read_back + walks) / total:.2%} |")


if __name__ == "__main__":
    main()
