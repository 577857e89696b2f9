"""The wall's checks around one rewrite.

``pellquist.quist`` makes a :class:`Call` for each ``generateNativeSQL``
call and asks it, in order:

1. :meth:`Call.check`: one walk of the parsed statement, which refuses
   every part the rewrite does not understand (row sources, functions,
   text that would leave its quotes, table parts it cannot carry over) and
   learns the CTE names of every level;
2. while the rewrite builds each replacement subquery: :meth:`Call.is_cte`
   (CTE scope), :meth:`Call.bind_filter` (the filter's columns mean the
   internal table's), :meth:`Call.fence` (the filter runs first) and
   :meth:`Call.carry` (alias columns and pivots follow the table);
3. :meth:`Call.check_native`: the native SQL reads back as the very tree
   that was checked.

Every refusal is ``Exception(message, sql)``, like the rewrite's own.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from functools import lru_cache
from typing import Any

from sqlglot import exp
from sqlglot.optimizer.normalize_identifiers import normalize_identifiers

from . import clickhouse as clickhouse_
from . import columns as columns_
from . import functions, leakproof, readback, scope, sources, text
from .tree import (JUDGE_KIND, JUDGE_PLAIN_TABLE, JUDGE_ROW_SOURCE, JUDGE_TEXT, KIND_IDENTIFIER,
                   KIND_LITERAL, KIND_QUOTED, KIND_ROW_POSITION, screen, walk)
from .fence import fence as _fence
from .fence import qualify_projections


INTERNAL_ALIAS = "_internal"
# Every alias check() may choose begins so, lower-cased.
_ALIAS_PREFIX = INTERNAL_ALIAS.lower()


# What the statement walk asks of a node depends on its class: each class
# met gets its flags once.  The first four are the screen's own (see
# tree.screen): a node with any other flag is judged here.
_IDENTIFIER, _QUOTED, _LITERAL, _ROW_POSITION = (
    KIND_IDENTIFIER, KIND_QUOTED, KIND_LITERAL, KIND_ROW_POSITION)
(_FUNC, _DATATYPE, _SELECT, _CTE, _IN, _HOST_COMMAND, _QUERY, _ROWS_FROM_TEXT, _TABLE, _APPLY,
 _HINT, _VALUES, _MATCH) = (1 << i for i in range(4, 17))
_KIND_BITS = (
    (exp.Identifier, _IDENTIFIER), (text.QUOTED, _QUOTED), (exp.Literal, _LITERAL),
    (sources.ROW_POSITIONS, _ROW_POSITION),
    (exp.Func, _FUNC), (exp.DataType, _DATATYPE),
    (exp.Select, _SELECT), (exp.CTE, _CTE), (exp.In, _IN), (exp.QueryTransform, _HOST_COMMAND),
    (exp.Query, _QUERY), (exp.TableFromRows, _ROWS_FROM_TEXT), (exp.Table, _TABLE),
    (exp.Apply, _APPLY), (exp.Hint, _HINT), (exp.Values, _VALUES), (exp.Match, _MATCH),
)
_KINDS: dict[type, int] = {}
# A table the screen finds plain (see tree.screen) passes every rule of the
# walk but CTE scope: with no CTE in the statement, it is not judged again.
_PLAIN_TABLE = (exp.Table, _TABLE, exp.Identifier, exp.TableAlias, sources.TABLE_PARTS_KEPT,
                sources.PLAIN_ALIAS_PARTS)
_PLAIN_TABLE_ONLY = JUDGE_KIND | JUDGE_ROW_SOURCE | JUDGE_PLAIN_TABLE
# The kinds whose rules the screen can tell pass a node (see tree.screen):
# the type rule and the select and query rules of check().
_PASSING = (_DATATYPE, exp.ObjectIdentifier, functions.JUDGED_TYPES, _SELECT, _QUERY)
# The meta keys with which the parser marks where a token stood.
_POSITIONS = frozenset(("line", "col", "start", "end"))


def _kind_flags(kind: type) -> int:
    flags = 0
    for cls, bit in _KIND_BITS:
        if issubclass(kind, cls):
            flags |= bit
    if flags & _FUNC and not functions.judged_by_node(kind):
        flags &= ~_FUNC  # the function rule passes every call of this class
    _KINDS[kind] = flags
    return flags


def _flags_of(kind: type) -> int:
    flags = _KINDS.get(kind)
    return _kind_flags(kind) if flags is None else flags


class Call:
    """The wall's view of one rewrite: the statement, its dialect and the
    catalogue's settings."""

    __slots__ = ("_scopes", "_catalogue", "_statement", "_names", "sql", "dialect", "blocked", "allowed", "fenced", "cte_names",
                 "has_ctes", "internal_reads", "alias", "filter_reads", "warnings_at",
                 "published")

    def __init__(self, catalogue: Any, dialect: Any, sql: Any, blocked: list[type]) -> None:
        self.sql = sql
        # The statement's blocked kinds, as the rewrite read them from sqlglot.
        self.blocked = tuple(blocked)
        self.dialect = dialect
        allowed = getattr(catalogue, "allowed_functions", None)
        self.allowed = None if allowed is None else frozenset(str(n).lower() for n in allowed) | (
            functions.everyday(dialect))
        # True: every filtered subquery is fenced; "auto": those a leaky
        # expression of the statement can reach (see leakproof); False: none.
        fence = getattr(catalogue, "fence", False)
        self.fenced: bool | str = "auto" if isinstance(fence, str) and fence == "auto" else bool(
            fence)
        self._catalogue = catalogue
        # The statement as checked, and the names its identifiers use
        # (lower-cased, found on first need; see default_alias).
        self._statement: exp.Expr = exp.Select()
        self._names: set[str] | None = None
        self.cte_names: set[str] = set()
        # Whether the statement or a filled filter has a CTE: without one, no
        # table is bound to a CTE nor shadowed by one.
        self.has_ctes = True
        # The table part of each internal table the rewrite has read, lower-cased.
        self.internal_reads: list[str] = []
        # The alias of each internal table inside its subquery; chosen by
        # check() so that the statement uses no identifier of that name.
        self.alias = INTERNAL_ALIAS
        # How many tables the filled filters read themselves (a membership
        # subquery, say): the read-back must find exactly these more.
        self.filter_reads = 0
        # sqlglot's warnings in this thread when the walk began (see
        # readback.warning_count); None if they could not be counted.
        self.warnings_at: int | None = None
        # The names of each WITH met so far (see scope.resolve).
        self._scopes: scope.Indexes = {}
        # Per alias of a replacement subquery, lower-cased: the table's public
        # name and its columns (see columns.unknown_column).
        self.published: dict[str, tuple[str, tuple[str, ...]]] = {}

    def refuse(self, message: str) -> None:
        raise Exception(message, self.sql)

    # ---- the statement -------------------------------------------------------

    def check(self, tree: exp.Expr) -> set[str]:
        """Refuses what the rewrite cannot vouch for; returns every CTE name."""
        self.warnings_at = readback.warning_count()
        self._statement = tree
        # An unquoted name means what the engine makes of it: PostgreSQL
        # folds it to lower case, Snowflake to upper, ClickHouse keeps it.
        # The rewrite quotes every name it writes, so it folds them first,
        # and every rule after (CTE scope above all) sees the engine's names.
        normalize_identifiers(tree, dialect=self.dialect)
        why = sources.doubled_quote_refusal(self.sql, self.dialect) or \
            sources.number_text_refusal(self.sql, self.dialect)
        if why is not None:
            self.refuse(why)
        clickhouse = sources.reads_table_names_past_aliases(self.dialect)
        if clickhouse:
            # What sqlglot would write back as ClickHouse does not read it is
            # rewritten first, so that every rule below judges what is run.
            clickhouse_.rewrite(tree)
        allowed = self.allowed
        # Where a dialect has hidden columns (Hive's), refused by name, every
        # identifier is judged here; of the others, the screen lists the
        # texts that the internal table's alias could take.
        hive_fenced = bool(self.fenced) and sources.has_hidden_columns(self.dialect)
        session_names = sources.may_name_the_session(self.dialect, self.sql)
        judged, reasons, texts, seen = screen(tree, _KINDS, _kind_flags,
                                              sources.has_hidden_columns(self.dialect)
                                              or session_names,
                                              _ALIAS_PREFIX, _PLAIN_TABLE, _PASSING)
        names = {t.lower() for t in texts}
        # Without a CTE anywhere in the statement no table name is bound to one.
        self.has_ctes = bool(seen & _CTE)
        plain_passes = not self.has_ctes
        node: Any  # its class is told by the flags, not by isinstance
        dotted = False  # a table named with its schema and without an alias
        for node, reason in zip(judged, reasons):
            if reason & JUDGE_ROW_SOURCE and node.args.get("db") and not node.args.get("alias"):
                dotted = True
            if reason == _PLAIN_TABLE_ONLY and plain_passes:
                continue
            flags = _flags_of(type(node))
            if reason & JUDGE_TEXT:
                # The screen passes plain text, and identifiers with no mark.
                if flags & _IDENTIFIER:
                    names.add(node.name.lower())
                    if node.args.get("temporary") or node.args.get("global_"):
                        # T-SQL's #name and ##name: a session's or a global
                        # temporary table, never a CTE or a published table,
                        # though its name without the marks may be one.
                        self.refuse(f"The SQL names the temporary table "
                                    f"{node.sql(self.dialect)!r}, which the rewrite cannot check")
                    why = sources.hidden_column_refusal(node, self.dialect)
                    if why is None and session_names:
                        why = sources.session_name_refusal(node, self.dialect,
                                                           self._published_tables())
                    if why is not None:
                        self.refuse(why)
                plain = text.unquoted_text(node)
                if plain is not None:
                    self.refuse(f"The SQL holds text that would be written outside quotes: {plain!r}")
            if flags & _FUNC:
                why = functions.refusal(node, allowed, self.dialect)
                if why is not None:
                    self.refuse(why)
            if flags & _APPLY:
                why = functions.apply_refusal(node, allowed)
                if why is not None:
                    self.refuse(why)
            if flags & _DATATYPE:
                why = functions.type_refusal(node, allowed, self.dialect)
                if why is not None:
                    self.refuse(why)
            if flags & _SELECT and not node.args.get("from_") and (
                    node.args.get("joins") or node.args.get("laterals")):
                # sqlglot writes such joins as items of the select list.
                self.refuse("The SQL joins tables to a SELECT that has no FROM")
            if flags & _CTE:
                self.cte_names.add(node.alias)
            if flags & _IN:
                why = sources.in_list_refusal(node)
                if why is not None:
                    self.refuse(why)
            if flags & _VALUES:
                # ClickHouse's VALUES('name Type, ...', rows) takes its
                # columns' types as text: an AggregateFunction there names an
                # aggregate, judged as a call of it.
                why = (functions.values_refusal(node, allowed)
                       if clickhouse or functions.is_default(self.dialect) else None)
                if why is None and clickhouse:
                    # A list clickhouse.rewrite left as it was: one row in a
                    # table's place, which may be the VALUES table function,
                    # or an alias naming more or fewer columns than it has.
                    why = ("The SQL lists rows with VALUES in a form the rewrite cannot write "
                           "as ClickHouse reads it; select them with SELECT ... UNION ALL")
                if why is not None:
                    self.refuse(why)
            if flags & _MATCH and allowed is not None and "match" not in allowed:
                # SQLite's x MATCH y calls match(x, y), which only the
                # application or a virtual table defines.
                self.refuse("The SQL uses MATCH, which calls a function the application "
                            "defines, which the catalogue does not allow"
                            + functions.HINT_MARK + functions.ALLOW_HINT)
            if flags & _HINT:
                # A hint steers the planner (Oracle's NO_MERGE and PUSH_PRED,
                # Spark's joins and partitions), which can move a condition
                # before a table's row filter; none reads or computes data.
                # Refused whatever the catalogue allows, not judged as calls.
                self.refuse("The SQL gives the engine optimizer hints (/*+ ... */), which "
                            "can change the order in which it applies the row filters")
            if flags & _HOST_COMMAND:
                # Spark and Hive pipe the rows through a command of the host.
                self.refuse("The SQL runs a command of the engine's host (TRANSFORM ... USING), "
                            "which the rewrite cannot check")
            if flags & _QUERY and (node.args.get("settings") or node.args.get("format")):
                # ClickHouse's per-statement settings change how the engine
                # evaluates and what it reads (formats read schema and
                # template files); a session sets them, not a query.
                self.refuse("The SQL sets the engine's settings or output format for the "
                            "statement (SETTINGS, FORMAT), which the rewrite cannot check")
            if flags & _ROWS_FROM_TEXT:
                self.refuse(f"The SQL reads rows from {sources.describe(node)}, "
                            "which the rewrite cannot check")
            if reason & JUDGE_ROW_SOURCE:
                why = sources.row_source_refusal(node)
                if why is not None:
                    self.refuse(why)
                if flags & _TABLE and isinstance(node.this, exp.Identifier):
                    self._check_named_table(node)

            elif flags & _TABLE and sources.heads_parenthesized_join(node):
                why = sources.row_source_refusal(node)
                if why is not None:
                    self.refuse(why)
                if isinstance(node.this, exp.Identifier):
                    self._check_named_table(node, sources.JOIN_HEAD_PARTS_KEPT)
            elif flags & _TABLE:
                self.refuse(f"The SQL names the table {sources.describe(node)} where the "
                            "rewrite cannot replace it")
        if dotted or clickhouse:
            why = columns_.requalify_trailing(tree, clickhouse)
            if why is not None:
                self.refuse(why)
        alias, n = INTERNAL_ALIAS, 0
        while alias.lower() in names:
            n += 1
            alias = f"{INTERNAL_ALIAS}_{n}"
        self.alias = alias
        if self.fenced == "auto":
            leakproof.mark_unfenced(tree, self.dialect, self._published_tables())
        if hive_fenced and isinstance(self.sql, str) and "lateral" in self.sql.lower():
            self._check_lateral_fences(tree)
        return self.cte_names

    def _check_lateral_fences(self, tree: exp.Expr) -> None:
        """Spark's fence is a condition that is not deterministic, and Spark
        runs no such condition in a LATERAL subquery against another
        source's rows: a filtered table there that must be fenced is refused."""
        for node in walk(tree):
            if (isinstance(node, exp.Table) and isinstance(node.this, exp.Identifier)
                    and _under_lateral(node) and not self.is_cte(node) and self._fences(node)
                    and getattr(self._published_tables().get(sources.public_key(node)),
                                "filters", None)):
                self.refuse(f"The SQL reads the table {sources.describe(node)} in a "
                            "LATERAL subquery, which Spark refuses to run with the row "
                            "filter's fence; write it as a join")

    def _published_tables(self) -> Any:
        """Lower-cased public name -> table, as the rewrite looks tables up."""
        by_name = getattr(self._catalogue, "_by_name", None)
        if isinstance(by_name, Mapping):
            return by_name
        tables = getattr(self._catalogue, "tables", None)
        if not isinstance(tables, Mapping):
            return {}
        return {str(t.pub_name).lower(): t for t in tables.values()}

    def _check_named_table(self, node: exp.Table,
                           kept: frozenset[str] = sources.TABLE_PARTS_KEPT) -> None:
        if self.is_cte(node):
            return  # kept as written, with all its parts
        part = sources.unsupported_part(node, kept)
        if part is not None:
            self.refuse(f"The table reference {sources.describe(node)} uses {part}, "
                        "which the rewrite cannot carry over")
        why = sources.alias_columns_refusal(node, self.dialect)
        if why is not None:
            self.refuse(why)

    # ---- while the rewrite builds a subquery ---------------------------------

    def is_cte(self, node: exp.Table) -> bool:
        """Whether ``node`` is kept as written: an unqualified plain name bound
        to a CTE in scope."""
        # A qualified name, or a table function (its name is no Identifier),
        # is never a CTE.
        if (not self.has_ctes or node.args.get("db") or node.args.get("catalog")
                or not isinstance(node.this, exp.Identifier)):
            return False
        exact, folded = scope.resolve(node, node.name, self._scopes)
        if exact is None and folded is not None:
            self.refuse(f"The table name {node.name!r} differs only in case from the CTE "
                        f"{folded.alias!r} in scope: some engines read the CTE, others a "
                        "table; write the name as the CTE is written")
        return exact is not None

    def shadowed(self, node: exp.Table) -> bool:
        """Whether some engine could read a CTE instead of the table the
        rewrite reads at ``node``: a CTE of that name, in any case, in reach
        of it in any order (see scope.any_cte_named)."""
        if not self.has_ctes or node.args.get("db") or node.args.get("catalog"):
            return False
        return scope.any_cte_named(node, node.name, self._scopes) is not None

    def bind_filter(self, condition: exp.Expr, select: exp.Select) -> None:
        """Names the internal table in the subquery's FROM with an alias that
        no identifier of the statement uses, and qualifies the filter's bare
        columns with it.  A column the internal table lacks is then an engine
        error: no enclosing query can offer a table of that name (the
        internal table's own name could be an alias of the user's, which
        SQLite and DuckDB would bind to)."""
        source = select.args["from_"].this
        own_name = source.name.lower()
        for node in walk(condition):
            _drop_positions(node)
            if isinstance(node, exp.CTE):
                self.has_ctes = True
        alias = exp.to_identifier(self.alias, quoted=True)
        source.set("alias", exp.TableAlias(this=alias))
        for column in _columns_of_this_level(condition):
            # A filter may name the internal table itself; the alias replaces it.
            if not column.table or _names_own_table(column, own_name):
                column.set("table", alias.copy())
            else:
                # Any other qualifier names no table of the filter: it could
                # only bind to a table or alias of the user's query.
                raise ValueError(
                    f"The row filter's column {column.sql()!r} is qualified by a table that "
                    "is not the filtered table: name the internal table, or leave the column "
                    "unqualified")
        # A subquery of the filter reads tables of its own; a column in it
        # that does not name one of them would bind to whatever scope has
        # that name, the user's query included, so each must say which table
        # it means, by a name the filter itself gives.
        for query in condition.find_all(exp.Query):
            for column in query.find_all(exp.Column):
                if not column.table:
                    raise ValueError(
                        f"The row filter's subquery has the unqualified column {column.name!r}: "
                        "qualify it with its table, so that it cannot bind to a column of the "
                        "query around the filter")
                if column.table in _tables_in_reach(column, condition):
                    continue
                if _names_own_table(column, own_name):
                    column.set("table", alias.copy())
                    continue
                raise ValueError(
                    f"The row filter's subquery column {column.sql()!r} names no table of the "
                    "filter: qualify it with a table or alias of its own subquery, or with "
                    "the filtered table's name")
        self.filter_reads += sum(1 for _ in condition.find_all(exp.Table))

    def fence(self, node: exp.Table, select: exp.Select) -> exp.Select:
        """``select``, the filtered subquery that replaces ``node``, fenced
        unless the statement's analysis found that it needs no fence."""
        return _fence(select, self.dialect) if self._fences(node) else select

    def _fences(self, node: exp.Table) -> bool:
        """Whether the subquery that replaces ``node`` gets the fence."""
        return bool(self.fenced) and (self.fenced != "auto" or leakproof.needs_fence(node))

    def carry(self, node: exp.Table, subquery: exp.Subquery,
              transformer: Any = None) -> exp.Subquery:
        """Carries the table's alias columns and pivots onto its replacement
        (and drops the parser's positions from its FROM, as for the
        statement: the render copies the subquery), and the joins of a
        parenthesized join it heads, their tables rewritten by
        ``transformer``, the rewrite's own."""
        source = subquery.this.args.get("from_")
        if source is not None:
            for part in walk(source):
                _drop_positions(part)
        qualify_projections(subquery.this, self.dialect)
        alias = node.args.get("alias")
        columns = alias.args.get("columns") if isinstance(alias, exp.TableAlias) else None
        if columns:
            subquery.args["alias"].set("columns", [c.copy() for c in columns])
        columns_.publish(self.published, node, subquery, columns)
        pivots = node.args.get("pivots")
        if pivots:
            subquery.set("pivots", [p.copy() for p in pivots])
        joins = node.args.get("joins")
        if joins:
            # The table heads a parenthesized join, (t AS a JOIN u AS b ON
            # ...): the transform does not go below a node it has replaced,
            # so the joined tables are rewritten here, in place (their
            # enclosing WITHs still in reach), and move onto the subquery.
            # Without the rewrite's transformer they could not be: refused.
            if transformer is None:
                self.refuse(f"The SQL names the table {sources.describe(node)} where the "
                            "rewrite cannot replace it")
            subquery.set("joins", [join.transform(transformer, copy=False) for join in joins])
        return subquery

    def requalify(self, column: exp.Column, tbl_map: Any) -> exp.Column:
        """A column qualified by a table's full public name, qualified instead
        by the alias that table's subquery gets (the table has none of its own,
        or the name would not be a valid qualifier)."""
        parts = [p.lower() for p in (column.catalog, column.db, column.table) if p]
        table = tbl_map.get(".".join(parts))
        if table is None:
            return column
        moved = column.copy()
        moved.set("catalog", None)
        moved.set("db", None)
        moved.set("table", exp.to_identifier(self.default_alias(table.pub_name), quoted=True))
        return moved

    def default_alias(self, pub_name: Any) -> str:
        """The alias of the subquery that replaces a table written without
        one: its public name, as the statement's columns qualify it; for a
        dotted name, the name with "_" for ".", or, where the statement
        already uses that (an alias, a CTE), the first of name_1, name_2, ...
        that it does not: a name it uses would let one of its columns bind
        to the other source."""
        base = str(pub_name)
        if "." not in base:
            return base
        base = base.replace(".", "_")
        if self._names is None:
            self._names = {i.name.lower() for i in self._statement.find_all(exp.Identifier)}
        alias, n = base, 0
        while alias.lower() in self._names:
            n += 1
            alias = f"{base}_{n}"
        return alias

    def internal_name(self, name: Any) -> Any:
        """The internal table name as the subquery's FROM takes it: an
        expression is copied, so the catalogue's own is never attached to a
        query's tree."""
        self.internal_reads.append(_table_part(name).lower())
        return name.copy() if isinstance(name, exp.Expression) else name

    # ---- the native SQL -----------------------------------------------------

    def check_native(self, new_tree: exp.Expr, native: str, back: Any) -> None:
        why = columns_.unknown_column(self.published, new_tree) if self.published else None
        if why is None and self.published and leakproof.engine_of(self.dialect) == "postgres":
            why = columns_.whole_row_refusal(self.published, new_tree)
        if why is not None:
            self.refuse(why)
        why = readback.refusal(self, new_tree, native, back)
        if why is not None:
            self.refuse(why)


