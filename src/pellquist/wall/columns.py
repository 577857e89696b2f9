"""Columns of a published table: a column qualified by the table's last
name part follows the table to its subquery, and a column the table does
not publish is refused before the engine sees it.

The engine would fail on it anyway, with a message that names the
replacement subquery's alias; and on PostgreSQL ``alias.name`` that is no
column calls the function ``name`` with the alias's whole row, which the
function policy never sees.  Only columns qualified by the alias of a
replacement subquery are judged, and only where that name means one source
in the whole statement: an unqualified column may belong to any table of
its scope, and the engine binds it.
"""

from __future__ import annotations

import difflib

from sqlglot import exp

from .tree import walk

Published = dict[str, tuple[str, tuple[str, ...]]]


def publish(published: Published, node: exp.Table, subquery: exp.Subquery,
            renamed: list[exp.Expr] | None = None) -> None:
    """Records the columns that ``subquery``, the replacement of ``node``,
    offers under its alias (the first ones ``renamed`` by the alias's column
    list); an alias already recorded is recorded as ambiguous (no columns
    known)."""
    alias = subquery.alias.lower()
    names = tuple(e.alias for e in subquery.this.expressions if isinstance(e, exp.Alias))
    if renamed:
        names = tuple(c.name for c in renamed) + names[len(renamed):]
    if alias in published:
        published[alias] = ("", ())
    else:
        published[alias] = (".".join(p for p in (node.catalog, node.db, node.name) if p), names)


def _source_names(tree: exp.Expr) -> dict[str, int]:
    """How often each name, lower-cased, names a source in ``tree``: table
    and subquery aliases, CTEs and tables without an alias."""
    counts: dict[str, int] = {}
    for node in walk(tree):
        name = None
        if isinstance(node, (exp.TableAlias, exp.CTE)):
            name = node.alias if isinstance(node, exp.CTE) else node.name
        elif isinstance(node, exp.Table) and not node.alias:
            name = node.name
        if name:
            key = name.lower()
            counts[key] = counts.get(key, 0) + 1
    return counts


def _attribute(node: exp.Expr) -> tuple[str, str] | None:
    """(qualifier, name) of ``q.name`` and of ``(q).name``: a column, or a
    field of the row ``q``."""
    if isinstance(node, exp.Column):
        if node.args.get("db") or node.args.get("catalog") or not node.table:
            return None
        return (node.table, node.name) if isinstance(node.this, exp.Identifier) else None
    if isinstance(node, exp.Dot) and isinstance(node.expression, exp.Identifier):
        row = node.this.unnest() if isinstance(node.this, exp.Paren) else node.this
        if isinstance(row, exp.Column) and not row.table:
            return row.name, node.expression.name
    return None


# PostgreSQL reads q.f, where f is no column of q, as the call f(q): its
# functions of any row (pg_column_size, pg_typeof, ...) are reached so
# whatever q is.
_ROW_FUNCTIONS = "pg_"


def _row_function(node: exp.Expr) -> str | None:
    """The name of a function of the row that ``node`` calls in a form
    :func:`_attribute` does not read: a field of any expression, ``(o.*).f``,
    ``(s.o).f``, ``(SELECT ...).f``, or a column named with more parts,
    ``s.o.f``; or None."""
    if isinstance(node, exp.Dot) and isinstance(node.expression, exp.Identifier):
        name = node.expression.name
    elif isinstance(node, exp.Column) and (node.args.get("db") or node.args.get("catalog")):
        name = node.name
    else:
        return None
    return name if name.lower().startswith(_ROW_FUNCTIONS) else None


def unknown_column(published: Published, tree: exp.Expr) -> str | None:
    """Why a column of the rewritten ``tree`` names no column of the
    published table its qualifier means, or a function of a row, or None."""
    counts: dict[str, int] | None = None
    for node in walk(tree):
        found = _attribute(node)
        if found is None:
            called = _row_function(node)
            if called is not None:
                # Named by the field alone: the node is of the rewritten tree,
                # whose text holds internal names.
                return (f"The SQL names the field {called!r} of a row, which PostgreSQL "
                        "reads as a call of that function on the row")
            continue
        qualifier, name = found
        known = published.get(qualifier.lower())
        if known is not None and known[0] and name.lower() in (n.lower() for n in known[1]):
            continue
        if counts is None:
            counts = _source_names(tree)
        if known is None or not known[0] or counts.get(qualifier.lower(), 0) != 1:
            # Not one published table: the engine binds the name, unless it
            # can only be a call of a function of the row.
            if name.lower().startswith(_ROW_FUNCTIONS):
                return (f"The SQL names {qualifier}.{name}, which PostgreSQL reads as a call "
                        f"of the function {name!r} on the row {qualifier!r}")
            continue
        table, columns = known
        message = (f"The SQL names the column {name!r} of {table!r} ({qualifier}), which "
                   "the table does not publish")
        close = difflib.get_close_matches(name.lower(), [c.lower() for c in columns], n=3)
        if close:
            spelled = {c.lower(): c for c in columns}
            message += "; did you mean " + " or ".join(repr(spelled[c]) for c in close) + "?"
        return message
    return None


def _sources(select: exp.Select) -> list[exp.Expr]:
    """The row sources of one SELECT: its FROM, joins and laterals."""
    found: list[exp.Expr] = []
    source = select.args.get("from_")
    if source is not None:
        found.append(source.this)
    for key in ("joins", "laterals"):
        found.extend(j.this if isinstance(j, exp.Join) else j for j in select.args.get(key) or ())
    return found


def _binding(column: exp.Column, qualifier: str) -> exp.Table | str | None:
    """What ``qualifier`` names where ``column`` stands, nearest scope first:
    a dotted table without an alias whose last part it is, ``"other"`` for
    any other source of that name, ``"ambiguous"`` for two dotted tables
    that end so at one level, or None for nothing."""
    node: exp.Expr | None = column.parent
    while node is not None:
        if isinstance(node, exp.Select):
            dotted = []
            for source in _sources(node):
                alias = source.alias
                if alias:
                    if alias.lower() == qualifier:
                        return "other"
                elif isinstance(source, exp.Table) and source.name.lower() == qualifier:
                    if not source.args.get("db"):
                        return "other"
                    dotted.append(source)
            if len(dotted) > 1:
                return "ambiguous"
            if dotted:
                return dotted[0]
        node = node.parent
    return None


def requalify_trailing(tree: exp.Expr) -> str | None:
    """Qualifies each column written ``customers.name`` that means the table
    ``bi.customers`` (written without an alias) by the table's whole name, as
    the engines bind it; the rewrite then moves it to the table's subquery.
    Returns why a qualifier is ambiguous, or None."""
    for column in [n for n in walk(tree) if isinstance(n, exp.Column)]:
        if column.args.get("db") or column.args.get("catalog") or not column.table:
            continue
        bound = _binding(column, column.table.lower())
        if bound == "ambiguous":
            return (f"The SQL qualifies the column {column.name!r} by {column.table!r}, which "
                    "ends the names of more than one table there: give each an alias")
        if isinstance(bound, exp.Table):
            column.set("db", bound.args["db"].copy())
            if bound.args.get("catalog"):
                column.set("catalog", bound.args["catalog"].copy())
            column.set("table", bound.this.copy())
    return None
