"""Calling conventions of the three Session functions: argument binding, the
traceback entries they add, Session construction, is_type, method binding and
introspection, and reference counts over repeated calls."""

import ctypes
import gc
import inspect
import pydoc
import sys
import traceback
import types

import pytest
import sqlglot
from sqlglot import exp

import pellquist.quist as q
from pellquist.models import Catalogue, Column, Table

S = q.Session
D, P, X = object(), object(), object()
INST = S(D, P)
FILE = "src/pellquist/quist"
FIRST_LINE = {"__init__": 5, "is_type": 9, "generateNativeSQL": 14}


def module_entries(exc):
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == FILE]


def assert_one_entry(exc, func, line):
    assert module_entries(exc) == [(f"pellquist.quist.Session.{func}", line)]
    # The entry is added below the caller's frames, not in their place: the
    # traceback still starts at the frame that made the call.
    assert traceback.extract_tb(exc.__traceback__)[0].filename == __file__


def count(func, word, n, given):
    return f"{func}() takes {word} {n} positional arguments ({given} given)"


def init_n(given):
    return count("__init__", "exactly", 3, given)


def is_type_n(given):
    return count("is_type", "exactly", 2, given)


BINDING = [
    # __init__: through the class call (the instance counts) and directly
    (S, (), {}, init_n(1)),
    (S, (D,), {}, init_n(2)),
    (S, (D, P, X), {}, init_n(4)),
    (S, (D, P, X), {"params": P}, init_n(4)),
    (S, (), {"params": P}, init_n(1)),
    (S.__init__, (D,), {"params": P}, init_n(1)),
    (S.__init__, (), {}, init_n(0)),
    (S.__init__, (), {"db": D, "params": P}, init_n(0)),
    (S, (D,), {"db": D}, "__init__() got multiple values for keyword argument 'db'"),
    (S, (), {"self": D}, "__init__() got multiple values for keyword argument 'self'"),
    (S, (D,), {"db": D, "x": 1}, "__init__() got multiple values for keyword argument 'db'"),
    (S, (D, P), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
    (S, (D,), {"x": 1, "db": D}, "__init__() got an unexpected keyword argument 'x'"),
    (S, (), {"DB": D, "params": P}, "__init__() got an unexpected keyword argument 'DB'"),
    # is_type: through the class, and through an instance (binds it as tree)
    (S.is_type, (), {}, is_type_n(0)),
    (S.is_type, (D,), {}, is_type_n(1)),
    (S.is_type, (D, P, X), {}, is_type_n(3)),
    (S.is_type, (D, P, X), {"tree": D}, is_type_n(3)),
    (S.is_type, (), {"_type": P}, is_type_n(0)),
    (INST.is_type, (D, P), {}, is_type_n(3)),
    (S.is_type, (D,), {"tree": D}, "is_type() got multiple values for keyword argument 'tree'"),
    (INST.is_type, (), {"tree": D, "_type": P},
     "is_type() got multiple values for keyword argument 'tree'"),
    (S.is_type, (D,), {"type": P}, "is_type() got an unexpected keyword argument 'type'"),
    # generateNativeSQL: one default, so "at least" / "at most"
    (S.generateNativeSQL, (), {}, count("generateNativeSQL", "at least", 2, 0)),
    (S.generateNativeSQL, (INST,), {}, count("generateNativeSQL", "at least", 2, 1)),
    (INST.generateNativeSQL, (), {}, count("generateNativeSQL", "at least", 2, 1)),
    (S.generateNativeSQL, (), {"aSql": "x", "dialect": None},
     count("generateNativeSQL", "at least", 2, 0)),
    (INST.generateNativeSQL, (), {"dialect": None}, count("generateNativeSQL", "at least", 2, 1)),
    (INST.generateNativeSQL, ("x", None, X), {}, count("generateNativeSQL", "at most", 3, 4)),
    (INST.generateNativeSQL, ("x", None, X), {"dialect": None},
     count("generateNativeSQL", "at most", 3, 4)),
    (INST.generateNativeSQL, ("x",), {"aSql": "y"},
     "generateNativeSQL() got multiple values for keyword argument 'aSql'"),
    (INST.generateNativeSQL, ("x", None), {"dialect": None},
     "generateNativeSQL() got multiple values for keyword argument 'dialect'"),
    (INST.generateNativeSQL, (), {"asql": "x"},
     "generateNativeSQL() got an unexpected keyword argument 'asql'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", BINDING)
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as ei:
        func(*args, **kwargs)
    assert str(ei.value) == message
    name = message.split("(", 1)[0]
    assert_one_entry(ei.value, name, FIRST_LINE[name])
    assert traceback.extract_tb(ei.value.__traceback__)[-1].filename == FILE


# f(**{1: 2}) is refused by the interpreter before the function runs, so a
# non-str keyword name can only arrive through the C vectorcall protocol.
_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def call_with_kwnames(func, args, kwnames, kwvalues):
    arr = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return _vectorcall(func, arr, len(args), kwnames)


@pytest.mark.parametrize("func, args, name", [
    (S.__init__, (INST, D, P), "__init__"),
    (S.is_type, (D,), "is_type"),
    (INST.generateNativeSQL, ("x",), "generateNativeSQL"),
])
def test_non_str_keyword(func, args, name):
    with pytest.raises(TypeError) as ei:
        call_with_kwnames(func, args, (1,), (2,))
    assert str(ei.value) == f"{name}() keywords must be strings"
    assert_one_entry(ei.value, name, FIRST_LINE[name])


# ---- Session construction --------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((D, P), {}), ((D,), {"params": P}), ((), {"db": D, "params": P}),
    ((), {"params": P, "db": D}),
])
def test_session_stores_the_objects(args, kwargs):
    s = S(*args, **kwargs)
    assert type(s) is S
    assert list(vars(s).items()) == [("database", D), ("params", P)]
    assert s.database is D and s.params is P


