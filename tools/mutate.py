#!/usr/bin/env python3
"""Faults seeded into the wall, and the share of them the wall's tests catch.

    python3.12 tools/mutate.py python [GLOB ...]   # mutmut over src/pellquist/wall/
    python3.12 tools/mutate_cpp.py [ID ...]        # the hand-written C++ mutants
    python3.12 tools/mutate.py report              # both kill shares
    python3.12 tools/mutate.py recount             # the last Python run, after an
                                                   # edit of tools/mutants/equivalent.toml

``make mutate`` runs all three.  A GLOB narrows the Python run to the
mutants whose names match it (``'pellquist.wall.fence.*'``).

Everything happens under build/mutate/: a copy of the work tree as it is
now (tracked files and untracked ones git does not ignore), a venv of its
own holding the test dependencies at the lock's versions, and a CMake build
of the compiled core from that copy.  Nothing is written to src/ or to
.venv, which other runs may be using at the same time.

mutmut copies src/pellquist into the copy's mutants/ directory, with every
function of the wall replaced by a switch between its original and its
mutants, and puts mutants/src first on the path.  The compiled modules
(``pellquist.quist``, ``pellquist.wall._tree``) are placed next to the
copied sources before it starts, so the tests import the mutated wall
together with the core built from the same tree.

A mutant is killed when a wall test fails, crashes or runs out of time
under it.  The mutants in tools/mutants/equivalent.toml behave as the
original does on every input: they are counted as neither killed nor
surviving.  A mutant no wall test reaches counts as surviving.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# PELLQUIST_MUTATE_WORK runs a second Python run beside one in progress
# (each run replaces its work folder's copy of the tree).
WORK = Path(os.environ.get("PELLQUIST_MUTATE_WORK", ROOT / "build" / "mutate")).resolve()
VENV = WORK / "venv"
VENV_PY = VENV / "bin" / "python"
LOCK = ROOT / "requirements" / "lock.txt"
EQUIVALENT = ROOT / "tools" / "mutants" / "equivalent.toml"
OFFLINE = ROOT / "tools" / "offline"
PY_RESULTS = WORK / "python.json"
CPP_RESULTS = WORK / "cpp.json"

# The heavy engines are left out of these runs (PELLQUIST_SKIP_HEAVY_ENGINES),
# so their packages are not installed: they are most of the test extra's size.
HEAVY = {"chdb", "pyspark"}
TEST_ENV = {"CI": "true", "PELLQUIST_SKIP_HEAVY_ENGINES": "1"}
PYTHON_TARGET = 0.95
CPP_TARGET = 1.0

# mutmut's exit codes per mutant.  Killed: a test failed (1), the tests
# could not be collected under the mutant though they were without it (2),
# pytest failed inside (3), the run went past its time (24, 36, 152, 255 and
# the signal) or crashed (a signal).  Reached by no test: 5, 33.  Any other
# (0 included) is not killed, and is printed with its code.
KILLED = {1, 2, 3, 24, -24, 152, 255, 36, -6, -9, -11}
NO_TESTS = {5, 33}


def say(*parts: object) -> None:
    print("==>", *parts, flush=True)


def run(cmd: list[str | Path], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in cmd], check=True, **kwargs)


# ---- the copy ----------------------------------------------------------------------


def snapshot(dest: Path, ref: str | None = None) -> None:
    """Copies the work tree's files as they are now into ``dest``, afresh;
    with ``ref``, that commit's files instead.

    By default uncommitted edits are included: the point is to test the wall
    one is changing.  Modification times are kept, so the CMake build of an
    unchanged copy is not redone."""
    if dest.exists():
        shutil.rmtree(dest)
    dest.mkdir(parents=True)
    if ref:
        archive = subprocess.run(["git", "archive", "--format=tar", ref], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(dest)], input=archive, check=True)
        # mutmut reads its settings from the copy: the work tree's, whatever
        # the commit had.
        _set_section(dest / "pyproject.toml", "tool.mutmut", _section(ROOT / "pyproject.toml", "tool.mutmut"))
        shutil.copytree(ROOT / "tools" / "mutants", dest / "tools" / "mutants", dirs_exist_ok=True)
        return
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = ROOT / name
        if not source.is_file():
            continue  # deleted in the work tree but not yet in the index
        target = dest / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target, follow_symlinks=False)


def _section(path: Path, table: str) -> str:
    """The text of a TOML file's [table], with the comment lines right above it."""
    lines = path.read_text().splitlines(keepends=True)
    header = lines.index(f"[{table}]\n")
    start = header
    while start and lines[start - 1].startswith("#"):
        start -= 1
    end = header + 1
    while end < len(lines) and not lines[end].startswith("["):
        end += 1
    # The comments and blank lines before the next table are the next table's.
    while end > header + 1 and (not lines[end - 1].strip() or lines[end - 1].startswith("#")):
        end -= 1
    return "".join(lines[start:end])


