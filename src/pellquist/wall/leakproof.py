"""Which table references need the fence: those a leaky expression can reach.

The fence (see :mod:`.fence`) makes the engine apply a table's row filter
before anything of the query, at the price of the plans that merge the
filtered subquery into the query around it.  Most queries never need it: a
planner that moves ``o_orderdate >= DATE '1995-01-01'`` ahead of the row
filter shows nothing of another tenant's rows, because a comparison of a date
with a date cannot fail.  What can is an expression that raises an error on
some values and not on others, and whose message or mere failure then tells
of a row the filter would have removed: a division, an overflow, a cast of
text to a number, a parse.

This module reads the whole statement once, before the rewrite replaces its
tables, and finds each published table reference that such an expression
may meet before its filter.  Only those get the fence.

Where the planner may evaluate an expression on a table's rows before its
filter (a *position*):

* the conjuncts of WHERE, JOIN ... ON, HAVING and QUALIFY of every query
  level, since planners push them down to the scans;
* the select expressions of a subquery used as a value or a test (scalar,
  IN, EXISTS), which a planner may turn into a join;
* the ORDER BY keys of a query with a LIMIT, which an engine may evaluate in
  its scan to keep only the top rows.

Select lists, GROUP BY, window and aggregate arguments run above the scans,
after every filter.  A column of a derived table or CTE stands for the
expression that defines it, since a planner substitutes one for the other
when it pushes a condition down; so ``WHERE x > 0`` over
``(SELECT 1 / price AS x FROM orders)`` reaches ``orders`` with a division.

What each engine can raise on a row's values is the table ``RULES`` below,
one row a kind of expression and one column an engine.  An engine not in the
table keeps the fence on every reference, as does anything this module does
not understand: a statement it cannot scope, a column it cannot bind, a kind
of expression it has no row for.

The verdict travels on the table node's ``meta`` under a key that is a class,
not a string: the parser fills ``meta`` from comments (``/* sqlglot.meta
... */``) with string keys only, so no statement can mark its own table
unfenced.  ``meta`` survives the copy that the rewrite's transform makes.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping
from decimal import Decimal
from functools import lru_cache
from typing import Any

from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.dialects.duckdb import DuckDB
from sqlglot.dialects.postgres import Postgres
from sqlglot.dialects.spark import Spark
from sqlglot.dialects.sqlite import SQLite
from sqlglot.optimizer.scope import Scope, ScopeType, traverse_scope

from .sources import public_key

__all__ = ["RULES", "Unfenced", "mark_unfenced", "needs_fence"]


class Unfenced:
    """The ``meta`` key of a table node that the analysis found needs no fence."""


# What each engine may raise while it evaluates a kind of expression on a
# row's values.
#   safe   never raises, whatever the values;
#   typed  never raises when the column types of its operands are known and
#          fit together (a comparison of two numbers, a cast of a date to
#          DATE); raises or is unknown otherwise;
#   leaky  may raise on some values.
# SQLite's arithmetic gives NULL for a division by zero and a float for an
# overflow, its casts never fail, its comparisons take any two values, and
# a scalar subquery gives its first row however many there are.  Spark is
# read as it runs by default, in ANSI mode: arithmetic that overflows or
# divides by zero and a cast that cannot convert raise, as on PostgreSQL.
RULES_TEXT = """
kind                       postgres  duckdb  sqlite   spark
logic                      safe      safe    safe     safe    AND OR NOT, CASE, COALESCE, NULLIF
comparison                 typed     typed   safe     typed   = <> < <= > >=, IS [NOT] DISTINCT FROM
null-test                  safe      safe    safe     safe    IS [NOT] NULL
in-list                    typed     typed   safe     typed   x IN (constant, ...)
between                    typed     typed   safe     typed   x BETWEEN constant AND constant
like-constant              safe      safe    safe     safe    LIKE / ILIKE with a constant pattern
like-data                  leaky     leaky   leaky    leaky   LIKE / ILIKE with a pattern built from data
arithmetic                 leaky     leaky   safe     leaky   + - * / %, unary minus
scale                      safe      safe    safe     safe    a number times a constant above -1, up to 1
cast-same-type             typed     typed   safe     typed   CAST of a column to its own type
cast-to-text               typed     typed   safe     typed   CAST of a number, date, time, boolean or text to text
cast-other                 leaky     leaky   safe     leaky   any other CAST
text-function              typed     typed   safe     typed   UPPER LOWER LENGTH TRIM, SUBSTRING with constant bounds
extract                    typed     typed   safe     typed   EXTRACT of a date part, DATE_TRUNC to a constant unit
date-function              leaky     leaky   safe     leaky   SQLite's date time datetime julianday strftime
correlated-many-rows       leaky     leaky   safe     leaky   a correlated scalar subquery that may return two rows
other-function             leaky     leaky   leaky    leaky   any other function or operator
"""


# The header names the engines; past a row's verdicts is its description.
_RULE_LINES = [line.split() for line in RULES_TEXT.strip().splitlines()]
RULES: Mapping[str, Mapping[str, str]] = {
    row[0]: dict(zip(_RULE_LINES[0][1:], row[1:])) for row in _RULE_LINES[1:]}

# The dialects whose planners the analysis is proven on, by the engine's
# column of RULES.  A subclass of one (a dialect built on it) is not the
# engine and keeps the fence.
_ENGINES = ((Postgres, "postgres"), (DuckDB, "duckdb"), (SQLite, "sqlite"), (Spark, "spark"))

_NUMBER, _TEXT, _DATETIME, _TIME, _BOOLEAN, _INTERVAL = (
    "number", "text", "datetime", "time", "boolean", "interval")
# A string literal takes the type of what it is compared with: a constant
# cast, which fails on no row or on all of them.
_STRING, _NULL = "string literal", "null"

_DATETIMES = frozenset({
    exp.DataType.Type.DATE, exp.DataType.Type.DATE32, exp.DataType.Type.DATETIME,
    exp.DataType.Type.DATETIME2, exp.DataType.Type.DATETIME64, exp.DataType.Type.SMALLDATETIME,
    exp.DataType.Type.TIMESTAMP, exp.DataType.Type.TIMESTAMPTZ, exp.DataType.Type.TIMESTAMPLTZ,
    exp.DataType.Type.TIMESTAMPNTZ, exp.DataType.Type.TIMESTAMP_S, exp.DataType.Type.TIMESTAMP_MS,
    exp.DataType.Type.TIMESTAMP_NS,
})
_TIMES = frozenset({exp.DataType.Type.TIME, exp.DataType.Type.TIMETZ})
# The families whose every value has a text form.
_PRINTABLE = frozenset({_NUMBER, _TEXT, _DATETIME, _TIME, _BOOLEAN})

_COMPARISONS = (exp.EQ, exp.NEQ, exp.GT, exp.GTE, exp.LT, exp.LTE, exp.NullSafeEQ,
                exp.NullSafeNEQ)
_LOGIC = (exp.And, exp.Or, exp.Not, exp.Paren, exp.Xor)
_ARITHMETIC = (exp.Add, exp.Sub, exp.Mul, exp.Div, exp.Mod, exp.IntDiv, exp.Neg, exp.Pow,
               exp.BitwiseAnd, exp.BitwiseOr, exp.BitwiseXor, exp.BitwiseNot,
               exp.BitwiseLeftShift, exp.BitwiseRightShift, exp.SafeDivide)
_TEXT_FUNCTIONS = (exp.Upper, exp.Lower, exp.Length, exp.Trim, exp.Substring)
_SQLITE_DATE_FUNCTIONS = frozenset({"date", "time", "datetime", "julianday", "strftime"})
_SQLITE_DATE_NODES = (exp.TimeToStr, exp.StrToTime, exp.TsOrDsToDate, exp.Date, exp.DateAdd,
                      exp.DateSub, exp.Datetime, exp.UnixToTime)
# Nodes that hold a value computed above the scans (after every filter).
_ABOVE_SCANS = (exp.AggFunc, exp.Window)


def engine_of(dialect: Any) -> str | None:
    """The engine column of RULES for ``dialect``, or None (always fenced)."""
    try:
        return _engine_of(dialect)
    except TypeError:  # a dialect object that cannot be hashed
        return _engine_of.__wrapped__(dialect)


@lru_cache(maxsize=64)
def _engine_of(dialect: Any) -> str | None:
    try:
        resolved = Dialect.get_or_raise(dialect)
    except Exception:
        return None
    for cls, engine in _ENGINES:
        if type(resolved) is cls:
            return engine
    return None


def type_family(type_text: str, dialect: str | None = None) -> str | None:
    """The family of a column type as the catalogue gives it: number, text,
    datetime, time, boolean, the type's own name for any other, or None when
    the text is not a type."""
    return _type_family(type_text, dialect)


@lru_cache(maxsize=1024)
def _type_family(type_text: str, dialect: str | None) -> str | None:
    try:
        built = exp.DataType.build(type_text, dialect=dialect)
    except Exception:
        return None
    return _family_of_type(built)


def _family_of_type(built: exp.DataType) -> str | None:
    kind = built.this
    if kind in exp.DataType.NUMERIC_TYPES:
        return _NUMBER
    if kind in exp.DataType.TEXT_TYPES:
        return _TEXT
    if kind in _DATETIMES:
        return _DATETIME
    if kind in _TIMES:
        return _TIME
    if kind == exp.DataType.Type.BOOLEAN:
        return _BOOLEAN
    if kind == exp.DataType.Type.INTERVAL:
        return _INTERVAL
    if kind in (exp.DataType.Type.UNKNOWN, exp.DataType.Type.USERDEFINED,
                exp.DataType.Type.NULL):
        # NULL as a type would read as the family of a NULL constant, which
        # fits every other.
        return None
    return str(kind.value).lower()


def mark_unfenced(tree: exp.Expr, dialect: Any, tables: Mapping[str, Any]) -> None:
    """Marks every published table reference of ``tree`` that no leaky
    expression can reach before its filter; ``tables`` maps a lower-cased,
    dotted public name to its table."""
    engine = engine_of(dialect)
    if engine is None:
        return
    try:
        analysis = _Analysis(tree, engine, dialect, tables)
    except Exception:
        # What the analysis cannot follow (_Unsure), or a statement it trips
        # on: every table keeps its fence.
        return
    for node in analysis.references:
        if id(node) not in analysis.reached:
            meta: dict[Any, Any] = node.meta
            meta[Unfenced] = True


def needs_fence(node: Any) -> bool:
    """Whether the rewrite must fence the subquery that replaces ``node``."""
    meta = getattr(node, "_meta", None)
    return not (meta and meta.get(Unfenced) is True)


# ---- the analysis -------------------------------------------------------------

class _Unsure(Exception):
    """The statement holds what the analysis cannot follow: fence everything."""


class _Using:
    """The comparison a JOIN ... USING (name) makes, as a position."""

    __slots__ = ("join", "name")

    def __init__(self, join: exp.Join, name: str) -> None:
        self.join = join
        self.name = name


class _Value:
    """What the analysis knows of an expression: its type family (None when
    unknown), whether evaluating it may raise on a row's values, and which
    table references' rows it reads (by id of the table node)."""

    __slots__ = ("family", "leaky", "reach", "above")

    def __init__(self, family: str | None, leaky: bool, reach: frozenset[int],
                 above: bool = False) -> None:
        self.family = family
        self.leaky = leaky
        self.reach = reach
        # Whether it reads an aggregate's or a window's result, which only
        # exists above the scans, after every filter.
        self.above = above


