from sqlglot import exp

def nodes(tree: exp.Expr, base: type[exp.Expr], /) -> list[exp.Expr]:
    """The nodes of ``tree`` in the order of ``tree.walk()``."""

def same(written: exp.Expr, read: exp.Expr, base: type[exp.Expr], identifier: type[exp.Identifier],
         func: type[exp.Func], /) -> bool:
    """Whether ``read`` is ``written``, node for node."""