def _set_section(path: Path, table: str, text: str) -> None:
    current = path.read_text()
    try:
        current = current.replace(_section(path, table), "")
    except ValueError:
        pass
    path.write_text(current.rstrip("\n") + "\n\n" + text)


def _requirements(pyproject: Path) -> list[str]:
    project = tomllib.loads(pyproject.read_text())["project"]
    extras = project["optional-dependencies"]
    wanted = project["dependencies"] + extras["fast"] + extras["test"]
    keep = [r for r in wanted if _name(r) not in HEAVY]
    return keep + ["mutmut", "cmake", "ninja"]


def _name(requirement: str) -> str:
    for i, ch in enumerate(requirement):
        if not (ch.isalnum() or ch in "-_."):
            return requirement[:i].lower()
    return requirement.lower()


def ensure_venv(python: str) -> None:
    """build/mutate/venv with the wall tests' dependencies, at the lock's
    versions; reinstalled only when the lock or the requirements change."""
    requirements = _requirements(ROOT / "pyproject.toml")
    stamp = VENV / ".installed"
    digest = hashlib.sha256(LOCK.read_bytes() + "\n".join(requirements).encode()).hexdigest()
    if stamp.exists() and stamp.read_text() == digest and VENV_PY.exists():
        return
    if not VENV_PY.exists():
        say(f"creating {VENV.relative_to(ROOT)}")
        run([python, "-m", "venv", VENV])
    say("installing the wall tests' dependencies and mutmut (pinned by requirements/lock.txt)")
    run([VENV_PY, "-m", "pip", "install", "-q", "-c", LOCK, "--upgrade", "pip"])
    run([VENV_PY, "-m", "pip", "install", "-q", "-c", LOCK, *requirements])
    stamp.write_text(digest)


