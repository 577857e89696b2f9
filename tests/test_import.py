"""What `import pellquist.quist` does, each case in a fresh interpreter.

The module body runs once per process, so every case starts its own Python
from a temporary directory (the checkout's src/ is never on the path) and
asserts inside the child; the test only checks that the child exited cleanly.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = '''\
import builtins, importlib, importlib.machinery, importlib.util, sys, traceback, types
SRC = "src/pellquist/quist"
REFUSED = ("Interpreter change detected - this module can only be loaded into one "
           "interpreter per process.")

def raised(fn, *args):
    try:
        fn(*args)
    except BaseException as exc:
        return exc
    raise AssertionError(f"{fn!r} did not raise")

def import_quist():
    import pellquist.quist

def load_as(name, path=None):
    """Execute the extension under another module name, outside sys.modules."""
    path = path or importlib.util.find_spec("pellquist.quist").origin
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location(name, path, loader=loader))
    loader.exec_module(module)
    return module

def trace(exc):
    """The traceback entries that do not come from frozen or -c code."""
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if not f.filename.startswith("<")]

def fake(name, **attrs):
    module = types.ModuleType(name)
    vars(module).update(attrs)
    sys.modules[name] = module

try:  # 3.12's private module; 3.13 renamed it and returns failures instead
    import _xxsubinterpreters as _subs
except ImportError:
    import _interpreters as _subs

def new_interpreter(isolated):
    if hasattr(_subs, "RunFailedError"):
        return _subs.create(isolated=isolated)
    return _subs.create("isolated" if isolated else "legacy")

def run_in(interp, code):
    """Runs ``code`` in another interpreter; its failure is raised here as
    "<class 'Name'>: message", the way 3.12 reports it."""
    failed = _subs.run_string(interp, code)
    if failed is not None:
        raise RuntimeError(f"<class '{failed.type.__name__}'>: {failed.msg}")

class Refuse:
    """Finder and loader: importing `name` raises `error` from the module's body."""
    def __init__(self, name, error):
        self.name, self.error = name, error
    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, self) if name == self.name else None
    def create_module(self, found):
        return None
    def exec_module(self, module):
        raise self.error