class _Analysis:
    def __init__(self, tree: exp.Expr, engine: str, dialect: Any,
                 tables: Mapping[str, Any]) -> None:
        self.engine = engine
        self.rules = {kind: verdicts[engine] for kind, verdicts in RULES.items()}
        self.type_dialect = engine
        self.tables = tables
        # Table node -> its public columns' families (lower-cased name -> family).
        self.references: list[exp.Table] = []
        self.columns: dict[int, dict[str, str | None]] = {}
        self.reached: set[int] = set()
        if any(isinstance(w, exp.With) and w.args.get("recursive") for w in tree.find_all(exp.With)):
            raise _Unsure
        try:
            scopes = list(traverse_scope(tree))
        except Exception:
            raise _Unsure from None
        if not scopes:
            raise _Unsure
        self.scope_of: dict[int, Scope] = {}
        for scope in scopes:
            self.scope_of[id(scope.expression)] = scope
            for source in scope.sources.values():
                if isinstance(source, exp.Table) and id(source) not in self.columns:
                    self._add_reference(source)
        # Every table node must be one the scopes know as a source: one that
        # is not (a table in a position the scope walk skips) is fenced, and
        # so is everything, since its columns cannot be bound.
        known = set(self.columns) | {id(t) for t in self._cte_tables(scopes)}
        for table in tree.find_all(exp.Table):
            if id(table) not in known and isinstance(table.this, exp.Identifier):
                raise _Unsure
        self.all_references = frozenset(id(t) for t in self.references)
        self._memo: dict[tuple[int, int], _Value] = {}
        self._expanding: set[tuple[int, str]] = set()
        for scope in scopes:
            for position in self._positions(scope):
                value = (self._using(position, scope) if isinstance(position, _Using)
                         else self.value(position, scope))
                if value.leaky and value.reach:
                    self.reached |= value.reach
                elif value.leaky and not value.above:
                    # A leaky expression of constants alone may still be
                    # evaluated at any scan of its query level, and fail
                    # only where a row reaches it.
                    self.reached |= self._under(scope)

    # ---- sources ----------------------------------------------------------

    @staticmethod
    def _cte_tables(scopes: list[Scope]) -> Iterator[exp.Table]:
        # A CTE's name where it is read: a source that is a scope, not a table.
        for scope in scopes:
            for node in scope.expression.find_all(exp.Table):
                name = node.alias_or_name
                if isinstance(scope.sources.get(name), Scope):
                    yield node

    def _add_reference(self, node: exp.Table) -> None:
        if not isinstance(node.this, exp.Identifier):
            return
        parts = [p.lower() for p in (node.catalog, node.db) if p] + [node.name.lower()]
        table = self.tables.get(".".join(parts))
        if table is None:
            return
        families: dict[str, str | None] = {}
        for column in getattr(table, "columns", {}).values():
            kind = getattr(column, "type", None)
            families[str(column.pub_name).lower()] = (
                type_family(kind, self.type_dialect) if isinstance(kind, str) else None)
        self.references.append(node)
        self.columns[id(node)] = families

    def _under(self, scope: Scope) -> frozenset[int]:
        """Every published table reference a query level reads, at any depth."""
        found: set[int] = set()
        seen: set[int] = set()
        stack = [scope]
        while stack:
            s = stack.pop()
            if id(s) in seen:
                continue
            seen.add(id(s))
            for source in s.sources.values():
                if isinstance(source, Scope):
                    stack.append(source)
                elif id(source) in self.columns:
                    found.add(id(source))
            stack.extend(s.subquery_scopes)
            stack.extend(s.set_operation_scopes)
        return frozenset(found)

    # ---- positions --------------------------------------------------------

    def _positions(self, scope: Scope) -> Iterator[exp.Expr | _Using]:
        select = scope.expression
        if not isinstance(select, exp.Select):
            return
        for key in ("where", "having", "qualify"):
            clause = select.args.get(key)
            if clause is not None:
                yield from _conjuncts(clause.this)
        for join in _joins(select):
            on = join.args.get("on")
            if on is not None:
                yield from _conjuncts(on)
            if join.args.get("method") or join.kind == "NATURAL":
                # A NATURAL join compares the columns the tables share,
                # which the statement does not name.
                raise _Unsure
            for name in join.args.get("using") or ():
                yield _Using(join, name.name.lower())
        if select.args.get("limit") is not None or select.args.get("fetch") is not None:
            order = select.args.get("order")
            if order is not None:
                for key in order.expressions:
                    yield key.this if isinstance(key, exp.Ordered) else key
        if scope.scope_type == ScopeType.SUBQUERY:
            yield from select.expressions

    # ---- values -----------------------------------------------------------

    def value(self, node: exp.Expr, scope: Scope) -> _Value:
        # An expression cannot meet itself while it is judged: the one way
        # round, a select list's alias, is expanded once per level (see
        # _column).  Were it to, the recursion would end the analysis with
        # every table fenced.
        key = (id(node), id(scope))
        known = self._memo.get(key)
        if known is None:
            known = self._memo[key] = self._value(node, scope)
        return known

    def _verdict(self, kind: str, family_fits: bool = True) -> bool:
        """Whether an expression of ``kind`` may raise (its operands aside)."""
        rule = self.rules[kind]
        if rule == "safe":
            return False
        if rule == "typed":
            return not family_fits
        return True

    def _value(self, node: exp.Expr, scope: Scope) -> _Value:
        if isinstance(node, exp.Alias):
            return self.value(node.this, scope)
        if isinstance(node, exp.Star) or isinstance(node, exp.Column) and isinstance(
                node.this, exp.Star):
            # The columns themselves (EXISTS (SELECT * ...)): nothing evaluated.
            return _Value(None, False, frozenset())
        if isinstance(node, exp.Column):
            return self._column(node, scope)
        if isinstance(node, (exp.Any, exp.All)):
            # x = ANY (...): compared with each element, or each row.
            inner = node.this
            while isinstance(inner, exp.Paren):
                inner = inner.this
            if isinstance(inner, (exp.Subquery, exp.Query)):
                return self._subquery(inner, scalar=False)
            if isinstance(inner, exp.Array):
                return _joined([self.value(e, scope) for e in inner.expressions]) \
                    if inner.expressions else _Value(None, False, frozenset())
            return self.value(inner, scope)
        if isinstance(node, exp.Exists):
            inner = self._subquery(node.this, scalar=False)
            return _Value(_BOOLEAN, inner.leaky, inner.reach)
        if isinstance(node, (exp.Subquery, exp.Query)):
            return self._subquery(node, scalar=True)
        if isinstance(node, _ABOVE_SCANS):
            return _Value(self._aggregate_family(node, scope), False, frozenset(), above=True)
        constant = _constant_family(node)
        if constant is not _NOT_CONSTANT:
            return _Value(constant, False, frozenset())
        parts = [self.value(c, scope) for c in node.iter_expressions()
                 if not isinstance(c, (exp.DataType, exp.Var))]
        reach = frozenset().union(*(p.reach for p in parts)) if parts else frozenset()
        parts_leak = any(p.leaky for p in parts)
        above = any(p.above for p in parts)

        def made(family: str | None, leaky: bool) -> _Value:
            return _Value(family, parts_leak or leaky, reach, above)

        if isinstance(node, (*_LOGIC, exp.Exists)):
            return made(_BOOLEAN, self._verdict("logic"))
        if isinstance(node, (exp.Case, exp.If, exp.Coalesce, exp.Nullif)):
            # Branches of two types make the engine cast one to the other.
            family = _common(self._branches(node, scope))
            return made(family, self._verdict("logic") or self._verdict(
                "comparison", family is not None))
        if isinstance(node, exp.Is):
            return made(_BOOLEAN, False)
        if isinstance(node, _COMPARISONS):
            left, right = self.value(node.this, scope), self.value(node.expression, scope)
            return made(_BOOLEAN, self._verdict("comparison", _fit(left.family, right.family)))
        if isinstance(node, exp.In):
            return self._in(node, scope, made)
        if isinstance(node, exp.Between):
            this = self.value(node.this, scope)
            fits = all(_fit(this.family, self.value(node.args[k], scope).family)
                       and _is_constant(node.args[k]) for k in ("low", "high"))
            return made(_BOOLEAN, self._verdict("between", fits))
        if isinstance(node, (exp.Like, exp.ILike, exp.Escape)):
            return made(_BOOLEAN, self._like_leaks(node))
        if isinstance(node, exp.Mul) and (_fraction(node.this) or _fraction(node.expression)):
            other = node.expression if _fraction(node.this) else node.this
            family = self.value(other, scope).family
            return made(_NUMBER, self._verdict("scale") or family != _NUMBER)
        if isinstance(node, _ARITHMETIC):
            families = [p.family for p in parts]
            family = _NUMBER if all(f == _NUMBER for f in families) else None
            return made(family, self._verdict("arithmetic"))
        if isinstance(node, (exp.Cast, exp.TryCast)):
            to = node.args.get("to")
            own = self._column_type(node.this, scope)
            same = isinstance(to, exp.DataType) and own is not None and own == to
            family = _family_of_type(to) if isinstance(to, exp.DataType) else None
            if same:
                return made(family, self._verdict("cast-same-type", True))
            if family == _TEXT:
                printable = self.value(node.this, scope).family in _PRINTABLE
                return made(family, self._verdict("cast-to-text", printable))
            return made(family, self._verdict("cast-other"))
        if isinstance(node, _TEXT_FUNCTIONS):
            return self._text_function(node, scope, made)
        if isinstance(node, (exp.TimestampTrunc, exp.DateTrunc)) and isinstance(
                node.args.get("unit"), (exp.Var, exp.Literal)):
            dated = self.value(node.this, scope).family == _DATETIME
            return made(_DATETIME, self._verdict("extract", dated))
        if isinstance(node, exp.Extract):
            dated = self.value(node.expression, scope).family == _DATETIME
            return made(_NUMBER, self._verdict("extract", dated))
        if self.engine == "sqlite" and (
                isinstance(node, _SQLITE_DATE_NODES) or isinstance(node, exp.Anonymous)
                and node.name.lower() in _SQLITE_DATE_FUNCTIONS):
            return made(None, self._verdict("date-function"))
        return made(None, self._verdict("other-function"))

    def _using(self, using: _Using, scope: Scope) -> _Value:
        """JOIN ... USING (name): the joined table's column equals the one of
        the tables before it."""
        right = scope.sources.get(using.join.this.alias_or_name)
        if right is None:
            raise _Unsure
        values = []
        for source in scope.sources.values():
            if source is right or self._has(source, using.name):
                values.append(self._source_column(source, using.name, scope))
        if len(values) < 2 or not self._has(right, using.name):
            raise _Unsure
        fits = all(_fit(values[0].family, v.family) for v in values[1:])
        joined = _joined(values)
        return _Value(_BOOLEAN, joined.leaky or self._verdict("comparison", fits), joined.reach)

    def _source_column(self, source: Any, name: str, scope: Scope) -> _Value:
        if isinstance(source, exp.Table):
            return _Value(self.columns.get(id(source), {}).get(name), False,
                          frozenset({id(source)}))
        if isinstance(source, Scope):
            return self._derived(source, name)
        return _Value(None, False, self._under(scope))

    def _branches(self, node: exp.Expr, scope: Scope) -> list[str | None]:
        if isinstance(node, exp.Case):
            values = [i.args.get("true") for i in node.args.get("ifs") or ()]
            values.append(node.args.get("default"))
        elif isinstance(node, exp.If):
            values = [node.args.get("true"), node.args.get("false")]
        elif isinstance(node, exp.Nullif):
            values = [node.this]
        else:
            values = [node.this, *node.expressions]
        return [self.value(v, scope).family for v in values if v is not None]

    def _in(self, node: exp.In, scope: Scope, made: _Made) -> _Value:
        this = self.value(node.this, scope)
        query = node.args.get("query")
        if query is not None:
            inner = self._subquery(query, scalar=False)
            return made(_BOOLEAN, self._verdict("comparison", _fit(this.family, inner.family)))
        if node.args.get("unnest") is not None or node.args.get("field") is not None:
            return made(_BOOLEAN, True)
        fits = all(_is_constant(e) and _fit(this.family, self.value(e, scope).family)
                   for e in node.expressions)
        return made(_BOOLEAN, self._verdict("in-list", fits))

    def _like_leaks(self, node: exp.Expr) -> bool:
        escape: exp.Expr | None = None
        if isinstance(node, exp.Escape):
            escape, node = node.expression, node.this
        # An escape of other than one character fails on every row tested;
        # what else takes an ESCAPE (SIMILAR TO) is not read here.
        odd_escape = escape is not None and not (
            isinstance(escape, exp.Literal) and escape.is_string and len(escape.this) == 1)
        if odd_escape or not isinstance(node, (exp.Like, exp.ILike)):
            return True
        pattern = node.expression
        if not (isinstance(pattern, exp.Literal) and pattern.is_string):
            return self._verdict("like-data")
        # A pattern that ends in its escape character is an error, on every
        # row the engine tests: the error would tell that a row was tested.
        mark = escape.this if escape is not None else "\\"
        text = pattern.this
        trailing = len(text) - len(text.rstrip(mark))
        return trailing % 2 == 1 or self._verdict("like-constant")

    def _text_function(self, node: exp.Expr, scope: Scope, made: _Made) -> _Value:
        source = self.value(node.this, scope)
        fits = source.family == _TEXT
        if isinstance(node, exp.Substring):
            # A negative or non-constant bound raises on every row tested.
            for key in ("start", "length"):
                bound = node.args.get(key)
                if bound is not None and not (isinstance(bound, exp.Literal)
                                              and bound.is_int and int(bound.this) >= 0):
                    fits = False
        if isinstance(node, exp.Trim) and node.args.get("expression") is not None:
            fits = fits and _is_constant(node.args["expression"])
        family = _NUMBER if isinstance(node, exp.Length) else _TEXT
        return made(family, self._verdict("text-function", fits))

    def _aggregate_family(self, node: exp.Expr, scope: Scope) -> str | None:
        if isinstance(node, (exp.Count, exp.Sum, exp.Avg)):
            return _NUMBER
        if isinstance(node, (exp.Min, exp.Max)):
            try:
                return self.value(node.this, scope).family
            except _Unsure:
                return None
        return None

    # ---- columns ----------------------------------------------------------

    def _column(self, column: exp.Column, scope: Scope) -> _Value:
        values = []
        name = column.name.lower()
        found = self._resolve(column, scope)
        order = scope.expression.args.get("order")
        if not column.table and (found is None or order is not None and column.find_ancestor(
                exp.Order) is order):
            # A name no source has may be a select list's alias (DuckDB and
            # SQLite read them in WHERE too), and ORDER BY reads an alias
            # before a source's column: the alias stands for its expression.
            alias = _output_alias(scope, name)
            # `x AS x` names the column itself, and inside the expression
            # an alias names, its name is the source's column.
            expanding = (id(scope), name)
            if alias is not None and expanding not in self._expanding and not (
                    isinstance(alias, exp.Column) and alias.name.lower() == name):
                self._expanding.add(expanding)
                try:
                    values.append(self.value(alias, scope))
                finally:
                    self._expanding.discard(expanding)
        if found is not None:
            source, where = found
            if isinstance(source, exp.Table) and id(source) in self.columns:
                values.append(_Value(self.columns[id(source)].get(name), False,
                                     frozenset({id(source)})))
            elif isinstance(source, Scope):
                values.append(self._derived(source, name))
            else:  # a table function, a VALUES list: no published rows of its own
                values.append(_Value(_generated_family(source, name), False, self._under(where)))
        elif not values:
            # A column no level binds for certain: it may read any table's rows.
            return _Value(None, False, self.all_references)
        return _joined(values) if len(values) > 1 else values[0]

    def _column_type(self, node: exp.Expr, scope: Scope) -> exp.DataType | None:
        """The declared type of a published column, as sqlglot builds it."""
        if not isinstance(node, exp.Column):
            return None
        found = self._resolve(node, scope)
        if found is None or not isinstance(found[0], exp.Table):
            return None
        table = self.tables.get(public_key(found[0]))
        for column in getattr(table, "columns", {}).values():
            if str(column.pub_name).lower() == node.name.lower():
                kind = getattr(column, "type", None)
                if isinstance(kind, str):
                    try:
                        return exp.DataType.build(kind, dialect=self.type_dialect)
                    except Exception:
                        return None
        return None

    def _resolve(self, column: exp.Column, scope: Scope) -> tuple[Any, Scope] | None:
        """The source a column reads (a table node, a derived scope or another
        source) and the level where it stands, or None: bound to no source
        for certain (ambiguous, unknown, or a select list's alias)."""
        qualifier = column.table
        name = column.name.lower()
        current: Scope | None = scope
        while current is not None:
            sources = current.sources
            if qualifier:
                # Names are in the engine's own case by now: one that differs
                # in case is another name, and may be an outer level's.
                source = sources.get(qualifier)
                if source is not None:
                    return source, current
            else:
                candidates = [s for s in sources.values() if self._may_have(s, name)]
                if candidates:
                    named = [s for s in candidates if self._has(s, name)]
                    if len(candidates) == 1 and len(named) == 1:
                        return named[0], current
                    return None
                if _output_alias(current, name) is not None:
                    return None
            current = current.parent if _may_correlate(current) else None
        return None

    # A level's sources are tables and levels (sqlglot's Scope): anything
    # else would raise, and the analysis would end with every table fenced.

    def _has(self, source: Any, name: str) -> bool:
        if isinstance(source, exp.Table):
            return name in self.columns.get(id(source), {})
        return _output_index(source, name) is not None

    def _may_have(self, source: Any, name: str) -> bool:
        if isinstance(source, exp.Table):
            return id(source) not in self.columns or name in self.columns[id(source)]
        return _output_index(source, name) is not None or _has_star(source)

    def _derived(self, scope: Scope, name: str) -> _Value:
        """A derived table's or CTE's column, as the expression it stands for."""
        expression = scope.expression
        if not isinstance(expression, (exp.Select, exp.SetOperation)):
            # A VALUES list or a table function.  sqlglot lends it the
            # sources before it in FROM (a LATERAL one may read them), but
            # its columns are its own, never theirs.
            if not isinstance(expression, exp.Values):
                return _Value(None, True, self._under(scope))
            cells = [c for row in _value_rows(expression) for c in row]
            return _Value(_generated_family(expression, name),
                          not all(_is_constant(c) for c in cells), self._under(scope))
        branches = _branches_of(scope)
        index = _output_index(scope, name)
        if index is None:
            if all(_has_star(b) for b in branches):
                # SELECT * over one source: the column is that source's.
                values = []
                for branch in branches:
                    inner = [s for s in branch.sources.values() if self._may_have(s, name)]
                    if len(inner) != 1:
                        return _Value(None, True, self._under(scope))
                    source = inner[0]
                    if isinstance(source, exp.Table):
                        values.append(_Value(self.columns.get(id(source), {}).get(name), False,
                                             frozenset({id(source)})))
                    else:  # a Scope: sqlglot's sources hold nothing else
                        values.append(self._derived(source, name))
                return _joined(values)
            return _Value(None, True, self._under(scope))
        values = []
        for branch in branches:
            selects = branch.expression.expressions if isinstance(
                branch.expression, exp.Select) else []
            if index >= len(selects) or isinstance(selects[index], exp.Star):
                return _Value(None, True, self._under(scope))
            values.append(self.value(selects[index], branch))
        return _joined(values)

    def _subquery(self, node: exp.Expr, scalar: bool) -> _Value:
        query = node.this if isinstance(node, exp.Subquery) else node
        inner = self.scope_of.get(id(query))
        if inner is None:
            raise _Unsure
        branches = _branches_of(inner)
        families: list[str | None] = []
        for branch in branches:
            selects = branch.expression.expressions if isinstance(
                branch.expression, exp.Select) else []
            if len(selects) != 1:
                families.append(None)
                continue
            families.append(self.value(selects[0], branch).family)
        family = _common(families)
        outer = self._outer_reach(inner)
        if not outer or not scalar:
            return _Value(family, False, outer)
        # A correlated subquery used as a value fails on an outer row for
        # which it returns two rows: only one that always returns exactly
        # one row (an aggregate without GROUP BY) cannot.
        single = len(branches) == 1 and _one_row(branches[0].expression)
        leaky = not single and self.rules["correlated-many-rows"] != "safe"
        return _Value(family, leaky, outer)

    def _outer_reach(self, inner: Scope) -> frozenset[int]:
        """The tables of outer levels that a subquery's columns read."""
        reach: set[int] = set()
        levels = [inner, *(s for s in self._descendants(inner))]
        own = {id(s) for s in levels}
        for level in levels:
            for column in level.columns:
                if _level(column) is not level.expression:
                    continue  # a deeper level's column, judged at its own level
                found = self._resolve(column, level)
                if found is None:
                    if not column.table and _output_alias(level, column.name.lower()) is not None:
                        continue
                    reach |= self.all_references
                    continue
                source, where = found
                if id(where) in own:
                    continue
                if isinstance(source, exp.Table):
                    reach.add(id(source))
                else:
                    reach |= self._under(where)
        return frozenset(reach)

    @staticmethod
    def _descendants(scope: Scope) -> Iterator[Scope]:
        stack = [*scope.subquery_scopes, *scope.derived_table_scopes, *scope.set_operation_scopes]
        while stack:
            s = stack.pop()
            yield s
            stack.extend([*s.subquery_scopes, *s.derived_table_scopes, *s.set_operation_scopes])


