from sqlglot import exp

def nodes(tree: exp.Expr, base: type[exp.Expr], /) -> list[exp.Expr]:
    """The nodes of ``tree`` in the order of ``tree.walk()``."""