'''


@pytest.fixture
def run(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}

    def run(code: str, *flags: str) -> subprocess.CompletedProcess[str]:
        proc = subprocess.run(
            [sys.executable, *flags, "-c", PRELUDE + textwrap.dedent(code)],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        return proc

    return run


def test_globals_and_class_after_import(run):
    run('''
    import inspect, sqlglot, pellquist.models
    import pellquist.quist as q
    S = q.Session
    assert q.__name__ == "pellquist.quist" and q.__package__ == "pellquist"
    assert not hasattr(q, "__path__")
    assert q.__doc__ is None and S.__doc__ is None
    assert q.__builtins__ is builtins
    assert type(q.__test__) is dict and q.__test__ == {}
    assert q.parse_one is sqlglot.parse_one and q.exp is sqlglot.exp
    assert q.TableNotFound is pellquist.models.TableNotFound
    assert list(vars(q))[-6:] == [
        "__builtins__", "parse_one", "exp", "TableNotFound", "Session", "__test__"]
    assert type(S) is type and S.__bases__ == (object,)
    assert S.__module__ == "pellquist.quist" and S.__qualname__ == "Session"
    assert list(vars(S))[:4] == ["__module__", "__init__", "is_type", "generateNativeSQL"]
    for name, signature, defaults in [("__init__", "(self, db, params)", None),
                                      ("is_type", "(tree, _type)", None),
                                      ("generateNativeSQL", "(self, aSql, dialect=None)", (None,))]:
        f = vars(S)[name]
        assert f.__name__ == name and f.__qualname__ == "Session." + name
        assert f.__module__ == "pellquist.quist" and f.__doc__ is None
        assert f.__defaults__ == defaults
        assert str(inspect.signature(f)) == signature
    ''')


@pytest.mark.parametrize("again", [
    pytest.param("del sys.modules['pellquist.quist']; import pellquist.quist as q2", id="reimport"),
    pytest.param("q2 = importlib.reload(q)", id="reload"),
])
def test_later_import_returns_the_recorded_module(run, again):
    run(f'''
    import pellquist.quist as q
    S = q.Session
    q.__test__["mark"] = 1
    for name in [m for m in sys.modules if m.startswith("sqlglot") or m == "pellquist.models"]:
        del sys.modules[name]
    requested = []
    class Recorder:
        @staticmethod
        def find_spec(name, path=None, target=None):
            requested.append(name)
    sys.meta_path.insert(0, Recorder)
    {again}
    assert q2 is q and q2.Session is S and q2.__test__ == {{"mark": 1}}
    assert not [n for n in requested if n.startswith(("sqlglot", "pellquist.models"))], requested
    assert "sqlglot" not in sys.modules and "pellquist.models" not in sys.modules
    ''')


def test_second_module_object_is_refused(run):
    run('''
    found = importlib.util.find_spec("pellquist.quist")
    first, second = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
    assert first is not second
    found.loader.exec_module(first)
    exc = raised(found.loader.exec_module, second)
    assert type(exc) is RuntimeError and trace(exc) == []
    assert str(exc) == ("Module 'quist' has already been imported. "
                        "Re-initialisation is not supported.")
    assert not hasattr(second, "Session")
    assert first.Session(1, 2).params == 2
    assert sys.modules["pellquist.quist"] is first
    assert importlib.util.module_from_spec(found) is first
    ''')


@pytest.mark.parametrize("setup, undo, error, message, line", [
    ("sys.modules['sqlglot'] = None", "del sys.modules['sqlglot']",
     "ModuleNotFoundError", None, 1),
    ("sys.meta_path.insert(0, Refuse('sqlglot', ModuleNotFoundError('no sqlglot')))",
     "del sys.meta_path[0]", "ModuleNotFoundError", "no sqlglot", 1),
    ("fake('sqlglot', parse_one=len)", "del sys.modules['sqlglot']",
     "ImportError", "cannot import name exp", 1),
    ("fake('sqlglot', exp=types)", "del sys.modules['sqlglot']",
     "ImportError", "cannot import name parse_one", 1),
    ("import pellquist; fake('pellquist.models')", "del sys.modules['pellquist.models']",
     "ImportError", "cannot import name TableNotFound", 2),
    ("import pellquist; sys.meta_path.insert(0, Refuse('pellquist.models', LookupError('boom')))",
     "del sys.meta_path[0]", "LookupError", "boom", 2),
], ids=["sqlglot-missing", "sqlglot-raises", "no-exp", "no-parse_one", "no-TableNotFound",
        "models-raises"])
def test_failed_import_reports_its_line_and_can_be_retried(run, setup, undo, error, message,
                                                          line):
    run(f'''
    assert "sqlglot.exp" not in sys.modules
    {setup}
    exc = raised(import_quist)
    assert type(exc) is {error}, repr(exc)
    assert {message!r} is None or str(exc) == {message!r}, str(exc)
    assert trace(exc) == [(SRC, "init pellquist.quist", {line})], trace(exc)
    {undo}
    import sqlglot, pellquist.models
    import pellquist.quist as q
    assert q.exp is sqlglot.exp and q.TableNotFound is pellquist.models.TableNotFound
    assert q.Session(1, 2).database == 1 and q.__test__ == {{}}
    ''')


def test_missing_name_may_come_from_an_imported_submodule(run):
    run('''
    fake("sqlglot", parse_one=len)
    fake("sqlglot.exp")
    import pellquist.quist as q
    assert q.parse_one is len and q.exp is sys.modules["sqlglot.exp"]
    ''')


@pytest.mark.parametrize("before", [
    pytest.param("import pellquist.quist", id="first-succeeded"),
    pytest.param("sys.modules['sqlglot'] = None; raised(import_quist); del sys.modules['sqlglot']",
                 id="first-failed"),
])
def test_second_interpreter_is_refused(run, before):
    run(f'''
    {before}
    exc = raised(run_in, new_interpreter(False), "import pellquist.quist")
    assert str(exc) == "<class 'ImportError'>: " + REFUSED, str(exc)
    import pellquist.quist as q
    assert q.Session(1, 2).database == 1
    ''')


def test_first_interpreter_may_be_a_subinterpreter(run):
    run('''
    isolated = raised(run_in, new_interpreter(True), "import pellquist.quist")
    assert str(isolated).startswith("<class 'ImportError'>") and REFUSED not in str(isolated)
    run_in(new_interpreter(False), "import pellquist.quist as q; q.Session(1, 2)")
    exc = raised(import_quist)
    assert type(exc) is ImportError and str(exc) == REFUSED and trace(exc) == []
    ''')


@pytest.mark.parametrize("taken", [False, True], ids=["entry-missing", "entry-present"])
def test_module_under_another_name(run, taken):
    run(f'''
    import pellquist.models  # found in sys.modules, so ".models" need not resolve
    path = importlib.util.find_spec("pellquist.quist").origin
    placeholder = types.ModuleType("placeholder")
    if {taken}:
        sys.modules["pellquist.quist"] = placeholder
    m = load_as("otherpkg.quist", path)
    assert m.__name__ == "otherpkg.quist" and m.__package__ == "otherpkg"
    assert m.Session.__module__ == "pellquist.quist"
    assert {{f.__module__ for f in vars(m.Session).values() if callable(f)}} == {{"pellquist.quist"}}
    assert m.TableNotFound is pellquist.models.TableNotFound
    assert sys.modules["pellquist.quist"] is (placeholder if {taken} else m)
    ''')


def test_top_level_name_has_no_package_for_models(run):
    run('''
    exc = raised(load_as, "quist")
    assert type(exc) is ImportError, repr(exc)
    assert trace(exc) == [(SRC, "init pellquist.quist", 2)], trace(exc)
    # The failed body takes back the entry it made: the real import still works.
    assert "pellquist.quist" not in sys.modules
    import pellquist.quist as q
    assert q.Session.__module__ == "pellquist.quist"
    ''')


def test_import_gives_no_warning(run):
    proc = run("import pellquist.quist as q; print(q.Session.__name__)", "-W", "error")
    assert (proc.stdout, proc.stderr) == ("Session\n", "")