# ---- helpers ------------------------------------------------------------------

_NOT_CONSTANT = object()
# A value made from an expression's parts: its family, and whether the
# expression itself may raise.
_Made = Callable[[str | None, bool], _Value]
_CONSTANT_NODES = (exp.Literal, exp.Null, exp.Boolean, exp.Interval, exp.CurrentDate,
                   exp.CurrentTimestamp, exp.DataType, exp.Var, exp.Neg, exp.Paren, exp.Add,
                   exp.Sub, exp.Mul, exp.Cast, exp.Tuple)


def _constant_family(node: exp.Expr) -> Any:
    """The family of an expression built from constants alone, which fails on
    no row or on every row; ``_NOT_CONSTANT`` for any other."""
    for part in node.walk():
        if not isinstance(part, _CONSTANT_NODES):
            return _NOT_CONSTANT
    if isinstance(node, exp.Paren):
        return _constant_family(node.this)
    if isinstance(node, exp.Literal):
        return _STRING if node.is_string else _NUMBER
    if isinstance(node, exp.Null):
        return _NULL
    if isinstance(node, exp.Boolean):
        return _BOOLEAN
    if isinstance(node, exp.Interval):
        return _INTERVAL
    if isinstance(node, (exp.CurrentDate, exp.CurrentTimestamp)):
        return _DATETIME
    if isinstance(node, exp.Cast):
        return _family_of_type(node.to)
    if isinstance(node, exp.Neg):
        return _constant_family(node.this)
    if isinstance(node, (exp.Add, exp.Sub, exp.Mul)):
        left, right = _constant_family(node.this), _constant_family(node.expression)
        if _DATETIME in (left, right) and _INTERVAL in (left, right):
            return _DATETIME
        if left == right == _NUMBER:
            return _NUMBER
        return None
    return None


