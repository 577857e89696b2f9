"""Every node of a tree as a list, and whether two trees are one, in C.

The wall walks each tree of a call in full, and sqlglot's lazy walk costs
more per node than the checks the wall makes there; ``_tree`` lists the
nodes, in the order of sqlglot's ``walk()``, and compares two trees node for
node."""

from __future__ import annotations

from sqlglot import exp

from ._tree import nodes as _nodes, same as _same

# What a node's children must be an instance of, as sqlglot's own walk has it.
_NODE: type[exp.Expr] = getattr(exp, "Expr", exp.Expression)


def walk(tree: exp.Expr) -> list[exp.Expr]:
    return _nodes(tree, _NODE)


def same(written: exp.Expr, read: exp.Expr) -> bool:
    """Whether ``read`` is ``written`` node for node: the same classes,
    comments and set arguments; an identifier the renderer quotes may have
    been written without quotes."""
    return _same(written, read, _NODE, exp.Identifier, exp.Func)