def test_session_accepts_any_objects():
    s = S(None, None)
    assert s.database is None and s.params is None
    s = S(1, "x")
    assert s.database == 1 and s.params == "x"


def test_init_on_another_object():
    obj = types.SimpleNamespace()
    assert S.__init__(obj, D, P) is None
    assert vars(obj) == {"database": D, "params": P}


def test_setattr_hook_is_honoured():
    class Recording(S):
        def __setattr__(self, name, value):
            calls.append((name, value))
    calls = []
    s = Recording(D, P)
    assert calls == [("database", D), ("params", P)]
    assert vars(s) == {}


class Refusing:
    refused = None

    def __init__(self):
        self.error = LookupError("refused")

    def __setattr__(self, name, value):
        if name == self.refused:
            raise self.error
        object.__setattr__(self, name, value)


@pytest.mark.parametrize("refused, line, stored", [
    ("database", 6, {}), ("params", 7, {"database": D}),
])
def test_assignment_failure(refused, line, stored):
    obj = Refusing()
    obj.refused = refused
    with pytest.raises(LookupError) as ei:
        S.__init__(obj, D, P)
    assert ei.value is obj.error
    assert {k: v for k, v in vars(obj).items() if k not in ("refused", "error")} == stored
    assert_one_entry(ei.value, "__init__", line)


def test_assignment_failure_slots():
    class Slotted:
        __slots__ = ("database",)
    obj = Slotted()
    with pytest.raises(AttributeError) as ei:
        S.__init__(obj, D, P)
    assert obj.database is D
    assert_one_entry(ei.value, "__init__", 7)


def test_binding_failure_stores_nothing():
    obj = types.SimpleNamespace()
    with pytest.raises(TypeError):
        S.__init__(obj, D, P, X)
    with pytest.raises(TypeError):
        S.__init__(obj, D, P, x=1)
    assert vars(obj) == {}


# ---- is_type ---------------------------------------------------------------

@pytest.mark.parametrize("sql, cls, expected", [
    ("SELECT a FROM t", exp.Table, True),
    ("SELECT a FROM t JOIN u ON t.x = u.x", exp.Table, True),
    ("SELECT 1", exp.Table, False),
    ("SELECT a FROM t", exp.DML, False),
    ("INSERT INTO t VALUES (1)", exp.DML, True),
    ("SELECT * FROM (SELECT a FROM t) AS s", exp.Subquery, True),
    ("DROP TABLE t", exp.Drop, True),
    ("DROP TABLE t", exp.Select, False),
])
def test_is_type_on_trees(sql, cls, expected):
    tree = sqlglot.parse_one(sql)
    for call in (lambda: S.is_type(tree, cls), lambda: S.is_type(tree=tree, _type=cls),
                 lambda: S.is_type(tree, _type=cls), lambda: S.is_type(_type=cls, tree=tree)):
        assert call() is expected


