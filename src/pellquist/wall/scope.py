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
"""

from __future__ import annotations

from sqlglot import exp

# Arguments a recursive UNION may carry; any other set argument (BY NAME,
# CORRESPONDING, ORDER BY, LIMIT, ...) makes engines disagree on whether
# the CTE is recursive at all.
_PLAIN_UNION_ARGS = frozenset({"this", "expression", "distinct"})
_PLAIN_CTE_ARGS = frozenset({"this", "alias", "materialized"})


def _is_plain_union(body: exp.Expression) -> bool:
    if type(body) is not exp.Union:
        return False
    return all(key in _PLAIN_UNION_ARGS or _unset(value) for key, value in body.args.items())


def _unset(value: object) -> bool:
    return value is None or value is False or value == [] or value == ""


def _defines_rows(cte: exp.CTE) -> bool:
    """Whether the CTE's name stands for rows: a query body, no scalar form."""
    if not isinstance(cte.this, exp.Query):
        return False
    return all(key in _PLAIN_CTE_ARGS or _unset(value) for key, value in cte.args.items())


def _recursive_term_source(cte: exp.CTE, node: exp.Expression) -> bool:
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


def cte_of(node: exp.Table, name: str) -> exp.CTE | None:
    """The CTE that an unqualified table name ``name`` at ``node`` binds to, or None."""
    child: exp.Expression = node
    parent = node.parent
    while parent is not None:
        if isinstance(parent, exp.CTE):
            with_ = parent.parent
            owner = with_.parent if with_ is not None else None
            if not isinstance(with_, exp.With) or owner is None:
                return None
            for cte in with_.expressions:
                if cte is parent:
                    if (cte.alias == name and with_.args.get("recursive")
                            and _defines_rows(cte) and _recursive_term_source(cte, node)):
                        return cte
                    break
                if cte.alias == name and _defines_rows(cte):
                    return cte
            # The owner's own WITH has been judged: go on above the owner.
            child, parent = owner, owner.parent
            continue
        with_ = parent.args.get("with_")
        if isinstance(with_, exp.With) and child is not with_:
            for cte in with_.expressions:
                if cte.alias == name and _defines_rows(cte):
                    return cte
        child, parent = parent, parent.parent
    return None


def all_cte_names(tree: exp.Expression) -> set[str]:
    return {cte.alias for cte in tree.find_all(exp.CTE)}
