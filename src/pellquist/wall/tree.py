"""Every node of a tree, in the order of sqlglot's ``walk()``, as a list.

The list is made in C (``_tree``): the wall walks each tree of a call in
full, and sqlglot's lazy walk costs more per node than the checks the wall
makes there."""

from __future__ import annotations

from sqlglot import exp

from ._tree import nodes as _nodes

# What a node's children must be an instance of, as sqlglot's own walk has it.
_NODE: type[exp.Expr] = getattr(exp, "Expr", exp.Expression)


def walk(tree: exp.Expr) -> list[exp.Expr]:
    return _nodes(tree, _NODE)
