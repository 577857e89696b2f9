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


def whole_row_refusal(published: Published, tree: exp.Expr) -> str | None:
    """Why the rewritten ``tree`` returns a published table's whole row, or None.

    PostgreSQL reads a bare name that is no column in reach but a table's
    alias as that table's row.  Over the subquery that replaces the table it
    is an anonymous record, not the table's row type: returned as a column,
    drivers decode it otherwise (its text, its JSON and its comparisons are
    the same, and a cast to the row type is refused as a type the rewrite
    does not know).  Refused rather than given changed.  A name that a
    source of unknown columns (a derived table, a CTE) may give, or an
    output name of the select, is taken for a column, as the engine may."""
    for column in walk(tree):
        if not isinstance(column, exp.Column) or column.table or not isinstance(
                column.this, exp.Identifier):
            continue
        parent = column.parent
        output = parent.parent if isinstance(parent, exp.Alias) else parent
        if parent is None or not (isinstance(output, exp.Select) and (
                parent is output or parent.arg_key == "expressions")):
            continue
        name = column.name.lower()
        if name not in published:
            continue
        node: exp.Expr | None = column.parent
        while node is not None:
            if isinstance(node, exp.Select):
                verdict = _row_or_column(node, name, published)
                if verdict == "column":
                    break
                if verdict == "row":
                    # An alias that two replacements share has no one table.
                    table = published[name][0]
                    return (f"The SQL reads the whole row of "
                            f"{repr(table) if table else 'a published table'} as "
                            f"{column.name}, which the rewrite would give as a record of another "
                            "type; name the columns you need")
            node = node.parent
    return None


def _row_or_column(select: exp.Select, name: str, published: Published) -> str | None:
    """At the level of ``select``: ``"column"`` if ``name`` may be a column
    there (or an output name), ``"row"`` if it can only be the row of a
    published table's subquery, None if neither (look further out)."""
    if any(e.alias_or_name.lower() == name for e in select.expressions if isinstance(e, exp.Alias)):
        return "column"
    row = False
    for source in _sources(select):
        alias = (source.alias or "").lower()
        entry = published.get(alias) if alias else None
        if entry is not None and isinstance(source, exp.Subquery):
            if name in (c.lower() for c in entry[1]):
                return "column"
            row = row or alias == name
        else:
            # Columns unknown: the engine may find the name there; and a
            # table (a CTE) under that alias gives its own row, not a
            # published table's.
            return "column"
    return "row" if row else None


def _sources(select: exp.Select) -> list[exp.Expr]:
    """The row sources of one SELECT: its FROM, joins and laterals."""
    found: list[exp.Expr] = []
    source = select.args.get("from_")
    if source is not None:
        found.append(source.this)
    for key in ("joins", "laterals"):
        found.extend(j.this if isinstance(j, exp.Join) else j for j in select.args.get(key) or ())
    return found


def _binding(column: exp.Column, qualifier: str,
             by_table_name: bool = False) -> exp.Table | str | None:
    """What ``qualifier`` names where ``column`` stands, nearest scope first:
    a dotted table without an alias whose last part it is (with
    ``by_table_name``, as ClickHouse reads it, also a table with an alias
    whose name it is), ``"other"`` for any other source of that name,
    ``"ambiguous"`` for two dotted tables that end so at one level, or None
    for nothing."""
    node: exp.Expr | None = column.parent
    while node is not None:
        if isinstance(node, exp.Select):
            dotted = []
            for source in _sources(node):
                alias = source.alias
                if alias:
                    if alias.lower() == qualifier:
                        return "other"
                    if (by_table_name and isinstance(source, exp.Table)
                            and isinstance(source.this, exp.Identifier)
                            and source.name.lower() == qualifier):
                        dotted.append(source)
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


def requalify_trailing(tree: exp.Expr, by_table_name: bool = False) -> str | None:
    """Qualifies each column written ``customers.name`` that means the table
    ``bi.customers`` (written without an alias) by the table's whole name, as
    the engines bind it; the rewrite then moves it to the table's subquery.
    With ``by_table_name`` (ClickHouse), a table with an alias answers to its
    own name too, nearest first: such a column is qualified by the alias.
    Returns why a qualifier is ambiguous, or None."""
    for column in [n for n in walk(tree) if isinstance(n, exp.Column)]:
        if column.args.get("db") or column.args.get("catalog") or not column.table:
            continue
        bound = _binding(column, column.table.lower(), by_table_name)
        if bound == "ambiguous":
            return (f"The SQL qualifies the column {column.name!r} by {column.table!r}, which "
                    "ends the names of more than one table there: give each an alias")
        if isinstance(bound, exp.Table) and bound.alias:
            column.set("table", exp.to_identifier(bound.alias, quoted=True))
        elif isinstance(bound, exp.Table):
            column.set("db", bound.args["db"].copy())
            if bound.args.get("catalog"):
                column.set("catalog", bound.args["catalog"].copy())
            column.set("table", bound.this.copy())
    return None