def _under_lateral(node: exp.Expr) -> bool:
    """Whether ``node`` stands inside a LATERAL source, at any depth."""
    parent = node.parent
    while parent is not None:
        if isinstance(parent, exp.Lateral):
            return True
        parent = parent.parent
    return False


def _drop_positions(node: exp.Expr) -> None:
    """Drops the parser's record of where ``node`` stood in its text: nothing
    reads it after the parse, and each copy of the tree (the rewrite's and
    the render's) would copy it again."""
    meta = node._meta
    if meta is not None and meta.keys() <= _POSITIONS:
        node._meta = None


def _table_part(name: Any) -> str:
    """The table part of an internal name, as the subquery's FROM reads it."""
    if isinstance(name, exp.Table):
        return name.name
    return _table_part_of_text(str(name))


@lru_cache(maxsize=4096)
def _table_part_of_text(name: str) -> str:
    # Catalogue names repeat on every call; parsing one is far dearer than
    # looking it up.
    return exp.to_table(name).name


def _names_own_table(column: exp.Column, own_name: str) -> bool:
    return not column.args.get("db") and not column.args.get("catalog") and (
        column.table.lower() == own_name)


def _tables_in_reach(column: exp.Column, condition: exp.Expr) -> set[str]:
    """The table names and aliases, exactly as written, that the queries
    between ``column`` and the filter's ``condition`` read from: the names a
    qualifier can bind to without leaving the filter."""
    names: set[str] = set()
    node = column.parent
    while node is not None and node is not condition:
        if isinstance(node, exp.Select):
            from_ = node.args.get("from_")
            sources_ = [from_.this] if isinstance(from_, exp.From) else []
            sources_ += [j.this for j in node.args.get("joins") or []]
            names.update(s.alias_or_name for s in sources_ if s.alias_or_name)
        node = node.parent
    return names


def _columns_of_this_level(condition: exp.Expr) -> Iterator[exp.Column]:
    """The columns of a condition outside any nested query of its own."""
    stack = [condition]
    while stack:
        node = stack.pop()
        if isinstance(node, exp.Column):
            yield node
            continue
        for child in node.iter_expressions():
            if not isinstance(child, exp.Query):
                stack.append(child)


__all__ = ["Call", "functions", "readback", "scope", "sources", "text"]