def _generated_family(source: Any, name: str) -> str | None:
    """The family of a column of VALUES or of a series generator, told by
    its constants; None where they do not tell."""
    alias = source.args.get("alias") if isinstance(source, exp.Expr) else None
    columns = [c.name.lower() for c in alias.args.get("columns") or ()] if isinstance(
        alias, exp.TableAlias) else []
    if isinstance(source, exp.Values):
        if name not in columns:
            return None
        i = columns.index(name)
        found = [_constant_family(r[i]) if i < len(r) else None for r in _value_rows(source)]
        return _common(f if isinstance(f, str) else None for f in found)
    generator = source.this if isinstance(source, exp.Table) else None
    if isinstance(generator, (exp.GenerateSeries, exp.ExplodingGenerateSeries)) and (
            len(columns) <= 1):
        start = _constant_family(generator.args.get("start") or exp.Null())
        return start if isinstance(start, str) and start in (_NUMBER, _DATETIME) else None
    return None


def _value_rows(values: exp.Values) -> list[list[exp.Expr]]:
    """A VALUES list's rows as lists of cells."""
    return [r.expressions if isinstance(r, exp.Tuple) else [r] for r in values.expressions]


def _is_constant(node: exp.Expr) -> bool:
    return _constant_family(node) is not _NOT_CONSTANT


