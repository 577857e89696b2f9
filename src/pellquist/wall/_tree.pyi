from collections.abc import Callable
from typing import overload

from sqlglot import exp

KIND_IDENTIFIER: int
KIND_QUOTED: int
KIND_LITERAL: int
KIND_ROW_POSITION: int
JUDGE_KIND: int
JUDGE_ROW_SOURCE: int
JUDGE_TEXT: int
JUDGE_PLAIN_TABLE: int
PICK_ROW_SOURCE: int
PICK_IN_WHERE: int
PICK_UNCLEARED: int
PICK_BUILT_SHAPE: int

def nodes(tree: exp.Expr, base: type[exp.Expr], /) -> list[exp.Expr]:
    """The nodes of ``tree`` in the order of ``tree.walk()``."""

def screen(tree: exp.Expr, base: type[exp.Expr], kinds: dict[type, int],
           classify: Callable[[type], int], names_matter: bool, prefix: str,
           plain: tuple[type, int, type, type, frozenset[str], frozenset[str]] | None,
           passing: tuple[int, type, tuple[object, ...], int, int] | None,
           /) -> tuple[list[exp.Expr], bytes, list[str], int]:
    """The statement's nodes the wall must judge, why, the text of its other identifiers that
    may begin with ``prefix``, and the flags of all its nodes."""

@overload
def same(written: exp.Expr, read: exp.Expr, base: type[exp.Expr], identifier: type[exp.Identifier],
         func: type[exp.Func], /) -> bool:
    """Whether ``read`` is ``written``, node for node."""

@overload
def same(written: exp.Expr, read: exp.Expr, base: type[exp.Expr], identifier: type[exp.Identifier],
         func: type[exp.Func],
         judged: tuple[tuple[type, ...], type[exp.Table], tuple[type, type, type],
                       type[exp.Select], tuple[type, ...], type[exp.From], type[exp.Subquery]],
         /) -> tuple[list[exp.Expr], bytes] | None:
    """None unless ``read`` is ``written``, node for node; then the nodes of ``read`` to judge,
    with their marks."""
