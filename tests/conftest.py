"""Shared fixtures: a real PostgreSQL server on a unix socket in a temp folder."""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest


def _postgres_bin() -> Path | None:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"))
    if found:
        return Path(found[-1]).parent
    pg_ctl = shutil.which("pg_ctl")
    return Path(pg_ctl).parent if pg_ctl else None


def _unavailable(reason: str) -> None:
    # CI installs the server; there a missing one is a failure, not a skip.
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


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


@pytest.fixture(scope="session")
def postgres_dsn():
    """Connection settings of a throw-away PostgreSQL server, started for this run."""
    bindir = _postgres_bin()
    if bindir is None:
        _unavailable("PostgreSQL server binaries not found (Debian package 'postgresql')")
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _unavailable("psycopg is not installed")

    # Outside pytest's temp root, which only root may enter.
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
    _run(run_as + [str(bindir / "initdb"), "-D", str(data), "-A", "trust", "-U", "postgres",
                   "--no-sync", "-E", "UTF8"], env)
    options = f"-k {sockets} -c listen_addresses='' -c fsync=off -c full_page_writes=off"
    _run(run_as + [str(bindir / "pg_ctl"), "-D", str(data), "-l", str(base / "log"), "-o",
                   options, "-w", "start"], env)
    try:
        yield {"host": str(sockets), "user": "postgres", "dbname": "postgres"}
    finally:
        subprocess.run(run_as + [str(bindir / "pg_ctl"), "-D", str(data), "-m", "immediate",
                                 "stop"], capture_output=True, env=env)
        shutil.rmtree(base, ignore_errors=True)