def _fit(left: str | None, right: str | None) -> bool:
    """Whether two values compare without a cast that can fail on a row's value."""
    if left is None or right is None:
        return False
    if _STRING in (left, right) or _NULL in (left, right):
        return True  # the constant is cast, once, to the other's type
    return left == right


def _common(families: Iterable[str | None]) -> str | None:
    found = {f for f in families if f != _NULL}
    if len(found) == 1:
        return found.pop()
    return None


def _joined(values: list[_Value]) -> _Value:
    family = _common(v.family for v in values)
    return _Value(family, any(v.leaky for v in values),
                  frozenset().union(*(v.reach for v in values)), any(v.above for v in values))


def _fraction(node: exp.Expr) -> bool:
    """A number literal above -1 and at most 1: a product with it cannot
    overflow (-1 can: the smallest integer has no positive counterpart)."""
    sign = 1
    while isinstance(node, (exp.Neg, exp.Paren)):
        if isinstance(node, exp.Neg):
            sign = -sign
        node = node.this
    if not (isinstance(node, exp.Literal) and node.is_number):
        return False
    # sqlglot's number literals are all decimal text (a suffixed one is a
    # cast); one Decimal could not read would end the analysis, and every
    # table would keep its fence.
    return -1 < sign * Decimal(node.this) <= 1


