"""The native SQL must read back as the very tree that was checked.

The rewrite checks a tree, but the engine runs text.  So the text is parsed
again in its dialect, and it is accepted only when:

* it is the rewritten tree itself, node for node; or else rendering that
  parse again gives exactly the same text (a fixpoint), so no part of the
  query has moved in or out of quotes or comments, and it carries exactly
  the comments of the rewritten tree, so no text became a comment that
  hides part of the statement;
* it is one SELECT with no blocked part;
* it reads exactly the tables the rewritten tree reads, and each table it
  reads is a CTE in scope, a generator, or the FROM of a subquery the
  rewrite built.
"""

from __future__ import annotations

import logging
import threading
from collections import Counter
from itertools import repeat
from typing import Any

from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ErrorLevel, UnsupportedError

from . import sources
from .tree import (PICK_BUILT_SHAPE, PICK_IN_WHERE, PICK_ROW_SOURCE, PICK_UNCLEARED, judged_read,
                   walk)

def _comments_and_reads(tree: exp.Expr) -> tuple[Counter[str], Counter[tuple[str, str, str]]]:
    comments: Counter[str] = Counter()
    reads: Counter[tuple[str, str, str]] = Counter()
    for node in walk(tree):
        if node.comments:
            # sqlglot writes "-- x" as "/* x */" and reads back " x ".
            comments.update(c.strip() for c in node.comments)
        if isinstance(node, exp.Table):
            reads[(node.catalog, node.db, node.name)] += 1
    return comments, reads


def _built_by_rewrite(table: exp.Table, alias: str) -> bool:
    """Whether ``table`` is the FROM of a replacement subquery: ``(SELECT ...
    FROM table [WHERE ...] [OFFSET 0]) AS alias``."""
    return in_built_from(table) and _built_alias(table, alias)


def _built_alias(table: exp.Table, alias: str) -> bool:
    # A filtered table carries the rewrite's alias; an unfiltered one none.
    return table.alias in ("", alias)


def in_built_from(table: exp.Table) -> bool:
    """Whether ``table`` stands where a replacement subquery reads its
    internal table: in the FROM of a select with no joins, laterals or WITH,
    which is the ``this`` of a subquery in a row position."""
    position = table.parent
    if not isinstance(position, exp.From):
        return False
    select = position.parent
    if not isinstance(select, exp.Select) or position.arg_key != "from_":
        return False
    args = select.args
    if args.get("joins") or args.get("laterals") or args.get("with_"):
        return False
    subquery = select.parent
    return (isinstance(subquery, exp.Subquery) and select.arg_key == "this"
            and (sources.in_row_position(subquery) or sources.heads_parenthesized_join(subquery)))


def _inside_filter(table: exp.Table, alias: str) -> bool:
    """Whether ``table`` is read by the filter of a replacement subquery."""
    child: exp.Expr = table
    parent = table.parent
    while parent is not None:
        if isinstance(parent, exp.Select) and child is parent.args.get("where"):
            from_ = parent.args.get("from_")
            source = from_.this if isinstance(from_, exp.From) else None
            if (isinstance(source, exp.Table) and source.alias == alias
                    and _built_by_rewrite(source, alias)):
                return True
        child, parent = parent, parent.parent
    return False


def _text_refusal(dialect: Any, native: str) -> str | None:
    """Why the engine would not run ``native`` as it is written; or None."""
    # Spark and Hive replace ${name}, ${env:NAME} and ${system:name} with the
    # session's settings, the environment and the JVM's properties before
    # they parse, inside strings and comments too: a value could be read
    # out, or a line break end a comment and let the rest run as SQL.
    if "$" in native and "${" in native:  # one byte is found faster than two
        return ("The SQL holds '${', which Spark and Hive replace with a setting, an "
                "environment variable or a system property before parsing")
    # The default dialect is run on any engine. Its strings take no backslash
    # escapes, but ClickHouse's, Spark's and MySQL's do: there 'x\' ' would
    # be one string, and what follows it SQL.
    if "\\" in native and type(Dialect.get_or_raise(dialect)) is Dialect:
        return ("The SQL holds a backslash, which some engines read as an escape in strings "
                "and names and others do not; rewrite it in the dialect of the engine")
    return None


