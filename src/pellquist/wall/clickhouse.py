"""ClickHouse SQL that sqlglot reads but does not write back as ClickHouse
reads it, rewritten into the same statement in a form that survives.

Each rewrite gives the rows ClickHouse gives for the statement as the user
wrote it:

* a VALUES list of rows becomes a UNION ALL of FROM-less SELECTs (sqlglot
  writes it as the VALUES table function, which ClickHouse reads as one
  row of structure text or not at all).  Its columns keep ClickHouse's
  names (``c1``, ``c2``, ... unless an alias names them), and UNION ALL
  finds the same common type of each column that VALUES does;
* ``x = ANY (subquery)`` becomes ``x IN (subquery)`` and ``x <> ANY
  (subquery)`` becomes ``x NOT IN (subquery)``, which is how ClickHouse
  itself reads them (sqlglot writes ``has(SELECT ..., x)``, a subquery
  without its parentheses);
* PREWHERE, which ClickHouse takes on a table only, joins the WHERE: the
  rewrite reads each published table through a subquery.  PREWHERE only
  orders the reading; the rows are those of both conditions.

Anything of these forms the rewrite cannot tell apart from another reading
is left as it is, for the wall to refuse.
"""

from __future__ import annotations

from sqlglot import exp

from .tree import walk


def rewrite(tree: exp.Expr) -> None:
    """Rewrites ``tree`` in place (see the module's text)."""
    for node in [n for n in walk(tree) if isinstance(n, (exp.Values, exp.EQ, exp.NEQ, exp.Select))]:
        if isinstance(node, exp.Values):
            _values(node)
        elif isinstance(node, exp.Select):
            _prewhere(node)
        else:
            _any(node)


def _values(node: exp.Values) -> None:
    parent = node.parent
    rows = node.expressions
    # ClickHouse's VALUES table function, VALUES('structure', rows...), is
    # parsed as a list of one row, as is a one-row list in parentheses; a
    # list of more rows, or a list in a place that takes a query, is the
    # standard one.
    in_table_place = isinstance(parent, (exp.From, exp.Join))
    if not rows or in_table_place and len(rows) < 2:
        return
    if isinstance(parent, exp.In) and parent.expressions != [node]:
        return
    alias = node.args.get("alias")
    names = [c.name for c in alias.args.get("columns") or []] if alias else []
    width = len(_items(rows[0]))
    if names and len(names) != width:
        return  # the engine's own error names the mismatch
    if not names:
        names = [f"c{i}" for i in range(1, width + 1)]
    union: exp.Query | None = None
    for n, row in enumerate(rows):
        items = [item.copy() for item in _items(row)]
        if n == 0:
            items = [exp.alias_(item, name, quoted=False) for item, name in zip(items, names)]
        select = exp.Select(expressions=items)
        union = select if union is None else exp.Union(this=union, expression=select,
                                                      distinct=False)
    assert union is not None
    if in_table_place:
        # The alias's column list, if any, named the first SELECT's columns.
        name = alias.args.get("this") if alias else None
        table_alias = exp.TableAlias(this=name.copy()) if name else None
        node.replace(exp.Subquery(this=union, alias=table_alias))
    elif isinstance(parent, exp.In):
        parent.set("expressions", None)
        parent.set("query", exp.Subquery(this=union))
    else:
        node.replace(union)


def _items(row: exp.Expr) -> list[exp.Expr]:
    """A row's values.  sqlglot's ClickHouse reader wraps each value of a
    row in a tuple of one, which ClickHouse writes and reads as the value."""
    items = row.expressions if isinstance(row, exp.Tuple) else [row]
    return [i.expressions[0] if isinstance(i, exp.Tuple) and len(i.expressions) == 1 else i
            for i in items]


def _any(node: exp.EQ | exp.NEQ) -> None:
    left, right = node.this, node.expression
    if isinstance(right, exp.Any):
        value, quantified = left, right
    elif isinstance(left, exp.Any):
        value, quantified = right, left
    else:
        return
    query = quantified.this
    if not isinstance(query, exp.Query):
        return  # an array: has(array, x) is what ClickHouse means
    if not isinstance(query, exp.Subquery):
        query = exp.Subquery(this=query)
    test: exp.Expr = exp.In(this=value, query=query)
    if isinstance(node, exp.NEQ):
        test = exp.Not(this=test)
    node.replace(test)


def _prewhere(node: exp.Select) -> None:
    prewhere = node.args.get("prewhere")
    if prewhere is None:
        return
    where = node.args.get("where")
    condition: exp.Expr = exp.Paren(this=prewhere.this)
    if where is not None:
        condition = exp.and_(condition, exp.Paren(this=where.this))
    node.set("prewhere", None)
    node.set("where", exp.Where(this=condition))
