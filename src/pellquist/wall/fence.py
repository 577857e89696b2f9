"""The evaluation-order fence: the row filter runs before the user's query.

A subquery is not a barrier by itself: planners flatten it into the
enclosing query and push the user's predicates down to the scan, where an
expression that raises (a cast, a date parse, a division) may meet another
tenant's row before the filter has removed it, and its error message may
carry that row's value.  An ``OFFSET 0`` stops both on every engine proven
here: no planner pulls up a subquery with an offset, nor pushes a predicate
below one, because either would change which rows the offset skips.
SQLite needs a LIMIT for an OFFSET, which sqlglot writes as ``LIMIT -1``.
"""

from __future__ import annotations

from typing import Any

from sqlglot import exp


def fence(select: exp.Select, dialect: Any) -> exp.Select:
    select.set("offset", exp.Offset(expression=exp.Literal.number(0)))
    return select
