"""The catalogues and queries that the benchmarks time.

* TPC-H: the eight tables published under their own names over renamed
  internal tables (``t_<table>``, columns ``c_<column>``) with the tenant
  filter ``tenant_id = {tenant}``, and the 22 queries of
  ``tests/data/tpch/queries.sql``.
* Synthetic: ``n`` tables ``tab0 .. tab<n-1>`` of a few columns each, for the
  scaling figures (references per query, catalogue size).
"""

from __future__ import annotations

import gzip
import re
from pathlib import Path

from pellquist.models import Catalogue, Column, Table

# The copy in the repository that the tests read (tests/tpch.py, DATA_DIR),
# so the timings are taken on the queries the tests check.
DATA = Path(__file__).resolve().parents[1] / "tests" / "data" / "tpch"
TPCH_TABLES = ("customer", "lineitem", "nation", "orders", "part", "partsupp", "region",
               "supplier")
ROW_FILTER = "tenant_id = {tenant}"
PARAMS = {"tenant": 1}
TRIVIAL_QUERY = "SELECT col0 FROM tab0"


def tpch_catalogue(filters: str | None = ROW_FILTER, data: Path = DATA) -> Catalogue:
    tables = {}
    for name in TPCH_TABLES:
        with gzip.open(data / f"{name}.csv.gz", "rt") as f:
            header = f.readline().strip().split("|")
        tables[name] = Table(name, f"t_{name}", {f"c_{c}": Column(c) for c in header}, filters)
    return Catalogue(tables)


def tpch_queries(data: Path = DATA) -> dict[str, str]:
    """``{"Q1": sql, ...}`` from the ``-- Qn`` headed, ``;``-terminated file."""
    parts = re.split(r"^--\s*(Q\d+)\s*$", (data / "queries.sql").read_text(), flags=re.M)
    return {name: body.strip().rstrip(";").strip()
            for name, body in zip(parts[1::2], parts[2::2])}


def synthetic_catalogue(n: int, columns: int = 4,
                        filters: str | None = ROW_FILTER) -> Catalogue:
    return Catalogue({
        f"tab{i}": Table(f"tab{i}", f"t_tab{i}",
                         {f"c_col{j}": Column(f"col{j}") for j in range(columns)}, filters)
        for i in range(n)
    })


def references_query(k: int) -> str:
    """A SELECT that names ``k`` catalogue tables, each once, joined in FROM."""
    tables = ", ".join(f"tab{i} AS r{i}" for i in range(k))
    where = " AND ".join(f"r0.col0 = r{i}.col0" for i in range(1, k)) or "r0.col1 > 0"
    return f"SELECT r0.col0, r{k - 1}.col1 FROM {tables} WHERE {where}"
