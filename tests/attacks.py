"""The wall's case corpora, one TOML file each in ``tests/data/attacks``.

A file holds ``[[case]]`` tables; its top-level keys are defaults that every
case takes unless it sets its own. A case has

* ``shape``: its name, which the test id carries (``engine-corpus-shape``);
* ``sql``: the statement tenant 1 writes. ``{csv}``, ``{dir}``, ``{sqlite}``,
  ``{env}`` and ``{property}`` stand for the probe files and names of
  ``wall_engines.Files``;
* ``engines`` (run on those engines) or ``dialects`` (rewritten in those
  dialects, run nowhere): names separated by spaces, among them ``all``
  (every engine) and ``lateral`` (the engines that have LATERAL), and after
  ``but`` the names left out, as in ``"all but spark"``;
* ``expect``: what the wall must do with it, one of :data:`EXPECTATIONS`;
* ``public_sql``: for a case compared with the public database, the SQL to
  run there when it is not ``sql`` itself.
"""

from __future__ import annotations

import tomllib
from functools import cache
from pathlib import Path
from typing import NamedTuple

import pytest

DATA = Path(__file__).parent / "data" / "attacks"
ENGINES = ("sqlite", "duckdb", "postgres", "clickhouse", "spark")
GROUPS = {"all": frozenset(ENGINES), "lateral": frozenset({"duckdb", "postgres", "spark"})}
EXPECTATIONS = {
    "holds": "refused, or what the engine does with it tells tenant 1 nothing of anyone else",
    "refused": "refused",
    "public": "accepted, with the outcome the same SQL has on the public database",
    "refused-or-public": "refused, or the outcome the same SQL has on the public database",
}
KEYS = frozenset({"shape", "sql", "engines", "dialects", "expect", "public_sql"})


class Case(NamedTuple):
    shape: str
    sql: str
    on: frozenset[str]
    expect: str
    public_sql: str | None
    # "engine" when the case runs on engines, "dialect" when it is only rewritten
    runs: str


def names(text: str) -> frozenset[str]:
    """The engines or dialects that ``"all but spark"`` and the like name."""
    kept, _, left_out = text.partition(" but ")
    chosen = set()
    for name in kept.split():
        chosen |= GROUPS.get(name, {name})
    return frozenset(chosen - set(left_out.split()))


@cache
def cases(corpus: str) -> tuple[Case, ...]:
    path = DATA / f"{corpus}.toml"
    data = tomllib.loads(path.read_text(encoding="utf-8"))
    defaults = {key: value for key, value in data.items() if key != "case"}
    found = []
    for table in data["case"]:
        case = defaults | table
        where = f"{path.name}: {case.get('shape')}"
        unknown = case.keys() - KEYS
        assert not unknown, f"{where}: unknown keys {sorted(unknown)}"
        assert case.get("expect") in EXPECTATIONS, f"{where}: expect is one of {list(EXPECTATIONS)}"
        runs = [key for key in ("engines", "dialects") if key in case]
        assert len(runs) == 1, f"{where}: give engines or dialects, not both"
        on = names(case[runs[0]])
        assert runs[0] == "dialects" or on <= GROUPS["all"], f"{where}: no engine is called {on}"
        found.append(Case(case["shape"], case["sql"], on, case["expect"], case.get("public_sql"),
                          runs[0][:-1]))
    return tuple(found)


def corpus(name: str):
    """Parametrizes a test over the cases of ``name``.toml, each on every
    engine (or in every dialect) it names: ``engine`` or ``dialect``, then
    ``case``, with the id ``engine-name-shape``."""
    loaded = cases(name)
    (runs,) = {case.runs for case in loaded}
    order = list(ENGINES) + sorted({n for case in loaded for n in case.on} - set(ENGINES))
    params = [pytest.param(target, case, id=f"{target}-{name}-{case.shape}")
              for target in order for case in loaded if target in case.on]
    ids = [param.id for param in params]
    assert len(ids) == len(set(ids)), f"{name}.toml: a shape stands twice on one engine"
    return pytest.mark.parametrize((runs, "case"), params,
                                   indirect=["engine"] if runs == "engine" else [])
