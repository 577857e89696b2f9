"""Every expression class of sqlglot that is no function class, held to
tests/data/callable-classes.toml: each is listed as holding no call, or as
able to carry one, with statements that call a function through it and what
the wall must do with them."""

import tomllib
import types
from pathlib import Path

import pytest
import sqlglot
from sqlglot import exp

import pellquist
from pellquist.errors import DialectError, PellquistError, SqlSyntaxError
from pellquist.models import Catalogue, Table

DATA = tomllib.loads((Path(__file__).parent / "data" / "callable-classes.toml")
                     .read_text(encoding="utf-8"))
CALLS = DATA["calls"]
CASES = DATA["case"]
KINDS = ("strict", "listed", "plain")
ORDERS = Table("orders", "app_order", {"id": "id", "note": "note"}, "tenant_id = {tenant}")


def _non_func_classes():
    base = getattr(exp, "Expr", exp.Expression)
    found, stack = set(), [base]
    while stack:
        for sub in stack.pop().__subclasses__():
            if sub not in found:
                found.add(sub)
                stack.append(sub)
    return {cls.__name__ for cls in found if not issubclass(cls, exp.Func)}


def _expand(members, classes):
    """A family's members; ``Name*`` stands for every class whose name starts so."""
    for member in members:
        if member.endswith("*"):
            yield from sorted(c for c in classes if c.startswith(member[:-1]))
        else:
            yield member


def test_every_class_is_classified_once():
    classes = _non_func_classes()
    listed = list(CALLS) + [m for family in DATA["family"]
                            for m in _expand(family["members"], classes)]
    twice = sorted({name for name in listed if listed.count(name) > 1})
    assert not twice, f"classified more than once: {twice}"
    assert not classes - set(listed), f"not classified: {sorted(classes - set(listed))}"
    assert not set(listed) - classes, f"no such class: {sorted(set(listed) - classes)}"


def test_every_engine_of_a_call_has_a_case():
    engines = {"sqlite", "duckdb", "postgres", "clickhouse", "spark"}
    assert all(set(entry["engines"].split()) <= engines for entry in CALLS.values())
    covered = {(case["class"], d) for case in CASES for d in case["dialects"].split()}
    missing = [(name, d) for name, entry in CALLS.items() for d in entry["engines"].split()
               if (name, d) not in covered]
    assert not missing, f"no case for: {missing}"
    assert {case["class"] for case in CASES} <= set(CALLS)


def _catalogue(kind, dialect, allowed):
    if kind == "strict":
        return Catalogue([ORDERS], dialect=dialect)
    if kind == "listed":
        return Catalogue([ORDERS], allowed_functions=allowed, dialect=dialect)
    columns = {k: types.SimpleNamespace(pub_name=c.pub_name, type=c.type)
               for k, c in ORDERS.columns.items()}
    return types.SimpleNamespace(tables={"orders": types.SimpleNamespace(
        pub_name=ORDERS.pub_name, name=ORDERS.name, columns=columns, filters=ORDERS.filters)})


def _params():
    for n, case in enumerate(CASES):
        for dialect in case["dialects"].split():
            for kind in case.get("catalogues", " ".join(KINDS)).split():
                marks = [pytest.mark.xfail(strict=True, reason="not yet judged")] if (
                    kind in case.get("pending", "").split()) else []
                yield pytest.param(case, dialect, kind, marks=marks,
                                   id=f"{case['class']}-{n}-{dialect}-{kind}")


@pytest.mark.parametrize("case, dialect, kind", list(_params()))
def test_a_call_through_the_class_is_judged(case, dialect, kind):
    tree = sqlglot.parse_one(case["sql"], dialect=dialect)
    assert any(type(node).__name__ == case["class"] for node in tree.walk()), (
        f"{dialect} does not parse the case into {case['class']}")
    expect = case["expect"] if isinstance(case["expect"], str) else case["expect"][kind]
    catalogue = _catalogue(kind, dialect, case.get("allowed", ["my_udf"]))
    try:
        native = pellquist.rewrite(catalogue, case["sql"], {"tenant": 1}, dialect=dialect)
    except PellquistError as refusal:
        assert not isinstance(refusal, (SqlSyntaxError, DialectError)), refusal
        assert expect == "refused", f"refused: {refusal}"
        return
    assert expect == "accepted", f"accepted as: {native}"