def _level(node: exp.Expr) -> exp.Expr | None:
    """The query a node is part of.  Parentheses around a join (``FROM (a
    JOIN b ON ...)``) are a Subquery node that holds no query of its own:
    what hangs off one, its joins' ON among them, is part of the query
    around it."""
    query = node.find_ancestor(exp.Query)
    while isinstance(query, exp.Subquery):
        query = query.find_ancestor(exp.Query)
    return query


def _joins(select: exp.Select) -> Iterator[exp.Join]:
    """The joins of a query level, the ones inside parenthesized joins too."""
    for join in select.find_all(exp.Join):
        if _level(join) is select:
            yield join


def _conjuncts(node: exp.Expr) -> Iterator[exp.Expr]:
    while isinstance(node, exp.Paren):
        node = node.this
    if isinstance(node, exp.And):
        yield from _conjuncts(node.this)
        yield from _conjuncts(node.expression)
    else:
        yield node


def _branches_of(scope: Scope) -> list[Scope]:
    """The SELECT levels of a scope: itself, or each branch of a set operation."""
    if not scope.set_operation_scopes:
        return [scope]
    branches: list[Scope] = []
    for branch in scope.set_operation_scopes:
        branches.extend(_branches_of(branch))
    return branches


def _output_index(scope: Scope, name: str) -> int | None:
    # A column list on the CTE or derived table (`revenue (no, total) AS
    # (...)`) names the outputs in place of the select list's names.
    holder = scope.expression.parent
    alias = holder.args.get("alias") if isinstance(holder, (exp.CTE, exp.Subquery)) else None
    listed = alias.args.get("columns") if isinstance(alias, exp.TableAlias) else None
    if listed:
        names = [c.name.lower() for c in listed]
        return names.index(name) if name in names else None
    first = _branches_of(scope)[0].expression
    if not isinstance(first, exp.Select):
        return None
    for i, select in enumerate(first.expressions):
        if select.alias_or_name.lower() == name and not isinstance(select, exp.Star):
            return i
    return None


