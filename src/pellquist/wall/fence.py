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

Two planners drop an ``OFFSET 0`` as a no-op and then merge the filters:

* ClickHouse joins the subquery's filter and the user's conditions into one
  expression, PREWHERE included, which it evaluates over every row read
  when short-circuit evaluation is off.  It keeps a LIMIT, and pushes no
  filter through one, so the subquery gets the largest LIMIT a UInt64
  holds.
* Spark combines the filters into one conjunction, and puts the conditions
  it infers from the user's (``a = b AND f(a)`` gives ``f(b)``) ahead of
  the row filter.  A LIMIT would hold, but Spark runs a LIMIT in a single
  task over the whole table and its limit is a 32-bit integer, so the
  filter gets a conjunct that is always true and not deterministic
  instead: Spark merges no filter into a non-deterministic one, infers
  nothing into it and pushes nothing through it, while the row filter's own
  deterministic conjuncts still reach the scan (partition pruning, Parquet
  statistics).  The conjunct is ``SPARK_PARTITION_ID() >= 0``: Spark folds a
  comparison of ``RAND()`` with a constant outside its range, so
  ``RAND() >= 0`` would vanish before it fenced anything.  The OFFSET,
  which Spark drops anyway, is left out.

ClickHouse shares more than a plan between tenants.  A LowCardinality
column keeps one dictionary of values for every row of a part, and a
filtered column still points into it; most functions are evaluated once
per dictionary entry, so one that raises (``base64Decode``, a parse)
raises on another tenant's value, whatever filter and fence stand before
it.  Each column of the fenced subquery is therefore cast to its own type
without LowCardinality (``accurateCast`` to ``toTypeName`` with the
wrapper removed, a no-op for any other type): the query above it sees only
the tenant's values.

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
from sqlglot.dialects.spark2 import Spark2

# Dialects whose fence is a LIMIT (with the OFFSET): the ones whose OFFSET
# needs one that sqlglot does not write itself, and ClickHouse (whose
# columns are also taken out of shared dictionaries).
_LIMIT_FOR_OFFSET = ((MySQL, "18446744073709551615"), (BigQuery, "9223372036854775807"))
_CLICKHOUSE_LIMIT = "18446744073709551615"
_NO_CONDITION_CACHE = "use_query_condition_cache"
# Dialects whose fence is a non-deterministic condition: Spark's family
# (Spark 2 and 3, Databricks) shares its optimizer.
_NON_DETERMINISTIC = (Spark2,)


@lru_cache(maxsize=64)
def _form(dialect: Any) -> tuple[str, str | None]:
    """``("limit", n)``, ``("dictionaries", n)``, ``("nondeterministic", None)``
    or ``("offset", None)``."""
    resolved = Dialect.get_or_raise(dialect)
    if isinstance(resolved, _NON_DETERMINISTIC):
        return "nondeterministic", None
    if isinstance(resolved, ClickHouse):
        return "dictionaries", _CLICKHOUSE_LIMIT
    for cls, limit in _LIMIT_FOR_OFFSET:
        if isinstance(resolved, cls):
            return "limit", limit
    return "offset", None


# toTypeName's text with each LowCardinality(...) wrapper removed: the
# wrapped type's own parentheses all close at its end, so dropping the
# wrapper's opening and the first closing parenthesis after it leaves the
# inner type whole (LowCardinality(Nullable(String)) gives Nullable(String),
# Map(LowCardinality(String), UInt8) gives Map(String, UInt8)).  A wrapper
# stands first or after "(", "," or a space; one quoted inside an enum's
# label is left alone.
_WRAPPER = exp.Literal.string(r"(^|[(, ])LowCardinality\((.*?)\)")
_INNER = exp.Literal.string(r"\1\2")


def _unshared(value: exp.Expr, alias: str) -> exp.Expr:
    """``value`` as a column of its own values, never one that points into a
    dictionary shared with other rows.  Built as ClickHouse's parser reads
    it back.  A bare column is qualified by the internal table's ``alias``:
    ClickHouse lets a SELECT's aliases shadow its columns, so ``toTypeName(id)``
    beside a projection named ``id`` would read that projection."""
    if alias and isinstance(value, exp.Column) and not value.table:
        value = exp.Column(this=value.this, table=exp.to_identifier(alias, quoted=True))
    inner = exp.Anonymous(this="replaceRegexpAll",
                          expressions=[exp.Typeof(this=value.copy()), _WRAPPER.copy(),
                                       _INNER.copy()])
    return exp.Anonymous(this="accurateCast", expressions=[value, inner])


def qualify_projections(select: exp.Select, dialect: Any) -> None:
    """On ClickHouse, each projection of a replacement subquery reads its
    column through the internal table's name or alias, fenced or not: there
    a SELECT's aliases shadow its columns, so in ``SELECT a AS b, b AS x``
    the second would read the first's value."""
    try:
        form = _form(dialect)[0]
    except TypeError:
        form = _form.__wrapped__(dialect)[0]
    if form != "dictionaries":
        return
    source = select.args.get("from_")
    table = source.this if source is not None else None
    if not isinstance(table, exp.Table):
        return
    qualifier = table.alias or table.name
    for projection in select.expressions:
        value = projection.this if isinstance(projection, exp.Alias) else None
        if isinstance(value, exp.Column) and not value.table:
            projection.set("this", exp.Column(this=value.this,
                                              table=exp.to_identifier(qualifier, quoted=True)))


def fence(select: exp.Select, dialect: Any) -> exp.Select:
    try:
        form, limit = _form(dialect)
    except TypeError:  # a dialect object that cannot be hashed is resolved every time
        form, limit = _form.__wrapped__(dialect)
    if form == "nondeterministic":
        # A partition's id is never negative: the condition drops no row.
        # Built as the parser reads it back (an empty argument list), so the
        # read-back can match the rewritten tree node for node.
        always = exp.GTE(this=exp.Anonymous(this="SPARK_PARTITION_ID", expressions=[]),
                         expression=exp.Literal.number(0))
        where = select.args.get("where")
        condition = exp.and_(where.this, always) if where is not None else always
        select.set("where", exp.Where(this=condition))
        return select
    if form == "dictionaries":
        source = select.args.get("from_")
        alias = source.this.alias if source is not None else ""
        for projection in select.expressions:
            if isinstance(projection, exp.Alias):
                projection.set("this", _unshared(projection.this, alias))
    if limit is not None:
        select.set("limit", exp.Limit(expression=exp.Literal.number(limit)))
    select.set("offset", exp.Offset(expression=exp.Literal.number(0)))
    if form == "dictionaries":
        # ClickHouse's query condition cache (on by default since 25.3)
        # records which granules a subquery under such a LIMIT matched with
        # the outer query's conditions folded in, and later reads of the same
        # subquery then skip granules holding its rows: too few rows, with
        # no error.  The fenced subquery reads without it.
        select.set("settings", [exp.EQ(this=exp.column(_NO_CONDITION_CACHE),
                                       expression=exp.Literal.number(0))])
    return select
