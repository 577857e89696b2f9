"""The evaluation-order fence: the row filter runs before the user's query.

A subquery is not a barrier by itself: planners flatten it into the
enclosing query and push the user's predicates down to the scan, where an
expression that raises (a cast, a date parse, a division) may meet another
tenant's row before the filter has removed it, and its error message may
carry that row's value.  An ``OFFSET 0`` stops both on SQLite, DuckDB and
PostgreSQL: their planners never pull up a subquery with an offset, nor push
a predicate below one, because either would change which rows the offset
skips.  SQLite needs a LIMIT for an OFFSET, which sqlglot writes as
``LIMIT -1``; MySQL and BigQuery need one too, and get the largest their
grammar takes (a derived table with a LIMIT is never merged into the query
around it).

ClickHouse drops an ``OFFSET 0`` as a no-op and joins the subquery's filter
and the user's conditions into one expression, PREWHERE included, which it
evaluates over every row read when short-circuit evaluation is off.  It
keeps a LIMIT, and pushes no filter through one, so the subquery gets the
largest LIMIT a UInt64 holds.

The default dialect writes a bare ``OFFSET 0``: rewrite in the dialect of
the engine that runs the SQL.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Any

from sqlglot import exp
from sqlglot.dialects.bigquery import BigQuery
from sqlglot.dialects.clickhouse import ClickHouse
from sqlglot.dialects.dialect import Dialect
from sqlglot.dialects.mysql import MySQL

# Dialects whose fence is a LIMIT (with the OFFSET): the ones whose OFFSET
# needs one that sqlglot does not write itself, and ClickHouse.
_LIMIT_FOR_OFFSET = ((MySQL, "18446744073709551615"), (BigQuery, "9223372036854775807"),
                     (ClickHouse, "18446744073709551615"))


@lru_cache(maxsize=64)
def _limit_for(dialect: Any) -> str | None:
    resolved = Dialect.get_or_raise(dialect)
    for cls, limit in _LIMIT_FOR_OFFSET:
        if isinstance(resolved, cls):
            return limit
    return None


def fence(select: exp.Select, dialect: Any) -> exp.Select:
    try:
        limit = _limit_for(dialect)
    except TypeError:  # a dialect object that cannot be hashed is resolved every time
        limit = _limit_for.__wrapped__(dialect)
    if limit is not None:
        select.set("limit", exp.Limit(expression=exp.Literal.number(limit)))
    select.set("offset", exp.Offset(expression=exp.Literal.number(0)))
    return select
