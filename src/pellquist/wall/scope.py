"""CTE scope: when a table name may be kept as a reference to a CTE.

A name kept as written is read by the engine, so it may only be kept where
every engine binds it to the CTE.  The rules, for a WITH at any level:

* its CTEs are visible in the query that owns the WITH (and everything
  nested in it), and nowhere else;
* inside the body of the i-th CTE only the CTEs before it are visible;
* under RECURSIVE, a CTE's own name is visible in its body only in the
  shape every engine treats as the recursive term: the body is a plain
  UNION or UNION ALL (no BY NAME, no modifiers of its own) and the name is
  a FROM or JOIN source of the select that is its right operand;
* a CTE whose body is not a query (ClickHouse's ``WITH expr AS name``)
  names a value, never rows.

Anywhere else the name falls through to the next WITH outwards, and finally
to the catalogue, where it is rewritten or refused.

Engines disagree on case: PostgreSQL compares quoted names exactly, SQLite
and DuckDB never mind the case.  So a name that matches a CTE in scope only
when case is ignored is refused: one engine would read the CTE, another the
table.
"""

from __future__ import annotations

from sqlglot import exp

from .sources import is_set

# Arguments a recursive UNION may carry; any other set argument (BY NAME,
# CORRESPONDING, ORDER BY, LIMIT, ...) makes engines disagree on whether
# the CTE is recursive at all.
_PLAIN_UNION_ARGS = frozenset({"this", "expression", "distinct"})
_PLAIN_CTE_ARGS = frozenset({"this", "alias", "materialized"})


def _is_plain_union(body: exp.Expr) -> bool:
    if type(body) is not exp.Union:
        return False
    return all(key in _PLAIN_UNION_ARGS or not is_set(value) for key, value in body.args.items())


def _defines_rows(cte: exp.CTE) -> bool:
    """Whether the CTE's name stands for rows: a query body, no scalar form."""
    if not isinstance(cte.this, exp.Query):
        return False
    return all(key in _PLAIN_CTE_ARGS or not is_set(value) for key, value in cte.args.items())


def _recursive_term_source(cte: exp.CTE, node: exp.Expr) -> bool:
    """Whether ``node`` is a direct FROM or JOIN source of the recursive term of ``cte``."""
    body = cte.this
    if not _is_plain_union(body):
        return False
    term = body.expression
    if not isinstance(term, exp.Select):
        return False
    # A name in parentheses (`FROM (name)`) is no source of the term as
    # written, and neither is one deeper down.
    position = node.parent
    if isinstance(position, exp.From):
        return position.parent is term and position.arg_key == "from_"
    return isinstance(position, exp.Join) and position.parent is term and (
        position.arg_key == "joins")


class _WithIndex:
    """The names of one WITH's CTEs, looked up without scanning its list:
    for each name (exact, and lower-cased) the first CTE that defines rows,
    and the first CTE of any kind; and each CTE's position."""

    __slots__ = ("with_", "ctes", "position", "rows_exact", "rows_folded", "any_folded")

    def __init__(self, with_: exp.With) -> None:
        self.with_ = with_  # kept, so that its id names no other node meanwhile
        self.ctes: list[exp.CTE] = list(with_.expressions)
        self.position = {id(cte): i for i, cte in enumerate(self.ctes)}
        self.rows_exact: dict[str, int] = {}
        self.rows_folded: dict[str, int] = {}
        self.any_folded: dict[str, int] = {}
        for i, cte in enumerate(self.ctes):
            alias = cte.alias
            self.any_folded.setdefault(alias.lower(), i)
            if _defines_rows(cte):
                self.rows_exact.setdefault(alias, i)
                self.rows_folded.setdefault(alias.lower(), i)

    def before(self, table: dict[str, int], key: str, end: int) -> exp.CTE | None:
        """The first CTE under ``key`` in ``table`` that stands before ``end``."""
        i = table.get(key)
        return self.ctes[i] if i is not None and i < end else None


# One index per WITH, for the life of one rewrite (its trees stay alive).
Indexes = dict[int, _WithIndex]


def _index(with_: exp.With, indexes: Indexes | None) -> _WithIndex:
    if indexes is None:
        return _WithIndex(with_)
    found = indexes.get(id(with_))
    if found is None or found.with_ is not with_:
        found = indexes[id(with_)] = _WithIndex(with_)
    return found


def resolve(node: exp.Table, name: str,
            indexes: Indexes | None = None) -> tuple[exp.CTE | None, exp.CTE | None]:
    """The CTE that an unqualified table name ``name`` at ``node`` binds to.

    Returns ``(exact, folded)`` for the innermost level that has a CTE of the
    name in any case: ``exact`` is the CTE written with the same case (the
    one that engines comparing quoted names exactly bind to), ``folded`` one
    whose name differs at most in case (the one SQLite and DuckDB bind to
    whatever the case).  Both are None when no CTE in scope has the name.
    ``indexes`` keeps each WITH's names between calls, so that a chain of
    CTEs costs no scan of its list per reference.
    """
    folded_name = name.lower()
    child: exp.Expr = node
    parent = node.parent
    while parent is not None:
        if isinstance(parent, exp.CTE):
            with_ = parent.parent
            owner = with_.parent if with_ is not None else None
            if not isinstance(with_, exp.With) or owner is None:
                return None, None
            index = _index(with_, indexes)
            at = index.position.get(id(parent), len(index.ctes))
            # Inside a CTE's body only the CTEs before it are visible, and
            # under RECURSIVE its own name in the recursive term.
            exact = index.before(index.rows_exact, name, at)
            folded = index.before(index.rows_folded, folded_name, at)
            if (with_.args.get("recursive") and _defines_rows(parent)
                    and _recursive_term_source(parent, node)):
                if exact is None and parent.alias == name:
                    exact = parent
                if folded is None and parent.alias.lower() == folded_name:
                    folded = parent
            if folded is not None:
                return exact, folded
            # The owner's own WITH has been judged: go on above the owner.
            child, parent = owner, owner.parent
            continue
        with_ = parent.args.get("with_")
        if isinstance(with_, exp.With) and child is not with_:
            index = _index(with_, indexes)
            end = len(index.ctes)
            folded = index.before(index.rows_folded, folded_name, end)
            if folded is not None:
                return index.before(index.rows_exact, name, end), folded
        child, parent = parent, parent.parent
    return None, None


def any_cte_named(node: exp.Expr, name: str, indexes: Indexes | None = None) -> exp.CTE | None:
    """A CTE of any WITH around ``node`` whose name is ``name`` in any case,
    whatever its order in the WITH and whether ``node`` sits in its body.

    For a table the rewrite itself reads (an internal table, a filter's own
    table) the question is only whether some engine could bind the name to
    a CTE: SQLite lets every CTE of a WITH see every other, PostgreSQL does
    so under RECURSIVE, and DuckDB binds a recursive CTE's name anywhere in
    its recursive term.  So every CTE in reach counts.
    """
    folded_name = name.lower()
    parent = node.parent
    while parent is not None:
        with_ = parent.args.get("with_")
        if isinstance(with_, exp.With):
            index = _index(with_, indexes)
            i = index.any_folded.get(folded_name)
            if i is not None:
                return index.ctes[i]
        parent = parent.parent
    return None
