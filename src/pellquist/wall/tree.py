"""The wall's walks of a tree, in C.

The wall judges every node of a call's trees, and sqlglot's lazy walk, with
an attribute read per rule, costs more per node than the judgement; most
nodes pass every rule at once.  ``_tree`` lists a tree's nodes in the order
of sqlglot's ``walk()``, screens the statement's nodes for the ones the
wall's rules must see, and compares the read-back with the rewritten tree
node for node, picking the read-back's nodes to judge on the way."""

from __future__ import annotations

from collections.abc import Callable

from sqlglot import exp

from ._tree import (JUDGE_KIND, JUDGE_PLAIN_TABLE, JUDGE_ROW_SOURCE, JUDGE_TEXT, KIND_IDENTIFIER, KIND_LITERAL,
                    KIND_QUOTED, KIND_ROW_POSITION, PICK_BUILT_SHAPE, PICK_IN_WHERE,
                    PICK_ROW_SOURCE, PICK_UNCLEARED, nodes as _nodes, same as _same,
                    screen as _screen)
from .sources import READABLE_SOURCES, ROW_POSITIONS

# What a node's children must be an instance of, as sqlglot's own walk has it.
_NODE: type[exp.Expr] = getattr(exp, "Expr", exp.Expression)
# The classes judged_read hands the comparison, after the cleared ones.
_JUDGED = (exp.Table, ROW_POSITIONS, exp.Select, READABLE_SOURCES, exp.From, exp.Subquery)

__all__ = ["JUDGE_KIND", "JUDGE_PLAIN_TABLE", "JUDGE_ROW_SOURCE", "JUDGE_TEXT", "KIND_IDENTIFIER", "KIND_LITERAL",
           "KIND_QUOTED", "KIND_ROW_POSITION", "PICK_BUILT_SHAPE", "PICK_IN_WHERE", "PICK_ROW_SOURCE",
           "PICK_UNCLEARED",
           "judged_read", "same", "screen", "walk"]


def walk(tree: exp.Expr) -> list[exp.Expr]:
    return _nodes(tree, _NODE)


def screen(tree: exp.Expr, kinds: dict[type, int], classify: Callable[[type], int],
           names_matter: bool, prefix: str = "",
           plain: tuple[type, int, type, type, frozenset[str], frozenset[str]] | None = None,
           passing: tuple[int, type, tuple[object, ...], int, int] | None = None,
           ) -> tuple[list[exp.Expr], bytes, list[str], int]:
    """The statement's nodes that the wall's rules must see, in the order of
    ``walk()``, why each (JUDGE_KIND, JUDGE_ROW_SOURCE and JUDGE_TEXT bits,
    one byte per node), the text of its other identifiers that may begin
    with ``prefix`` (ASCII, lower-case) once lower-cased, and the flags of
    all its nodes' classes together; drops every node's meta that holds
    only the parser's positions.

    A node is left out only when its class has no flag but the four the
    screen knows (``kinds``, filled by ``classify``), it stands in no row
    position, its comments hold no comment mark or NUL, its text no NUL and,
    outside quotes, only plain names (a literal: a string, or a number), and
    it is no identifier of a temporary table (no identifier at all when
    ``names_matter``).

    With ``plain`` = (table class, its flag, identifier class, table alias
    class, parts, alias parts), a table in a row position whose class has
    no other flag, named by an identifier, with no part but ``parts`` and
    no alias or one with no part but ``alias parts``, is judged with
    JUDGE_PLAIN_TABLE too: a table the rules pass unless a CTE could bind
    it.

    With ``passing`` = (type flag, object identifier class, judged types (a
    tuple of members of sqlglot's type enum), select flag, query flag), a
    node whose class has no other flag is not judged for its kind when its
    kind's rules surely pass it: a type that is no object identifier, of a
    known type not among the judged; a query with no settings
    and no format, and, for a select, a FROM or no joins nor laterals."""
    return _screen(tree, _NODE, kinds, classify, names_matter, prefix, plain, passing)


def same(written: exp.Expr, read: exp.Expr) -> bool:
    """Whether ``read`` is ``written`` node for node: the same classes,
    comments and set arguments; an identifier the renderer quotes may have
    been written without quotes."""
    return _same(written, read, _NODE, exp.Identifier, exp.Func)


def judged_read(written: exp.Expr, read: exp.Expr,
                cleared: tuple[type, ...]) -> tuple[list[exp.Expr], bytes] | None:
    """None unless ``read`` is ``written`` node for node (see :func:`same`);
    then the nodes of ``read`` that the read-back's judge must see (each
    table, each node in a row position but a row source read as it is, and
    each node whose class is not in ``cleared``: the classes known not to be
    blocked, in the order of their id()), and one byte of marks for
    each: PICK_ROW_SOURCE (it stands in a row position), PICK_IN_WHERE (it
    lies in the WHERE of a select, at any depth), PICK_UNCLEARED (the class
    is not in ``cleared``) and PICK_BUILT_SHAPE (a table that stands where
    a replacement subquery reads its internal table, asked as
    readback.in_built_from asks it)."""
    return _same(written, read, _NODE, exp.Identifier, exp.Func, (cleared,) + _JUDGED)
