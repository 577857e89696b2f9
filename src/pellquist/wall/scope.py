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

from typing import cast

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
    position = node.parent
    if isinstance(position, exp.From):
        return position.parent is term and position.arg_key == "from_"
    if isinstance(position, exp.Join):
        return position.parent is term and position.arg_key == "joins"
    return False


def resolve(node: exp.Table, name: str) -> tuple[exp.CTE | None, exp.CTE | None]:
    """The CTE that an unqualified table name ``name`` at ``node`` binds to.

    Returns ``(exact, folded)`` for the innermost level that has a CTE of the
    name in any case: ``exact`` is the CTE written with the same case (the
    one that engines comparing quoted names exactly bind to), ``folded`` one
    whose name differs at most in case (the one SQLite and DuckDB bind to
    whatever the case).  Both are None when no CTE in scope has the name.
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
            visible = []
            for cte in with_.expressions:
                if cte is parent:
                    if (with_.args.get("recursive") and _defines_rows(cte)
                            and _recursive_term_source(cte, node)):
                        visible.append(cte)
                    break
                if _defines_rows(cte):
                    visible.append(cte)
            found = _match(visible, name, folded_name)
            if found[1] is not None:
                return found
            # The owner's own WITH has been judged: go on above the owner.
            child, parent = owner, owner.parent
            continue
        with_ = parent.args.get("with_")
        if isinstance(with_, exp.With) and child is not with_:
            found = _match([c for c in with_.expressions if _defines_rows(c)], name, folded_name)
            if found[1] is not None:
                return found
        child, parent = parent, parent.parent
    return None, None


def _match(ctes: list[exp.CTE], name: str,
           folded_name: str) -> tuple[exp.CTE | None, exp.CTE | None]:
    exact = folded = None
    for cte in ctes:
        alias = cte.alias
        if alias == name and exact is None:
            exact = cte
        if alias.lower() == folded_name and folded is None:
            folded = cte
    return exact, folded


def any_cte_named(node: exp.Expr, name: str) -> exp.CTE | None:
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
            for cte in with_.expressions:
                if cte.alias.lower() == folded_name:
                    return cast(exp.CTE, cte)
        parent = parent.parent
    return None
