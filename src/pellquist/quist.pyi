"""Types of the compiled core, pellquist.quist.

The compiled functions carry no docstrings of their own (their ``__doc__``
is None); what they do is told here.
"""

from typing import Any

from sqlglot.dialects.dialect import DialectType

from .models import TableNotFound as TableNotFound

class Session:
    """A catalogue and the params that fill its row filters.

    ``database`` is any object with ``tables`` (a mapping whose values are
    tables, each with ``pub_name``, ``name``, ``columns`` and ``filters``);
    ``params`` is a mapping whose values are pasted into the filters'
    ``{placeholders}`` as SQL text.  Both are read afresh on every call, so
    a session is not for sharing between requests: ``pellquist.rewrite``
    makes a fresh one per call.
    """

    database: Any
    params: Any

    def __init__(self, db: Any, params: Any) -> None: ...
    # A plain function in the class: call it as Session.is_type(tree, cls).
    def is_type(tree: Any, _type: type) -> bool:
        """Whether ``tree`` holds a node of class ``_type`` anywhere, itself included."""
    def generateNativeSQL(self, aSql: str, dialect: DialectType = None) -> str:
        """``aSql`` rewritten onto the internal tables, in ``dialect``.

        The SQL must be one SELECT (a query, possibly with CTEs and set
        operations); anything else raises ``Exception(message, aSql)``.
        Each published table becomes a subquery over its internal table
        that renames the columns and applies the row filter; a table that is
        neither published nor a CTE raises ``TableNotFound``.  Every
        identifier of the result is quoted.
        """

__test__: dict[str, Any]