def build_core(tree: Path, build: Path, clean: bool = False) -> list[Path]:
    """Builds the compiled modules from ``tree`` in ``build`` (Release, as a
    wheel is built) and places them in ``tree``'s src/pellquist, where the
    copied sources import them.  After a one-file change only that file is
    compiled again; ``clean`` compiles everything, for a fresh copy, whose
    files may be older than objects an interrupted run left mutated."""
    bin_ = VENV / "bin"
    if not (build / "build.ninja").exists():
        run([bin_ / "cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             f"-DPython_EXECUTABLE={VENV_PY}", f"-DCMAKE_MAKE_PROGRAM={bin_ / 'ninja'}"],
            stdout=subprocess.DEVNULL)
    run([bin_ / "cmake", "--build", build, *(["--clean-first"] if clean else [])],
        stdout=subprocess.DEVNULL)
    placed = []
    for pattern, where in (("quist.*.so", "src/pellquist"), ("_tree.*.so", "src/pellquist/wall")):
        for module in build.glob(pattern):
            target = tree / where / module.name
            shutil.copy2(module, target)
            placed.append(target)
    if len(placed) != 2:
        raise SystemExit(f"the build in {build} did not make both compiled modules")
    return placed


# ---- the test runs' own servers --------------------------------------------------


def netns(pid: int) -> str | None:
    try:
        return os.readlink(f"/proc/{pid}/ns/net")
    except OSError:
        return None


def run_netns(proc: subprocess.Popen) -> str | None:
    """The network namespace tools/offline made for ``proc``, or None when it
    made none (without root the command runs in this process's)."""
    own = netns(os.getpid())
    for _ in range(100):
        if proc.poll() is not None:
            return None
        ns = netns(proc.pid)
        if ns and ns != own:
            return ns
        time.sleep(0.05)
    return None


def stop_servers(ns: str | None) -> int:
    """Stops the PostgreSQL servers left running in the namespace ``ns``.

    The suite starts a server per test session and stops it when the session
    ends; a test run killed for its time (a mutant that loops) or
    interrupted never gets there.  Every process in the namespace is one of
    this run's, so nothing of anyone else's is touched."""
    if not ns or ns == netns(os.getpid()):
        return 0
    stopped = 0
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or netns(int(entry.name)) != ns:
            continue
        try:
            argv = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if not argv[0].endswith(b"/postgres") or b"-D" not in argv:
            continue
        data = Path(argv[argv.index(b"-D") + 1].decode())
        pg_ctl = Path(argv[0].decode()).parent / "pg_ctl"
        as_postgres = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        subprocess.run([*as_postgres, str(pg_ctl), "-D", str(data), "-m", "immediate", "stop"],
                       capture_output=True)
        # The suite's server lives in a temporary folder of its own.
        if data.name == "data" and data.parent.name.startswith("pellquist-pg-"):
            shutil.rmtree(data.parent, ignore_errors=True)
        stopped += 1
    return stopped


def run_offline(cmd: list[str | Path], cwd: Path, env: dict[str, str], timeout: float | None = None,
                **kwargs) -> tuple[int | None, str]:
    """Runs ``cmd`` under tools/offline, in a session of its own; on its
    time running out the whole session is killed (returncode None).  Either
    way the servers its tests left are stopped.  Returns the returncode and
    the output when it was captured."""
    proc = subprocess.Popen([str(OFFLINE), *(str(c) for c in cmd)], cwd=cwd, env=env,
                            start_new_session=True, **kwargs)
    ns = run_netns(proc)
    try:
        out, _ = proc.communicate(timeout=timeout)
        code: int | None = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        code = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        stop_servers(ns)
        raise
    stop_servers(ns)
    return code, out or ""


def wall_tests() -> list[str]:
    """The test files that exercise the wall: the ones mutmut runs, from
    pyproject.toml's [tool.mutmut]."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["mutmut"]
    return list(config["pytest_add_cli_args_test_selection"])


def test_env(**extra: str) -> dict[str, str]:
    # Bytecode is written: each mutant's process imports the mutated wall
    # afresh, and compiling its modules (every mutant of every function is in
    # them) from source took longer than most mutants' tests.
    env = {k: v for k, v in os.environ.items()
           if k not in ("VIRTUAL_ENV", "PYTHONHOME", "PYTHONDONTWRITEBYTECODE")}
    env.update(TEST_ENV)
    env["PATH"] = f"{VENV / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    env.update(extra)
    return env


def python_for_venv() -> str:
    """The interpreter the venv is made from: this one (make passes CPython 3.12)."""
    if sys.version_info[:2] not in ((3, 12), (3, 13)):
        raise SystemExit("tools/mutate.py needs CPython 3.12 or 3.13")
    return sys.executable


# ---- equivalent mutants ------------------------------------------------------------


def load_equivalent() -> dict:
    return tomllib.loads(EQUIVALENT.read_text()) if EQUIVALENT.exists() else {}


def _changed_lines(diff: str) -> tuple[list[str], list[str]]:
    removed, added = [], []
    for line in diff.splitlines():
        if line.startswith(("---", "+++")):
            continue
        if line.startswith("-"):
            removed.append(line[1:].strip())
        elif line.startswith("+"):
            added.append(line[1:].strip())
    return removed, added


def is_listed(entry: dict, name: str, diff: str) -> bool:
    """Whether ``entry`` of equivalent.toml is the mutant ``name``: the same
    function, and the same line before and after.  Numbers shift when a
    function changes; the lines do not, unless the code they name did."""
    function = name.rpartition("__mutmut_")[0]
    removed, added = _changed_lines(diff)

    def lines(text: str) -> list[str]:
        return [line.strip() for line in text.strip().splitlines()]

    return (entry["function"] == function
            and lines(entry["original"]) == removed
            and lines(entry["mutant"]) == added)


# ---- Python mutants: mutmut --------------------------------------------------------


# What mutmut keeps of a run in the copy's mutants/: each wall file's verdicts
# with the hash of each function they were reached for (``*.meta``).
# Everything else there is a copy of the tree, made again by each run, and so
# is mutmut's map of which tests reach which function: a function added since
# the last run would be reached by none in the old map.


def kept_results(tree: Path) -> dict[Path, bytes]:
    """The verdicts of the last runs, less "reached by no test": the map
    that verdict came from is made again."""
    kept = {}
    for path in (tree / "mutants").glob("**/*.meta"):
        meta = json.loads(path.read_text())
        codes = meta.get("exit_code_by_key", {})
        for name, code in codes.items():
            if code in NO_TESTS:
                codes[name] = None
        kept[path.relative_to(tree)] = json.dumps(meta, indent=4).encode()
    return kept


def python_run(globs: list[str], jobs: int, ref: str | None, fresh: bool = False) -> int:
    started = time.monotonic()
    ensure_venv(python_for_venv())
    tree = WORK / "tree"
    # A run takes up where the last one stopped.  mutmut hashes each function
    # it mutates: the verdicts of a function that changed since are dropped
    # and its mutants run again; the others stand.  A mutant named by a GLOB
    # always runs again (a test written for a survivor is checked that way).
    kept = {} if fresh else kept_results(tree)
    say(f"copying {ref or 'the work tree'} to {tree.relative_to(ROOT)}"
        + (", keeping the verdicts of the last runs" if kept else ""))
    snapshot(tree, ref)
    for name, data in kept.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    say("building the compiled core from the copy")
    build_core(tree, WORK / "cmake", clean=True)
    built = time.monotonic()
    which = ", ".join(globs) or ("the mutants without a verdict" if kept else "every mutant")
    say(f"mutmut over src/pellquist/wall/ ({which}), "
        f"{jobs} at a time, running {len(wall_tests())} test files")
    mutmut = [VENV / "bin" / "mutmut", "run", "--max-children", str(jobs), *globs]
    # mutmut prints a progress line per mutant; its log goes to a file and the
    # summary below is ours.
    log = WORK / "mutmut.log"
    with open(log, "w") as out:
        code, _ = run_offline(mutmut, tree, test_env(PYTHONPATH=str(tree / "src")), stdout=out,
                              stderr=subprocess.STDOUT)
    if code != 0:
        print(log.read_text()[-4000:])
        raise SystemExit(f"mutmut failed ({code}); its log: {log.relative_to(ROOT)}")
    results = collect_python(tree)
    results["run"] = globs
    results["seconds"] = round(time.monotonic() - started)
    results["seconds_mutating"] = round(time.monotonic() - built)
    PY_RESULTS.write_text(json.dumps(results, indent=2))
    print_python(results)
    return 0


# Run in the venv, in the copy: mutmut's own reading of its results, with
# the diff of every mutant not killed and of every mutant of a function
# that equivalent.toml names.
_READ_RESULTS = r"""
import json, sys
from mutmut.mutation.data import SourceFileMutationData
from mutmut.mutation.diff_apply import get_diff_for_mutant
from mutmut.utils.file_utils import walk_mutatable_files
listed, killed = json.loads(sys.argv[1])
out = {}
for path in walk_mutatable_files():
    data = SourceFileMutationData(path=path)
    data.load()
    for name, code in data.exit_code_by_key.items():
        wanted = code not in killed or name.rpartition("__mutmut_")[0] in listed
        out[name] = {"file": str(path), "code": code,
                     "diff": get_diff_for_mutant(name, path=path) if wanted else ""}
json.dump(out, sys.stdout)
"""


def collect_python(tree: Path) -> dict:
    """Every mutant of the wall with a verdict or without: a share is always
    the whole wall's."""
    equivalent = load_equivalent().get("python", [])
    listed_functions = sorted({e["function"] for e in equivalent})
    raw = subprocess.run([str(VENV_PY), "-c", _READ_RESULTS,
                          json.dumps([listed_functions, sorted(KILLED)])],
                         cwd=tree, check=True, capture_output=True, text=True).stdout
    mutants = json.loads(raw)
    counts = {"killed": 0, "survived": 0, "no_tests": 0, "equivalent": 0,
              "not_checked": 0}
    survivors = []
    matched: dict[int, str] = {}  # entry -> the mutant it names
    for name, m in sorted(mutants.items()):
        code = m["code"]
        listed = [i for i, e in enumerate(equivalent) if m["diff"] and is_listed(e, name, m["diff"])]
        for i in listed:
            matched[i] = name
        if code is None:
            counts["not_checked"] += 1
        elif code in KILLED:
            counts["killed"] += 1
        elif listed:
            counts["equivalent"] += 1
        else:
            counts["no_tests" if code in NO_TESTS else "survived"] += 1
            survivors.append({"name": name, "file": m["file"], "code": code, "diff": m["diff"]})
    counts["survivors"] = survivors
    problems = []
    for i, e in enumerate(equivalent):
        if i not in matched:
            problems.append(f"no mutant of {e['function']} changes {e['original'].strip()!r} "
                            f"to {e['mutant'].strip()!r}: the code changed, judge it again")
        elif mutants[matched[i]]["code"] in KILLED:
            problems.append(f"{matched[i]} is listed as equivalent, but a test killed it: "
                            "the entry is wrong")
    counts["equivalent_problems"] = problems
    return counts


def share(killed: int, counted: int) -> str:
    return f"{killed}/{counted} = {100 * killed / counted:.1f}%" if counted else "no mutants"


def minutes(seconds: float) -> str:
    return f"{seconds / 60:.1f} min"


def print_python(r: dict) -> None:
    counted = r["killed"] + r["survived"] + r["no_tests"]
    for s in r["survivors"]:
        why = "no wall test reaches it" if s["code"] in NO_TESTS else f"survived (exit {s['code']})"
        print(f"\n--- {s['name']}: {why}\n{s['diff']}")
    print(f"\nPython wall mutants: {share(r['killed'], counted)} killed; "
          f"{r['survived']} survived, {r['no_tests']} reached by no test, "
          f"{r['equivalent']} equivalent (not counted), {r['not_checked']} not checked; "
          f"{minutes(r.get('seconds', 0))}")
    for problem in r["equivalent_problems"]:
        print(f"  tools/mutants/equivalent.toml: {problem}")


def recount() -> int:
    last = json.loads(PY_RESULTS.read_text())
    results = collect_python(WORK / "tree")
    results["run"] = last.get("run", [])
    results["seconds"], results["seconds_mutating"] = last["seconds"], last["seconds_mutating"]
    PY_RESULTS.write_text(json.dumps(results, indent=2))
    print_python(results)
    return 0


# ---- the report --------------------------------------------------------------------


def report() -> int:
    failed = False
    if PY_RESULTS.exists():
        r = json.loads(PY_RESULTS.read_text())
        counted = r["killed"] + r["survived"] + r["no_tests"]
        print(f"Python wall mutants killed: {share(r['killed'], counted)} "
              f"(target {PYTHON_TARGET:.0%}; {r['equivalent']} equivalent not counted; "
              f"{minutes(r['seconds'])})")
        failed |= bool(r["equivalent_problems"])
        failed |= counted > 0 and r["killed"] / counted < PYTHON_TARGET
        if r["not_checked"]:
            # A share over part of the wall is not the wall's.
            print(f"  {r['not_checked']} mutants not run yet: python3.12 tools/mutate.py python "
                  "takes up where the last run stopped")
            failed = True
        for s in r["survivors"]:
            print(f"  survived: {s['name']}")
    else:
        print("Python wall mutants: not run (python3.12 tools/mutate.py python)")
        failed = True
    if CPP_RESULTS.exists():
        r = json.loads(CPP_RESULTS.read_text())
        counted = r["killed"] + r["survived"]
        print(f"C++ wall mutants killed: {share(r['killed'], counted)} "
              f"(target {CPP_TARGET:.0%}; {r['equivalent']} equivalent not counted; "
              f"{minutes(r['seconds'])})")
        failed |= bool(r["broken"])
        failed |= counted > 0 and r["killed"] / counted < CPP_TARGET
        for s in r["survivors"]:
            print(f"  survived: {s['id']} ({s['file']}): {s['fault']}")
    else:
        print("C++ wall mutants: not run (python3.12 tools/mutate_cpp.py)")
        failed = True
    # The auditor's faults, written without sight of the tests: each must be
    # caught (tools/mutate_cpp.py --list tools/mutants/seeded.toml).
    seeded = WORK / "seeded.json"
    if seeded.exists():
        r = json.loads(seeded.read_text())
        counted = r["killed"] + r["survived"]
        print(f"Seeded faults killed: {share(r['killed'], counted)} (target 100%)")
        failed |= bool(r["broken"]) or r["survived"] > 0
        for s in r["survivors"]:
            print(f"  survived: {s['id']} ({s['file']}): {s['fault']}")
    return 1 if failed else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("python", help="mutmut over the wall's Python")
    p.add_argument("globs", nargs="*", help="only the mutants whose names match")
    p.add_argument("--jobs", type=int, default=int(os.environ.get("MUTATE_JOBS", "1")),
                   help="mutants tested at a time (default 1, or MUTATE_JOBS)")
    p.add_argument("--ref", default=os.environ.get("MUTATE_REF") or None,
                   help="mutate this commit instead of the work tree (or MUTATE_REF)")
    p.add_argument("--fresh", action="store_true", default=bool(os.environ.get("MUTATE_FRESH")),
                   help="forget the last runs' verdicts and run every mutant (or MUTATE_FRESH=1)")
    sub.add_parser("recount", help="read the last Python run's results again, with "
                   "tools/mutants/equivalent.toml as it is now")
    sub.add_parser("report", help="the kill shares of the last runs")
    args = parser.parse_args()
    if args.command == "python":
        return python_run(args.globs, args.jobs, args.ref, args.fresh)
    if args.command == "recount":
        return recount()
    return report()


if __name__ == "__main__":
    sys.exit(main())
