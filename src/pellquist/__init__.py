"""pellquist: run SQL written against a published schema on the real one.

``Session(catalogue, params).generateNativeSQL(sql, dialect)`` parses a
SELECT, refuses anything that is not a plain read, and replaces every
published table with a filtered, renamed subquery over its internal table.

Names are loaded on first use, so ``import pellquist`` does not load the
compiled core (``pellquist.quist``) until ``pellquist.Session`` is touched.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__all__ = ["Catalogue", "Column", "Session", "Table", "TableNotFound"]
__version__ = "0.1.0"

_HOMES = {
    "Session": "pellquist.quist",
    "Catalogue": "pellquist.models",
    "Column": "pellquist.models",
    "Table": "pellquist.models",
    "TableNotFound": "pellquist.models",
}

if TYPE_CHECKING:  # pragma: no cover
    from .models import Catalogue, Column, Table, TableNotFound
    from .quist import Session


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'pellquist' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
