"""The native SQL must read back as the very tree that was checked.

The rewrite checks a tree, but the engine runs text.  So the text is parsed
again in its dialect, and it is accepted only when:

* rendering that parse again gives exactly the same text (a fixpoint), so
  no part of the query has moved in or out of quotes or comments;
* it carries exactly the comments of the rewritten tree, so no text became
  a comment that hides part of the statement;
* it is one SELECT with no blocked part;
* it reads exactly the tables the rewritten tree reads, and each table it
  reads is a CTE in scope, a generator, or the FROM of a subquery the
  rewrite built.
"""

from __future__ import annotations

from collections import Counter
from typing import Any

from sqlglot import exp
from sqlglot.errors import ErrorLevel, UnsupportedError

from . import scope, sources

def _comments(tree: exp.Expression) -> Counter[str]:
    found: Counter[str] = Counter()
    for node in tree.walk():
        if node.comments:
            found.update(node.comments)
    return found


def _reads(tree: exp.Expression) -> Counter[tuple[str, str, str]]:
    return Counter((t.catalog, t.db, t.name) for t in tree.find_all(exp.Table))


def _built_by_rewrite(table: exp.Table) -> bool:
    """Whether ``table`` is the FROM of a replacement subquery: ``(SELECT ...
    FROM table [WHERE ...] [OFFSET 0]) AS alias``."""
    position = table.parent
    select = position.parent if isinstance(position, exp.From) else None
    if not isinstance(select, exp.Select) or position.arg_key != "from_":
        return False
    if select.args.get("joins") or select.args.get("laterals") or select.args.get("with_"):
        return False
    subquery = select.parent
    return isinstance(subquery, exp.Subquery) and select.arg_key == "this" and not table.alias


def refusal(call: Any, new_tree: exp.Expression, native: str, back: Any) -> str | None:
    message = "The native SQL does not read back as the same statement"
    # A part the dialect cannot express is left out of the text with only a
    # warning (a PIVOT or an alias's column list on SQLite, say): the text
    # would read back cleanly as a different query.
    try:
        new_tree.sql(dialect=call.dialect, identify=True, unsupported_level=ErrorLevel.RAISE)
    except UnsupportedError as e:
        first = str(e).splitlines()[0] if str(e) else "a part"
        return f"The SQL uses a part that the dialect cannot express: {first}"
    if type(back) is not exp.Select:
        return message
    if back.sql(dialect=call.dialect, identify=True) != native:
        return message
    if back.find(*call.blocked) is not None:
        return message
    if _comments(back) != _comments(new_tree):
        return message
    if _reads(back) != _reads(new_tree):
        return message
    internal = {name for name in call.internal_reads}
    rewritten = 0
    for table in back.find_all(exp.Table):
        if not sources.in_row_position(table):
            return message
        if not isinstance(table.this, exp.Identifier):
            if sources.row_source_refusal(table) is not None:
                return message
            continue
        built = _built_by_rewrite(table)
        if call.is_cte(table):
            # A CTE named like an internal table would capture the read of
            # a replacement subquery.
            if built and table.name.lower() in internal:
                return message
            continue
        if not built:
            return message
        rewritten += 1
    if rewritten != len(call.internal_reads):
        return message
    return None
