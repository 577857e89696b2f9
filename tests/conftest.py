"""Shared fixtures: a real PostgreSQL server on a unix socket in a temp folder.

Also the one rule for a test whose engine, package or data is missing
(:func:`unavailable`): under CI, which installs everything, it fails; on a
developer's machine it is skipped with the command that installs what is
missing, and ``-ra`` lists that reason at the end of the run.
"""

from __future__ import annotations

import contextlib
import glob
import importlib
import ipaddress
import logging
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import warnings
from collections.abc import Generator, Iterable, Iterator
from pathlib import Path
from types import ModuleType
from typing import NoReturn

import pytest


# ---- the network ------------------------------------------------------------------

# The suite reaches nothing but this machine.  `make test` runs it in a
# network namespace holding only loopback (tools/offline); this guard stops a
# Python connection beyond loopback even where that namespace could not be
# made.  Code that connects from C or Java (an engine's network functions) is
# kept in by the namespace alone.
_NETWORK_EVENTS = frozenset({"socket.connect", "socket.sendto", "socket.sendmsg"})


def _is_loopback(address: object) -> bool:
    if not isinstance(address, tuple) or not address:
        return True  # a unix socket's path, or a family with no host
    host = address[0]
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    if not isinstance(host, str):
        return False
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.split("%", 1)[0]).is_loopback
    except ValueError:
        return False  # a host name that would be resolved


def network_guard(event: str, args: tuple[object, ...]) -> None:
    """An audit hook that refuses a connection or datagram beyond loopback."""
    if event not in _NETWORK_EVENTS or len(args) < 2:
        return
    sock, address = args[0], args[-1]
    if getattr(sock, "family", None) == socket.AF_UNIX:
        return
    if not _is_loopback(address):
        raise PermissionError(f"the test suite reaches nothing beyond loopback, not {address!r}")


def pytest_configure(config: pytest.Config) -> None:
    sys.addaudithook(network_guard)


# ---- what a test module may not change -------------------------------------------

# pytest imports every test module before it runs the first test, so a module
# that changes process-wide state when imported changes it for the whole
# run, under every test before and after it: a silenced sqlglot logger, say,
# turns off the wall's count of sqlglot's warnings in every other test.  A
# test changes such state through a fixture that puts it back.
def _process_state() -> dict[str, object]:
    # The wall sets sqlglot's logger up when it is first imported (it counts
    # the warnings): that is the package's own setting, not a test's.
    import pellquist.wall  # noqa: F401

    log = logging.getLogger("sqlglot")
    return {
        "the sqlglot logger": (log.level, log.disabled, log.propagate, tuple(log.filters),
                               tuple(log.handlers)),
        "logging.disable": logging.root.manager.disable,
        "the warnings filters": tuple(warnings.filters),
        "the environment": dict(os.environ),
    }


@pytest.hookimpl(wrapper=True)
def pytest_make_collect_report(collector: pytest.Collector) -> Generator[None, pytest.CollectReport,
                                                                          pytest.CollectReport]:
    if not isinstance(collector, pytest.Module):
        return (yield)
    before = _process_state()
    report = yield
    after = _process_state()
    changed = [what for what in before if before[what] != after[what]]
    if changed and report.passed:
        report.outcome = "failed"
        report.longrepr = (f"importing {collector.nodeid} changed {', '.join(changed)} for the "
                           "whole run: change it in a fixture that puts it back")
    return report


def _postgres_bin() -> Path | None:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"))
    if found:
        return Path(found[-1]).parent
    pg_ctl = shutil.which("pg_ctl")
    return Path(pg_ctl).parent if pg_ctl else None


# The commands that provide what a test may find missing: the build tools and
# the test extras of pyproject.toml go into .venv, the server comes from
# Debian, and the data ships with the repository in tests/data.
INSTALL_VENV = "make install"
INSTALL_POSTGRES = "apt-get install postgresql"
RESTORE_DATA = "git checkout -- tests/data"


def unavailable(what: str, install: str) -> NoReturn:
    """Stop the calling test, or test module, because ``what`` is missing.

    CI (the environment variable ``CI`` set) installs every engine and has the
    data, so there a missing one means a broken set-up: a failure, never a
    skip. Elsewhere it is a skip whose reason names the one command,
    ``install``, that provides what is missing.
    """
    # Reports then name the line that asked, not a line of this file.
    __tracebackhide__ = True
    if os.environ.get("CI"):
        pytest.fail(f"{what} (under CI it must be there: {install})", pytrace=False)
    pytest.skip(f"{what}; to provide it, run: {install}", allow_module_level=True)


def _unavailable(reason: str) -> NoReturn:
    """:func:`unavailable` for a package of the test extras, by the name
    tests/test_wall.py imports."""
    __tracebackhide__ = True
    unavailable(reason, INSTALL_VENV)


def require_module(name: str, install: str = INSTALL_VENV) -> ModuleType:
    """``import name``, or :func:`unavailable` if it cannot be imported."""
    __tracebackhide__ = True
    try:
        return importlib.import_module(name)
    except ImportError as error:
        unavailable(f"Python package {name!r} cannot be imported ({error})", install)


