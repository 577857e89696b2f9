"""pellquist: run SQL written against a published schema on the real one.

``Session(catalogue, params).generateNativeSQL(sql, dialect)`` parses a
SELECT, refuses anything that is not a plain read, and replaces every
published table with a filtered, renamed subquery over its internal table.

Applications call ``pellquist.rewrite(catalogue, sql, params)``: a fresh
session per call, params checked by type, limits on the query's size and
nesting, and the errors of ``pellquist.errors`` (all ``PellquistError``).

Names are loaded on first use, so ``import pellquist`` does not load the
compiled core (``pellquist.quist``) until ``pellquist.Session`` is touched.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__all__ = [
    "BadCatalogue", "Catalogue", "CatalogueError", "Column", "DialectError", "LimitExceeded",
    "MissingParam", "PellquistError", "RawSql", "Refused", "Session", "SqlString", "SqlSyntaxError",
    "SqlTokenError", "Table", "TableNotFound", "UnknownDialect", "UnknownTable", "UnsafeParam",
    "load_catalogue", "rewrite",
]
__version__ = "0.1.0"

_HOMES = {
    "Session": "pellquist.quist",
    "Catalogue": "pellquist.models",
    "Column": "pellquist.models",
    "Table": "pellquist.models",
    "TableNotFound": "pellquist.models",
    "CatalogueError": "pellquist.models",
    "load_catalogue": "pellquist.models",
    "SqlString": "pellquist.models",
    "RawSql": "pellquist.models",
    "rewrite": "pellquist.api",
    **{name: "pellquist.errors" for name in (
        "BadCatalogue", "DialectError", "LimitExceeded", "MissingParam", "PellquistError",
        "Refused", "SqlSyntaxError", "SqlTokenError", "UnknownDialect", "UnknownTable", "UnsafeParam")},
}

if TYPE_CHECKING:  # pragma: no cover
    from .api import rewrite
    from .errors import (
        BadCatalogue, DialectError, LimitExceeded, MissingParam, PellquistError, Refused,
        SqlSyntaxError, SqlTokenError, UnknownDialect, UnknownTable, UnsafeParam,
    )
    from .models import (
        Catalogue, CatalogueError, Column, RawSql, SqlString, Table, TableNotFound,
        load_catalogue,
    )
    from .quist import Session
else:
    # Only at run time: to a type checker the names are the imports above, and
    # any other name is an error rather than Any.
    def __getattr__(name: str) -> Any:
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module 'pellquist' has no attribute {name!r}")
        value = getattr(importlib.import_module(home), name)
        globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
