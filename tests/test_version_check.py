"""The import-time version check, exercised on builds that claim another CPython.

Only a 3.12 interpreter can load the module, so the check is driven from the
other side: the module is rebuilt from this checkout with a different
compile-time version and loaded into this interpreter.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import INSTALL_VENV, tool_env, unavailable

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent


def _tool(name: str) -> str | None:
    local = BIN / name
    return str(local) if local.exists() else shutil.which(name)


CMAKE, NINJA = _tool("cmake"), _tool("ninja")
# make install puts both beside the interpreter, as the build needs them.
if CMAKE is None or NINJA is None:
    unavailable("cmake and ninja not found beside the interpreter or on PATH", INSTALL_VENV)


@pytest.fixture(scope="module")
def build_claiming(tmp_path_factory):
    built: dict[int, Path] = {}

    def build(version_hex: int) -> Path:
        if version_hex not in built:
            out = tmp_path_factory.mktemp(f"v{version_hex:x}")
            subprocess.run(
                [CMAKE, "-S", str(ROOT), "-B", str(out), "-G", "Ninja",
                 f"-DCMAKE_MAKE_PROGRAM={NINJA}", f"-DPython_EXECUTABLE={sys.executable}",
                 f"-DCMAKE_CXX_FLAGS=-DQUIST_BUILT_FOR_VERSION={version_hex:#x}"],
                check=True, capture_output=True, env=tool_env(),
            )
            subprocess.run([CMAKE, "--build", str(out)], check=True, capture_output=True,
                           env=tool_env())
            built[version_hex] = next(out.glob("quist*.so"))
        return built[version_hex]

    return build


LOAD = textwrap.dedent("""
    import importlib.util, sys, traceback, warnings
    import pellquist
    spec = importlib.util.spec_from_file_location("pellquist.quist", sys.argv[1])
    module = importlib.util.module_from_spec(spec)
    sys.modules["pellquist.quist"] = module
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter(sys.argv[2])
        try:
            spec.loader.exec_module(module)
        except Exception as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print("RAISED", type(e).__name__, e, "init pellquist.quist" in names)
        else:
            print("LOADED", module.Session.__module__)
    for w in seen:
        print("WARNED", w.category.__name__, w.message)
""")


def load(so: Path, action: str) -> list[str]:
    proc = subprocess.run(
        [sys.executable, "-c", LOAD, str(so), action],
        capture_output=True, text=True, cwd=so.parent, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


RUNNING = sys.version_info
# A build that claims the minor version before the running one.
OTHER_MINOR = (RUNNING.major << 24) | ((RUNNING.minor - 1) << 16) | (4 << 8) | 0xF0
# A build that claims the running minor version with another micro version.
OTHER_MICRO = (RUNNING.major << 24) | (RUNNING.minor << 16) | ((RUNNING.micro + 7) << 8) | 0xF0
MISMATCH = (f"compile time Python version {RUNNING.major}.{RUNNING.minor - 1} of module "
            f"'pellquist.quist' does not match runtime version {RUNNING.major}.{RUNNING.minor}")


def test_other_minor_version_warns_and_loads(build_claiming):
    out = load(build_claiming(OTHER_MINOR), "always")
    assert out == ["LOADED pellquist.quist", f"WARNED RuntimeWarning {MISMATCH}"]


def test_warning_turned_error_fails_the_import_without_body_entry(build_claiming):
    out = load(build_claiming(OTHER_MINOR), "error")
    assert out == [f"RAISED RuntimeWarning {MISMATCH} False"]


def test_other_micro_version_does_not_warn(build_claiming):
    assert load(build_claiming(OTHER_MICRO), "error") == ["LOADED pellquist.quist"]