def _has_star(scope: Scope) -> bool:
    expression = scope.expression
    if not isinstance(expression, exp.Select):
        return any(_has_star(b) for b in _branches_of(scope)) if scope.set_operation_scopes else True
    return any(isinstance(s, exp.Star) or isinstance(s, exp.Column) and isinstance(
        s.this, exp.Star) for s in expression.expressions)


def _output_alias(scope: Scope, name: str) -> exp.Expr | None:
    """The expression the select list names ``name``, if it names one."""
    expression = scope.expression
    if not isinstance(expression, exp.Select):
        return None
    for select in expression.expressions:
        if isinstance(select, exp.Alias) and select.alias.lower() == name:
            this: exp.Expr = select.this
            return this
    return None


def _may_correlate(scope: Scope) -> bool:
    """Whether a column a level does not bind may bind to the level around it.
    A derived table beside a LATERAL VIEW binds none (the view is a level of
    its own): a column it does not bind is an error on the engine, and one
    the analysis cannot place fences every table."""
    return scope.scope_type in (ScopeType.SUBQUERY, ScopeType.UDTF) or bool(
        scope.expression.find_ancestor(exp.Lateral))


def _one_row(select: exp.Expr) -> bool:
    """A SELECT that returns exactly one row: aggregates only, no GROUP BY."""
    if not isinstance(select, exp.Select) or select.args.get("group") is not None:
        return False
    if select.args.get("having") is not None or select.args.get("limit") is not None:
        return False
    if select.args.get("offset") is not None or select.args.get("qualify") is not None:
        return False
    return all(_is_aggregate_expression(s) for s in select.expressions)


def _is_aggregate_expression(node: exp.Expr) -> bool:
    """Every column of ``node`` stands under an aggregate (no window)."""
    if isinstance(node, exp.Alias):
        node = node.this
    if isinstance(node, exp.Window) or node.find(exp.Window):
        return False
    if not node.find(exp.AggFunc):
        return False
    for column in node.find_all(exp.Column):
        if not column.find_ancestor(exp.AggFunc):
            return False
    return True