class _ThreadCount(threading.local):
    # Each thread starts at the class's 0: a missing attribute would cost
    # an exception inside getattr on every read.
    count = 0


class _WarningCount(logging.Filter):
    """Counts the warnings sqlglot logs, per thread; lets every one through.

    A part the dialect cannot express is reported by the renderer as a
    logged warning.  When no warning was logged in this thread between the
    wall's walk and its read-back, the render of the native SQL dropped
    nothing, and the check of it need not render again."""

    def __init__(self) -> None:
        super().__init__()
        self._local = _ThreadCount()

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno >= logging.WARNING:
            self._local.count += 1
        return True

    def count(self) -> int | None:
        """This thread's count so far; None if a warning could go uncounted."""
        log = _SQLGLOT_LOG
        if log.disabled or not log.isEnabledFor(logging.WARNING) or self not in log.filters:
            return None
        count: int = self._local.count
        return count


_SQLGLOT_LOG = logging.getLogger("sqlglot")
_WARNINGS = _WarningCount()
_SQLGLOT_LOG.addFilter(_WARNINGS)
# The wall turns each such warning into a refusal or a render that raises;
# without a handler of its own, logging's last resort would also print it
# to the application's stderr when the application set up no logging.  An
# application that did still gets the records through its own handlers.
if not any(isinstance(h, logging.NullHandler) for h in _SQLGLOT_LOG.handlers):
    _SQLGLOT_LOG.addHandler(logging.NullHandler())


warning_count = _WARNINGS.count


# What a node of the full walk may be, for all the judge knows.
_UNMARKED = PICK_UNCLEARED | PICK_IN_WHERE

# Per tuple of blocked kinds (the same classes on every call): whether each
# node class met so far is one of them.
_BLOCKED: dict[tuple[type, ...], dict[type, bool]] = {}


def _blocked_by_class(kinds: tuple[type, ...]) -> dict[type, bool]:
    found = _BLOCKED.get(kinds)
    if found is None:
        if len(_BLOCKED) > 16:  # kinds from another sqlglot, after a reload
            _BLOCKED.clear()
            _CLEARED.clear()
        found = _BLOCKED[kinds] = {}
    return found


# Per tuple of blocked kinds: the classes met so far that are none of them,
# in the order of their id() (as the comparison looks them up), with how
# many classes had been met when they were listed.  A class, once met, keeps
# its entry, so a count that has not changed tells the list is whole.
_CLEARED: dict[tuple[type, ...], tuple[int, tuple[type, ...]]] = {}


def _cleared(kinds: tuple[type, ...], blocked: dict[type, bool]) -> tuple[type, ...]:
    found = _CLEARED.get(kinds)
    if found is None or found[0] != len(blocked):
        classes = tuple(sorted((k for k, v in blocked.items() if v is False), key=id))
        found = _CLEARED[kinds] = (len(blocked), classes)
    return found[1]


