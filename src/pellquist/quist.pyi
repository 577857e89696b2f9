"""Types of the compiled core, pellquist.quist."""

from typing import Any

from sqlglot.dialects.dialect import DialectType

from .models import TableNotFound as TableNotFound

class Session:
    """A catalogue and the params that fill its row filters."""

    database: Any
    params: Any

    def __init__(self, db: Any, params: Any) -> None: ...
    # A plain function in the class: call it as Session.is_type(tree, cls).
    def is_type(tree: Any, _type: type) -> bool: ...  # type: ignore[misc]
    def generateNativeSQL(self, aSql: str, dialect: DialectType = None) -> str: ...

__test__: dict[str, Any]