class Fake:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def find_all(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result() if callable(self.result) else self.result


@pytest.mark.parametrize("result, expected", [
    ([], False), ((), False), (iter(()), False), ([None], True), ([0, 0], True),
    (lambda: (x for x in [False]), True),
])
def test_is_type_on_fakes(result, expected):
    tree = Fake(result)
    assert S.is_type(tree, X) is expected
    assert tree.calls == [((X,), {})]


def test_is_type_consumes_the_whole_result():
    seen = []

    def gen():
        for i in range(5):
            seen.append(i)
            yield i
        seen.append("end")
    assert S.is_type(Fake(gen), X) is True
    assert seen == [0, 1, 2, 3, 4, "end"]


def test_is_type_binds_instance_as_tree():
    with pytest.raises(AttributeError, match="'Session' object has no attribute 'find_all'") as ei:
        INST.is_type(exp.Table)
    assert_one_entry(ei.value, "is_type", 10)


class Boom(Exception):
    pass


def _raise():
    raise Boom


def _raising_gen():
    yield 1
    raise Boom


@pytest.mark.parametrize("tree, error", [
    (object(), AttributeError),
    (Fake(_raise), Boom),
    (Fake(_raising_gen), Boom),
    (Fake(5), TypeError),
])
def test_is_type_body_failures(tree, error):
    with pytest.raises(error) as ei:
        S.is_type(tree, X)
    assert_one_entry(ei.value, "is_type", 10)


# ---- binding and introspection ---------------------------------------------

@pytest.mark.parametrize("name", ["__init__", "is_type", "generateNativeSQL"])
def test_binds_like_a_function(name):
    func = S.__dict__[name]
    assert getattr(S, name) is func
    bound = getattr(INST, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is func and bound.__self__ is INST


@pytest.mark.parametrize("name, sig, defaults", [
    ("__init__", "(self, db, params)", None),
    ("is_type", "(tree, _type)", None),
    ("generateNativeSQL", "(self, aSql, dialect=None)", (None,)),
])
def test_introspection(name, sig, defaults):
    func = getattr(S, name)
    assert str(inspect.signature(func)) == sig
    assert func.__name__ == name
    assert func.__qualname__ == f"Session.{name}"
    assert func.__module__ == "pellquist.quist"
    assert func.__doc__ is None
    assert func.__defaults__ == defaults


def test_bound_signature_and_help():
    assert str(inspect.signature(INST.generateNativeSQL)) == "(aSql, dialect=None)"
    text = pydoc.render_doc(S, renderer=pydoc.plaintext)
    for sig in ("__init__(self, db, params)", "is_type(tree, _type)",
                "generateNativeSQL(self, aSql, dialect=None)"):
        assert sig in text


# ---- reference counts ------------------------------------------------------

DB = Catalogue({"o": Table("orders", "ord_t", {"o_id": Column("id")}, "tenant = {t}")})
PARAMS = {"t": 1}
SQL = "".join(["INSERT INTO t ", "VALUES (1)"])
SELECT = "".join(["SELECT id ", "FROM orders"])
DIALECT = sqlglot.Dialect.get_or_raise("postgres")
TREE = types.SimpleNamespace(find_all=lambda _type: [SQL])
SESSION = S(DB, PARAMS)
WATCHED = (DB, PARAMS, SQL, SELECT, DIALECT, TREE, SESSION)

CALLS = {
    "construct": lambda: S(DB, PARAMS),
    "construct-keywords": lambda: S(DB, params=PARAMS),
    "count": lambda: S(DB, PARAMS, SQL),
    "count-keyword": lambda: S(params=PARAMS),
    "multiple": lambda: S(DB, db=PARAMS),
    "unexpected": lambda: S(DB, PARAMS, x=SQL),
    "non-str-keyword": lambda: call_with_kwnames(S.__init__, (SESSION, DB), (1,), (PARAMS,)),
    "is_type-true": lambda: S.is_type(TREE, DIALECT),
    "is_type-false": lambda: S.is_type(types.SimpleNamespace(find_all=lambda _type: ()), DIALECT),
    "is_type-missing": lambda: S.is_type(DB, DIALECT),
    "generate-count": lambda: SESSION.generateNativeSQL(SQL, DIALECT, PARAMS),
    "generate-refused": lambda: SESSION.generateNativeSQL(SQL, DIALECT),
    "generate-refused-keywords": lambda: SESSION.generateNativeSQL(aSql=SQL, dialect=DIALECT),
    "generate": lambda: SESSION.generateNativeSQL(SELECT, DIALECT),
}


def run(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


@pytest.mark.parametrize("kind", CALLS)
def test_no_reference_leaks(kind):
    call = CALLS[kind]
    run(call, 50)
    gc.collect()
    before = [sys.getrefcount(o) for o in WATCHED]
    objects = len(gc.get_objects())
    run(call, 3000)
    gc.collect()
    assert [sys.getrefcount(o) for o in WATCHED] == before
    assert len(gc.get_objects()) - objects < 50