def refusal(call: Any, new_tree: exp.Expr, native: str, back: Any) -> str | None:
    message = "The native SQL does not read back as the same statement"
    why = _text_refusal(call.dialect, native)
    if why is not None:
        return why
    # A part the dialect cannot express is left out of the text with only a
    # warning (a PIVOT or an alias's column list on SQLite, say): the text
    # would read back cleanly as a different query.  Unless the render of
    # the native SQL provably logged no warning, the tree is rendered again
    # with such parts raising.  This render is the rewritten tree's last
    # use, so it may work on the tree itself: a copy would cost as much again.
    now = warning_count()
    rendered_again = now is None or call.warnings_at is None or now != call.warnings_at
    # When the read-back is the rewritten tree itself, node for node, the
    # engine runs the tree that was checked: no text moved in or out of
    # quotes or comments, and it has the same comments and reads.  Otherwise
    # those are compared, and the read-back must render to the very text.
    # The comparison also picks the read-back's nodes that the walk below
    # would not pass over at once: tables, row sources and blocked kinds.
    blocked = _blocked_by_class(call.blocked)
    judged = None if rendered_again else judged_read(new_tree, back,
                                                     _cleared(call.blocked, blocked))
    identical = judged is not None
    expected = None if identical else _comments_and_reads(new_tree)
    if not identical:
        # The read-back may hold what the statement did not: a CTE, say.
        call.has_ctes = True
    if rendered_again:
        try:
            new_tree.sql(dialect=call.dialect, identify=True,
                         unsupported_level=ErrorLevel.RAISE, copy=False)
        except UnsupportedError as e:
            first = str(e).splitlines()[0] if str(e) else "a part"
            return f"The SQL uses a part that the dialect cannot express: {first}"
    if type(back) is not exp.Select:
        return message
    rewritten = filter_reads = 0
    # One walk of the read-back tree (or of the nodes the comparison
    # picked): its comments and table reads are gathered on the way, and
    # every node is judged.
    comments: Counter[str] | None = None if identical else Counter()
    reads: Counter[tuple[str, str, str]] | None = None if identical else Counter()
    # The comparison marks where each node it picked stands; a node of the
    # full walk is asked.
    marked = judged is not None
    nodes, marks = judged if judged is not None else (walk(back), repeat(_UNMARKED))
    for node, mark in zip(nodes, marks):
        if comments is not None and node.comments:
            comments.update(c.strip() for c in node.comments)
        if mark & PICK_UNCLEARED:
            kind = type(node)
            is_blocked = blocked.get(kind)
            if is_blocked is None:
                is_blocked = blocked[kind] = issubclass(kind, call.blocked)
            if is_blocked:
                return message
        if marked:
            in_position = mark & PICK_ROW_SOURCE
        else:
            in_position = node.arg_key == "this" and isinstance(node.parent, sources.ROW_POSITIONS)
        # Every row source must be one the rewrite understands, whatever its
        # kind: a node the transform never saw is caught here.
        if in_position and sources.row_source_refusal(node) is not None:
            return message
        if not isinstance(node, exp.Table):
            continue
        if reads is not None:
            reads[(node.catalog, node.db, node.name)] += 1
        if not in_position and not sources.heads_parenthesized_join(node):
            return message
        if not isinstance(node.this, exp.Identifier):
            continue  # a generator, judged above
        if mark & PICK_IN_WHERE and _inside_filter(node, call.alias):
            # The catalogue's own read; a CTE of that name, in any case,
            # would capture it on some engine.
            if call.shadowed(node):
                return message
            filter_reads += 1
            continue
        if marked:  # the comparison asked in_built_from, but for a parenthesized join
            built = (bool(mark & PICK_BUILT_SHAPE) or in_built_from(node)) and _built_alias(
                node, call.alias)
        else:
            built = _built_by_rewrite(node, call.alias)
        # Without a CTE anywhere, no table is shadowed by one or bound to one.
        ctes = call.has_ctes
        if ctes and built and node.name.lower() in call.internal_reads and call.shadowed(node):
            # A CTE named like an internal table would capture the read of
            # a replacement subquery.
            return message
        if ctes and call.is_cte(node):
            continue
        if not built:
            return message
        rewritten += 1
    if not identical and (comments, reads) != expected:
        return message
    if rewritten != len(call.internal_reads) or filter_reads != call.filter_reads:
        return message
    # Last, since rendering may change the tree it renders (no copy is made).
    if not identical and back.sql(dialect=call.dialect, identify=True, copy=False) != native:
        return message
    return None
