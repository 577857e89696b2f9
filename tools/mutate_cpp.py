#!/usr/bin/env python3
"""The hand-written mutants of the wall's C++ (tools/mutants/cpp.toml),
each built and tested alone.

    python3.12 tools/mutate_cpp.py [ID ...] [--ref COMMIT] [--list FILE]

In build/mutate/cpp: a copy of the work tree (or of COMMIT), its own CMake
build, and the venv of tools/mutate.py.  The unmutated copy is built and
tested first; the wall tests must pass on it.  Then, for each mutant: its
text replaced in the copy, the core built again (only that file is
compiled), the wall tests run with the copy's src/ on the path, and the
original text put back.  A mutant is killed when the tests fail, crash or
run out of time; one that does not build is reported and not counted.

The results go to build/mutate/cpp.json, which `tools/mutate.py report`
reads.  `--list tools/mutants/seeded.toml` runs another list of the same
form (any file of the tree, Python too: the tests import the copy's src/),
its results going to build/mutate/<its name>.json.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutate  # noqa: E402  (the shared venv, copy and build)

from mutate import ROOT, VENV_PY, WORK, say  # noqa: E402

MUTANTS = ROOT / "tools" / "mutants" / "cpp.toml"
CPP = WORK / "cpp"


def load_mutants(path: Path = MUTANTS) -> list[dict]:
    return tomllib.loads(path.read_text())["mutant"]


def caught_by(output: str) -> str:
    """The test that failed first, as pytest's summary names it; or how the run ended."""
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split(" ", 1)[1].split(" - ", 1)[0]
    return "a crash" if "Fatal Python error" in output else "the run's exit status"


def run_tests(tree: Path, timeout: float) -> tuple[str, float, str]:
    """("passed" | "failed" | "timeout" | "error", seconds, the output's tail)."""
    cmd = [VENV_PY, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *mutate.wall_tests()]
    started = time.monotonic()
    code, out = mutate.run_offline(cmd, tree, mutate.test_env(PYTHONPATH=str(tree / "src")), timeout,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if code is None:
        return "timeout", time.monotonic() - started, out[-2000:]
    seconds = time.monotonic() - started
    tail = out[-2000:]
    if code == 0:
        return "passed", seconds, tail
    # 1: a test failed; a signal: the interpreter crashed.  3 (an internal
    # error) comes from a crash while collecting.  Anything else (no tests
    # collected, a usage error) is the run's fault, not the mutant's.
    if code in (1, 3) or code < 0:
        return "failed", seconds, tail
    return "error", seconds, tail


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ids", nargs="*", help="only these mutants")
    parser.add_argument("--ref", default=os.environ.get("MUTATE_REF") or None,
                        help="mutate this commit instead of the work tree (or MUTATE_REF)")
    parser.add_argument("--list", type=Path, default=MUTANTS,
                        help=f"the mutants' file (default {MUTANTS.relative_to(ROOT)})")
    args = parser.parse_args()

    started = time.monotonic()
    listed = args.list.resolve()
    mutants = load_mutants(listed)
    unknown = set(args.ids) - {m["id"] for m in mutants}
    if unknown:
        raise SystemExit(f"no such mutant in {args.list}: {', '.join(sorted(unknown))}")
    if args.ids:
        mutants = [m for m in mutants if m["id"] in args.ids]
    equivalent = {e["id"]: e["reason"] for e in mutate.load_equivalent().get("cpp", [])}

    mutate.ensure_venv(mutate.python_for_venv())
    tree, build = CPP / "tree", CPP / "cmake"
    say(f"copying {args.ref or 'the work tree'} to {tree.relative_to(ROOT)}")
    mutate.snapshot(tree, args.ref)
    say("building and testing the unmutated copy")
    mutate.build_core(tree, build, clean=True)
    outcome, baseline, tail = run_tests(tree, timeout=3600)
    if outcome != "passed":
        print(tail)
        raise SystemExit("the wall tests fail on the unmutated copy: fix that first")
    # A mutant that makes the tests loop is stopped well after a clean run's time.
    timeout = max(120.0, 5 * baseline)
    say(f"the wall tests pass in {baseline:.0f} s; {len(mutants)} mutants, each stopped after {timeout:.0f} s")

    results = {"killed": 0, "survived": 0, "equivalent": 0, "broken": [], "survivors": [], "mutants": []}
    for m in mutants:
        path = tree / m["file"]
        source = path.read_text()
        if source.count(m["original"]) != 1:
            say(f"{m['id']}: its text is not in {m['file']} exactly once: judge the mutant again")
            results["broken"].append({"id": m["id"], "why": "text not found once"})
            continue
        path.write_text(source.replace(m["original"], m["replacement"]))
        try:
            try:
                mutate.build_core(tree, build)
            except subprocess.CalledProcessError:
                say(f"{m['id']}: does not build")
                results["broken"].append({"id": m["id"], "why": "does not build"})
                continue
            outcome, seconds, tail = run_tests(tree, timeout)
        finally:
            path.write_text(source)
        if outcome == "error":
            print(tail)
            raise SystemExit(f"{m['id']}: the test run itself failed")
        killed = outcome in ("failed", "timeout")
        if m["id"] in equivalent:
            status = "equivalent"
            results["equivalent"] += 1
        elif killed:
            status = "killed" if outcome == "failed" else "killed (timeout)"
            results["killed"] += 1
        else:
            status = "survived"
            results["survived"] += 1
            results["survivors"].append({"id": m["id"], "file": m["file"], "fault": m["fault"]})
        by = caught_by(tail) if outcome == "failed" else ""
        results["mutants"].append({"id": m["id"], "status": status, "seconds": round(seconds),
                                   "caught_by": by})
        say(f"{m['id']}: {status} ({seconds:.0f} s){f', by {by}' if by else ''}")
    # Leave the build as the copy's own source makes it.
    mutate.build_core(tree, build)

    results["seconds"] = round(time.monotonic() - started)
    out = mutate.CPP_RESULTS if listed == MUTANTS else mutate.WORK / f"{listed.stem}.json"
    out.write_text(json.dumps(results, indent=2))
    counted = results["killed"] + results["survived"]
    print(f"\n{listed.name}: {mutate.share(results['killed'], counted)} killed; "
          f"{results['survived']} survived, {results['equivalent']} equivalent (not counted), "
          f"{len(results['broken'])} not applied; {mutate.minutes(results['seconds'])}")
    for s in results["survivors"]:
        print(f"  survived: {s['id']} ({s['file']}): {s['fault']}")
    return 1 if results["broken"] else 0


if __name__ == "__main__":
    sys.exit(main())