def require_files(paths: Iterable[Path], install: str = RESTORE_DATA) -> None:
    """:func:`unavailable` unless every one of ``paths`` is a file."""
    __tracebackhide__ = True
    # A missing folder is named once, not once per file in it.
    missing = sorted({str(path if path.parent.is_dir() else path.parent)
                      for path in paths if not path.is_file()})
    if missing:
        unavailable(f"test data not found: {', '.join(missing)}", install)


SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS",
                       "UBSAN_OPTIONS")


def tool_env() -> dict[str, str]:
    """The environment for outside tools (servers, compilers): the sanitizer
    run preloads its runtime for Python, which those tools must not get."""
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}


def _run(cmd: list[str], env: dict[str, str]) -> None:
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{proc.stdout}{proc.stderr}")


@contextlib.contextmanager
def postgres_server(bindir: Path, tcp_port: int | None = None) -> Iterator[dict[str, str]]:
    """Connection settings of a throw-away server on a unix socket in a temp
    folder (outside pytest's temp root, which only root may enter), and on
    127.0.0.1:``tcp_port`` too when one is given; the server is stopped and
    its folder removed on exit."""
    base = Path(tempfile.mkdtemp(prefix="pellquist-pg-"))
    data, sockets = base / "data", base / "sock"
    sockets.mkdir()
    run_as: list[str] = []
    if os.geteuid() == 0:
        # The server refuses to run as root.
        run_as = ["runuser", "-u", "postgres", "--"]
        shutil.chown(base, "postgres")
        shutil.chown(sockets, "postgres")
        os.chmod(base, 0o755)
    env = {**tool_env(), "LC_ALL": "C"}
    try:
        _run(run_as + [str(bindir / "initdb"), "-D", str(data), "-A", "trust", "-U", "postgres",
                       "--no-sync", "-E", "UTF8"], env)
        listen = f"-c listen_addresses=127.0.0.1 -p {tcp_port}" if tcp_port else "-c listen_addresses=''"
        options = f"-k {sockets} {listen} -c fsync=off -c full_page_writes=off"
        _run(run_as + [str(bindir / "pg_ctl"), "-D", str(data), "-l", str(base / "log"), "-o",
                       options, "-w", "start"], env)
        dsn = {"host": str(sockets), "user": "postgres", "dbname": "postgres"}
        yield {**dsn, "port": str(tcp_port)} if tcp_port else dsn
    finally:
        subprocess.run(run_as + [str(bindir / "pg_ctl"), "-D", str(data), "-m", "immediate",
                                 "stop"], capture_output=True, env=env)
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres_dsn():
    """Connection settings of a throw-away PostgreSQL server, started for this run."""
    bindir = _postgres_bin()
    if bindir is None:
        unavailable("PostgreSQL server binaries (pg_ctl, initdb) not found", INSTALL_POSTGRES)
    require_module("psycopg")
    with postgres_server(bindir) as dsn:
        yield dsn


# ---- the engines a module builds ------------------------------------------------

@pytest.fixture(scope="module")
def built():
    """The engines a test module has built so far, by name, each built on its
    first case and closed at the module's end: a cache rather than a
    parametrized fixture, so the cases keep their written order."""
    engines = {}
    yield engines
    for engine in engines.values():
        engine.close()


# ---- ClickHouse (chdb) and Spark ------------------------------------------------

INSTALL_JAVA = "apt-get install openjdk-17-jre-headless"
# The sanitizer run preloads its runtime into the interpreter. chdb (a whole
# ClickHouse in a shared library) cannot be loaded under it at all: it is
# opened with RTLD_DEEPBIND, and the runtime aborts the process. The JVM
# that pyspark starts would inherit the preload. Neither is code of ours
# (ours runs under the sanitizer in every other test), so the Makefile's
# sanitize target sets this variable to leave both engines out; each test
# that needs one is skipped with the variable named in the reason.
SKIP_HEAVY_ENGINES = "PELLQUIST_SKIP_HEAVY_ENGINES"


def require_heavy_engine(name: str) -> None:
    """Skips the calling test when the run leaves ClickHouse and Spark out
    (:data:`SKIP_HEAVY_ENGINES` set), CI or not: that run is not theirs.

    Under a preloaded AddressSanitizer runtime without the variable, the
    test fails instead of loading the engine, which would abort the run.
    """
    __tracebackhide__ = True
    if os.environ.get(SKIP_HEAVY_ENGINES):
        pytest.skip(f"{name} is left out of this run ({SKIP_HEAVY_ENGINES} is set)")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.fail(f"{name} cannot run under the preloaded AddressSanitizer runtime; set "
                    f"{SKIP_HEAVY_ENGINES}=1 to leave it out of this run", pytrace=False)


def require_chdb() -> ModuleType:
    """chdb, the in-process ClickHouse, or :func:`unavailable`."""
    __tracebackhide__ = True
    require_heavy_engine("ClickHouse")
    return require_module("chdb")


@pytest.fixture(scope="session")
def spark():
    """The run's one local Spark (``engine_sessions.Spark``), started on first
    use and stopped at the end of the run."""
    require_heavy_engine("Spark")
    require_module("pyspark")
    import engine_sessions

    if not engine_sessions.java_available():
        unavailable("a Java runtime ('java' on PATH) is needed by pyspark", INSTALL_JAVA)
    started = engine_sessions.Spark()
    yield started
    started.stop()
